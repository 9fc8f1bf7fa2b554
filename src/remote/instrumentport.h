#pragma once

#include "motionsupervisor.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <functional>
#include <utility>

class IndexerLink;

// The instrument port: SCPI-style lines over TCP, as VISA, LabVIEW, pyvisa and EPICS reach a
// bench instrument (docs/instrument-port.md). Every client may query; commands that change the
// indexer need remote control, which the supervisor lends to one client at a time while the
// operator allows it, and every move and speed change passes the supervisor like any other.
// Errors go to each client's own queue, read with SYST:ERR?. A peer outside the allow-list and a
// client over the limit are closed at once, as is a client that sends a line over 4 KiB or more
// than 64 lines ahead, or leaves 1 MiB of replies unread; each is said by notice().
class InstrumentPort : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxClients = 4;
    static constexpr qsizetype kMaxLine = 4096;
    static constexpr int kMaxErrors = 16;
    static constexpr int kMaxWaiting = 64;
    static constexpr qint64 kMaxUnread = 1024 * 1024;

    explicit InstrumentPort(MotionSupervisor &motion, QObject *parent = nullptr);
    ~InstrumentPort() override;

    // "ADDRESS:PORT" with an explicit address: "127.0.0.1:5025", "[::1]:5025"; every interface
    // only when written so ("0.0.0.0:5025", "[::]:5025"). False with the reason otherwise.
    static bool ParseListen(const QString &text, QHostAddress *address, quint16 *port,
                            QString *why);
    // The peers let in: addresses and CIDR ranges, comma-separated; empty: loopback only. False
    // with the reason, and the list unchanged, when an entry is neither.
    bool setAllowed(const QString &list, QString *why);
    bool listen(const QHostAddress &address, quint16 port, QString *why);
    quint16 port() const { return m_server.serverPort(); }
    // No new clients from now on (the program is ending).
    void stopListening();

Q_SIGNALS:
    // A peer refused or a client closed, in one line.
    void notice(const QString &line);

private:
    struct Client;
    struct Param;
    void accept();
    void readFrom(Client *client);
    void serveNext(Client *client);
    void serveOne(Client *client, const QByteArray &line);
    void execute(Client *client, const QString &header, const QList<Param> &params);
    void ask(Client *client, const QString &query,
             std::function<void(const QString &reply)> answer);
    void change(Client *client, const QString &command);
    void done(Client *client, const QString &reply = QString());
    void pushError(Client *client, int code, const QString &detail = QString());
    // The error queued and the line done, with no reply.
    void fail(Client *client, int code, const QString &detail = QString());
    void close(Client *client, const QString &why);
    void drop(Client *client);
    void onMoveEvent(const MotionSupervisor::Event &event);

    MotionSupervisor &m_motion;
    IndexerLink &m_link;
    QTcpServer m_server;
    QList<std::pair<QHostAddress, int>> m_allowed;
    QList<Client *> m_clients;
};
