#pragma once

#include "allowlist.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QTimer>

class QIODevice;
class QLocalServer;
class QTcpServer;

// What the control socket and the instrument port share: clients that send lines and get their
// replies in the order they asked, one line of a client served at a time, with caps on the
// clients, the length of a line, the lines waiting and the replies left unread, and limits on
// a line left unfinished and on a silent client's place. A protocol derives from it and answers
// lines; the server accepts, reads, writes and drops.
class LineServer : public QObject
{
    Q_OBJECT
public:
    struct Limits {
        int clients;    // at once
        qsizetype line; // bytes in one line
        int waiting;    // lines waiting their turn
        qint64 unread;  // bytes of replies the client has not read
        int partialMs;  // a line begun and not ended for so long closes the client (0: never)
        int idleMs;     // a client silent for so long gives its place to a new one (0: never)
    };
    // Why a client is closed or refused: a cap; Protocol: the protocol's own reason, said by it.
    enum class Cap { Allow, Clients, Line, Waiting, Unread, Partial, Idle, Protocol };

    // One connection. A protocol keeps what it needs of a client in a class derived from this.
    class Client : public QObject
    {
    public:
        // The peer as the operator reads it: "192.168.10.7", or "uid=1000 pid=4242" on a local
        // socket (empty when unknown).
        const QString &who() const { return m_who; }

    private:
        friend class LineServer;
        QIODevice *m_socket = nullptr;
        QHostAddress m_peer;
        QString m_who;
        QByteArray m_buffer;
        QQueue<QByteArray> m_lines;
        QTimer m_partial;
        QElapsedTimer m_heard; // since its last line (blank lines aside) or answer
        bool m_busy = false;
        bool m_serving = false;
        bool m_closing = false;
        bool m_dropped = false;
    };

    ~LineServer() override;

    // The peers a TCP server lets in: addresses and CIDR ranges, comma-separated; empty:
    // loopback only. False with the reason, and the list unchanged, when an entry is neither.
    bool setAllowed(const QString &list, QString *why);

    const Limits &limits() const { return m_limits; }
    // For the clients that come from now on, and the lines read from now on.
    void setLimits(const Limits &limits) { m_limits = limits; }

protected:
    LineServer(Limits limits, QObject *parent);

    // Clients come from this server from now on.
    void serve(QLocalServer &server);
    void serve(QTcpServer &server);

    const QList<Client *> &clients() const { return m_clients; }

    // A line written to the client now; one that leaves too much unread closes it instead.
    void send(Client &client, const QByteArray &line);
    // Ends the client at once, for the protocol's own reason (Cap::Protocol).
    void cut(Client &client) { close(client, Cap::Protocol); }
    // The line being served is answered (with reply unless null): the next one is served.
    void done(Client &client, const QByteArray &reply = QByteArray());

    virtual Client *newClient() = 0;
    // Serves one line (never blank); done() ends it, now or later.
    virtual void serveLine(Client &client, const QByteArray &line) = 0;
    // A client refused or closed by a cap: the last line it is sent (none: cut at once).
    virtual QByteArray closing(const Client &client, Cap cap) = 0;
    // The client is gone, before it is deleted.
    virtual void dropped(Client &client) { Q_UNUSED(client) }
    // A client came or went (clients() changed).
    virtual void clientsChanged() {}
    // A silent client that keeps its place all the same.
    virtual bool keptIdle(const Client &client) const
    {
        Q_UNUSED(client)
        return false;
    }

private:
    void adopt(Client *client);
    // The client silent longest beyond the idle limit, waiting for nothing; null when none.
    Client *idlest() const;
    void readFrom(Client &client);
    void serveNext(Client &client);
    void close(Client &client, Cap cap);
    void drop(Client &client);

    Limits m_limits;
    AllowList m_allowed;
    QList<Client *> m_clients;
};
