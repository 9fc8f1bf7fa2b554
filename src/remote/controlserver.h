#pragma once

#include "lineserver.h"

#include <QJsonObject>
#include <QLocalServer>
#include <QString>

class IndexerLink;
class MotionSupervisor;
class QLocalSocket;
class TrafficLog;

// The local control socket: scripts of the same user send JSON requests, one per line, and get
// one JSON reply per line, in order (docs/control-protocol.md). Every request that talks to the
// indexer goes through the program's own link, in turn with the window's commands, and every
// move through the motion supervisor; while the supervisor's refusal gives a reason (the setup
// dialog is open), requests that talk to the indexer are refused with it. A client
// that sends a line over 64 KiB or more than 64 requests ahead, or lets over 1 MiB of replies
// pile up unread, is dropped.
class ControlServer : public LineServer
{
    Q_OBJECT
public:
    static constexpr qsizetype kMaxLine = 64 * 1024;
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    static constexpr int kMaxClients = 16;
    // Requests of one client waiting for their turn; more and the client is dropped.
    static constexpr int kMaxWaiting = 64;

    ControlServer(MotionSupervisor &motion, QObject *parent = nullptr);
    ~ControlServer() override;

    // The socket that the setting names: the default (socketpath.h) when empty; a relative name
    // is taken in the program's own directory, like the other files (not in the temporary
    // directory).
    static QString SocketPathFor(const QString &setting);
    // Listens on the socket (mode 0600). False, with the reason, when another program answers
    // there already, a file of the name is not a socket, or the socket cannot be made; a socket
    // file left by a program that ended is replaced.
    bool listen(const QString &path, QString *why);
    // No new clients from now on (the program is ending); the socket file goes.
    void stopListening() { m_server.close(); }
    QString socketPath() const { return m_server.fullServerName(); }

    // Where "watch" with "traffic" gets its lines.
    void setTrafficLog(TrafficLog *log);

private:
    struct Script;
    Client *newClient() override;
    void serveLine(Client &client, const QByteArray &line) override;
    QByteArray closing(const Client &client, Cap cap) override;
    void watch(Script &script, bool traffic, bool link);
    QJsonObject linkEvent() const;
    // To the watchers of the link: its status word when its meaning changes ("Ready",
    // "Timeout", "lost").
    void tellLink(const QString &word);
    void reply(Client &client, const QJsonObject &result);
    void broadcast(const QJsonObject &event, bool traffic);
    void onViewChanged();

    MotionSupervisor &m_motion;
    IndexerLink &m_link;
    QLocalServer m_server;
    // As last told to the watchers.
    QJsonValue m_pocket, m_state;
    QString m_linkStatus;
};
