#include "lineserver.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <sys/socket.h>
#include <utility>

namespace
{

// Ends the connection: at once, or once what was written has gone.
void end(QIODevice *socket, bool gently)
{
    if (auto *tcp = qobject_cast<QAbstractSocket *>(socket))
        gently ? tcp->disconnectFromHost() : tcp->abort();
    else if (auto *local = qobject_cast<QLocalSocket *>(socket))
        gently ? local->disconnectFromServer() : local->abort();
}

} // namespace

LineServer::LineServer(Limits limits, QObject *parent) : QObject(parent), m_limits(limits) {}

LineServer::~LineServer()
{
    // The clients go with their sockets (a client's death ends its connections first, so none
    // of them reaches this half-destroyed server).
    for (Client *client : std::exchange(m_clients, {}))
        delete client;
}

bool LineServer::setAllowed(const QString &list, QString *why)
{
    return m_allowed.set(list, why);
}

void LineServer::serve(QLocalServer &server)
{
    connect(&server, &QLocalServer::newConnection, this, [this, &server] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            Client *client = newClient();
            client->m_socket = socket;
            ucred peer{};
            socklen_t size = sizeof peer;
            if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                             &size) == 0)
                client->m_who = QStringLiteral("uid=%1 pid=%2").arg(peer.uid).arg(peer.pid);
            connect(socket, &QLocalSocket::disconnected, client, [this, client] { drop(*client); });
            adopt(client);
        }
    });
}

void LineServer::serve(QTcpServer &server)
{
    connect(&server, &QTcpServer::newConnection, this, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            Client *client = newClient();
            client->m_socket = socket;
            client->m_peer = AllowList::Plain(socket->peerAddress());
            client->m_who = client->m_peer.toString();
            if (client->m_peer.isNull()) { // gone before its address could be read
                client->m_who = QStringLiteral("unknown peer");
                socket->setParent(client);
                close(*client, Cap::Allow);
                continue;
            }
            connect(socket, &QTcpSocket::disconnected, client, [this, client] { drop(*client); });
            adopt(client);
        }
    });
}

void LineServer::adopt(Client *client)
{
    client->m_socket->setParent(client);
    if (client->m_who.isEmpty())
        client->m_who = QStringLiteral("unknown peer");
    const QHostAddress &peer = client->m_peer;
    const bool allowed = peer.isNull() || m_allowed.allows(peer);
    // A client that waits for a place gets the one of a client silent too long.
    if (allowed && m_clients.size() >= m_limits.clients) {
        if (Client *idle = idlest())
            close(*idle, Cap::Idle);
    }
    // Refused before its input is wired: no line of it is ever served.
    if (!allowed || m_clients.size() >= m_limits.clients)
        return close(*client, allowed ? Cap::Clients : Cap::Allow);
    m_clients.append(client);
    client->m_heard.start();
    client->m_partial.setSingleShot(true);
    connect(&client->m_partial, &QTimer::timeout, client, [this, client] {
        if (!client->m_closing)
            close(*client, Cap::Partial);
    });
    connect(client->m_socket, &QIODevice::readyRead, client, [this, client] { readFrom(*client); });
    clientsChanged();
    readFrom(*client);
}

LineServer::Client *LineServer::idlest() const
{
    Client *found = nullptr;
    for (Client *each : m_clients) {
        const bool waits = each->m_busy || !each->m_lines.isEmpty() || !each->m_buffer.isEmpty();
        const qint64 silent = each->m_heard.elapsed();
        if (m_limits.idleMs > 0 && !waits && !each->m_closing && silent >= m_limits.idleMs &&
            !keptIdle(*each) && (!found || silent > found->m_heard.elapsed()))
            found = each;
    }
    return found;
}

void LineServer::readFrom(Client &client)
{
    client.m_buffer += client.m_socket->readAll();
    qsizetype end;
    bool ended = false;
    while ((end = client.m_buffer.indexOf('\n')) >= 0 && end <= m_limits.line) {
        const QByteArray line = client.m_buffer.left(end);
        client.m_buffer.remove(0, end + 1);
        ended = true;
        if (!line.trimmed().isEmpty()) {
            client.m_lines.enqueue(line);
            client.m_heard.start(); // blank lines keep no place
        }
    }
    if (client.m_buffer.size() > m_limits.line)
        return close(client, Cap::Line);
    if (client.m_lines.size() > m_limits.waiting)
        return close(client, Cap::Waiting);
    // A line left unfinished has partialMs from its first byte, or from the last line ended.
    if (client.m_buffer.isEmpty())
        client.m_partial.stop();
    else if (m_limits.partialMs > 0 && (ended || !client.m_partial.isActive()))
        client.m_partial.start(m_limits.partialMs);
    serveNext(client);
}

void LineServer::serveNext(Client &client)
{
    // One line of a client at a time, so that its replies keep its order; a loop, not a
    // recursion, for the lines answered at once.
    if (client.m_serving)
        return;
    client.m_serving = true;
    while (!client.m_busy && !client.m_lines.isEmpty()) {
        client.m_busy = true;
        serveLine(client, client.m_lines.dequeue());
    }
    client.m_serving = false;
}

void LineServer::send(Client &client, const QByteArray &line)
{
    QIODevice *socket = client.m_socket;
    if (client.m_closing) // closed by us, or by the peer (dropped)
        return;
    // A client that does not read is closed before its replies fill the memory.
    if (socket->bytesToWrite() > m_limits.unread)
        return close(client, Cap::Unread);
    socket->write(line + '\n');
}

void LineServer::done(Client &client, const QByteArray &reply)
{
    if (client.m_closing)
        return;
    client.m_busy = false;
    client.m_heard.start(); // a client waiting for its answer was not silent
    if (!reply.isNull())
        send(client, reply);
    serveNext(client); // does nothing when called from its own loop
}

void LineServer::close(Client &client, Cap cap)
{
    client.m_closing = true;
    client.m_lines.clear();
    client.m_buffer.clear();
    client.m_partial.stop();
    const QByteArray last = closing(client, cap);
    if (!last.isEmpty())
        client.m_socket->write(last + '\n');
    end(client.m_socket, !last.isEmpty());
    // Cut at once: it goes now; a last line goes first, and the client with its connection.
    if (last.isEmpty())
        drop(client);
}

void LineServer::drop(Client &client)
{
    if (std::exchange(client.m_dropped, true))
        return;
    client.m_closing = true;
    if (m_clients.removeOne(&client)) {
        dropped(client);
        clientsChanged();
    }
    client.deleteLater();
}
