#include "controlserver.h"

#include "commandset.h"
#include "indexercommands.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "motionsupervisor.h"
#include "socketpath.h"
#include "trafficlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QQueue>
#include <algorithm>
#include <sys/socket.h>
#include <sys/stat.h>
#include <utility>

struct ControlServer::Client : QObject {
    QLocalSocket *socket = nullptr;
    QByteArray buffer;
    QQueue<QJsonObject> requests;
    // Who it is, for the move record: "script uid=1000 pid=4242".
    QString source;
    bool busy = false;
    bool serving = false;
    // What it watches: each level gets the events of the one below too.
    enum Watch { Nothing, Changes, Traffic } watch = Nothing;
};

ControlServer::ControlServer(MotionSupervisor &motion, QObject *parent)
    : QObject(parent), m_motion(motion), m_link(motion.link())
{
    connect(&m_motion, &MotionSupervisor::moveEvent, this,
            [this](const MotionSupervisor::Event &event) { broadcast(event.toJson(), false); });
    connect(&m_motion, &MotionSupervisor::inhibitChanged, this,
            [this](bool on, const QString &reason, const QString &source) {
                broadcast({{QStringLiteral("event"), QStringLiteral("inhibit")},
                           {QStringLiteral("on"), on},
                           {QStringLiteral("reason"), reason},
                           {QStringLiteral("source"), source}},
                          false);
            });
    connect(&m_server, &QLocalServer::newConnection, this, &ControlServer::accept);
    connect(&m_link, &IndexerLink::transactionEnded, this,
            [this](const QString &command, const IndexerLink::Reply &reply, qint64) {
                onTransaction(command, reply.text, reply.timedOut);
            });
    connect(&m_link, &IndexerLink::linkStatusChanged, this, [this](const QString &word) {
        if (word == m_linkStatus)
            return;
        m_linkStatus = word;
        broadcast(
            {{QStringLiteral("event"), QStringLiteral("link")}, {QStringLiteral("status"), word}},
            false);
    });
}

ControlServer::~ControlServer()
{
    // The clients go with their sockets; the socket file goes with the server.
    for (Client *client : std::exchange(m_clients, {}))
        delete client;
    m_server.close();
}

QString ControlServer::SocketPathFor(const QString &setting)
{
    return setting.isEmpty() ? DefaultSocketPath()
                             : QDir(ProgramDirectory()).absoluteFilePath(setting);
}

bool ControlServer::listen(const QString &path, QString *why)
{
    if (path.isEmpty()) {
        *why = QStringLiteral("no private folder for the socket (set XDG_RUNTIME_DIR)");
        return false;
    }
    // Another program answering there keeps its socket.
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(200)) {
        *why = QStringLiteral("another program is serving %1").arg(path);
        return false;
    }
    // Only a socket left by a program that ended is replaced: a file of the name (a typo that
    // names the settings or a recipe) is never touched.
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISSOCK(info.st_mode)) {
        *why = QStringLiteral("%1 is not a socket: left as it is").arg(path);
        return false;
    }
    QLocalServer::removeServer(path);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path)) {
        *why = m_server.errorString();
        return false;
    }
    // Read and write for the user alone.
    QFile::setPermissions(m_server.fullServerName(), QFile::ReadOwner | QFile::WriteOwner);
    return true;
}

void ControlServer::setTrafficLog(TrafficLog *log)
{
    log->setStreaming([this] {
        return std::any_of(m_clients.cbegin(), m_clients.cend(),
                           [](const Client *client) { return client->watch == Client::Traffic; });
    });
    connect(log, &TrafficLog::lineLogged, this, [this](const QString &line) {
        broadcast(
            {{QStringLiteral("event"), QStringLiteral("traffic")}, {QStringLiteral("line"), line}},
            true);
    });
}

void ControlServer::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        if (m_clients.size() >= kMaxClients) {
            socket->write(QJsonDocument(IndexerCommands::Error(QStringLiteral("refused"),
                                                               QStringLiteral("too many clients")))
                              .toJson(QJsonDocument::Compact) +
                          '\n');
            socket->disconnectFromServer();
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        auto *client = new Client;
        client->socket = socket;
        ucred peer{};
        socklen_t size = sizeof peer;
        const bool known = ::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED,
                                        &peer, &size) == 0;
        client->source = known ? QStringLiteral("script uid=%1 pid=%2").arg(peer.uid).arg(peer.pid)
                               : QStringLiteral("script");
        socket->setParent(client);
        m_clients.append(client);
        connect(socket, &QLocalSocket::readyRead, client, [this, client] { readFrom(client); });
        connect(socket, &QLocalSocket::disconnected, client, [this, client] { drop(client); });
        readFrom(client);
    }
}

void ControlServer::readFrom(Client *client)
{
    client->buffer += client->socket->readAll();
    qsizetype end;
    while ((end = client->buffer.indexOf('\n')) >= 0) {
        const QByteArray line = client->buffer.left(end);
        client->buffer.remove(0, end + 1);
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QJsonObject request = document.object();
        if (!document.isObject())
            request = {{QStringLiteral("invalid"), error.error == QJsonParseError::NoError
                                                       ? QString() // JSON, but not an object
                                                       : error.errorString()}};
        client->requests.enqueue(request);
    }
    const bool longLine = client->buffer.size() > kMaxLine;
    if (longLine || client->requests.size() > kMaxWaiting) {
        reply(client, IndexerCommands::Error(QStringLiteral("bad_request"),
                                             longLine ? QStringLiteral("line over 64 KiB")
                                                      : QStringLiteral("too many requests ahead")));
        client->requests.clear();
        client->buffer.clear();
        client->socket->disconnectFromServer();
        return;
    }
    serveNext(client);
}

void ControlServer::serveNext(Client *client)
{
    // One request of a client at a time: its replies come back in the order it asked. A loop,
    // not a recursion, for the requests answered at once.
    if (client->serving)
        return;
    client->serving = true;
    while (!client->busy && !client->requests.isEmpty())
        serveOne(client);
    client->serving = false;
}

void ControlServer::serveOne(Client *client)
{
    const QJsonObject request = client->requests.dequeue();
    const QJsonValue id = request.value(QStringLiteral("id"));
    const auto answer = [this, client, id](QJsonObject result) {
        if (!id.isUndefined())
            result.insert(QStringLiteral("id"), id);
        client->busy = false;
        reply(client, result);
        serveNext(client); // does nothing when called from its own loop
    };
    if (request.contains(QStringLiteral("invalid"))) {
        const QString why = request.value(QStringLiteral("invalid")).toString();
        return answer(IndexerCommands::Error(QStringLiteral("bad_request"),
                                             QStringLiteral("not a JSON object") +
                                                 (why.isEmpty() ? QString() : ": " + why)));
    }
    if (request.value(QStringLiteral("cmd")) == QLatin1String("watch")) {
        client->watch =
            request.value(QStringLiteral("traffic")).toBool() ? Client::Traffic : Client::Changes;
        answer({{QStringLiteral("ok"), true}});
        // What is known already comes first, the changes after it.
        for (const auto &[name, value] : {std::pair{"pocket", m_pocket}, {"state", m_state}}) {
            if (value.isValid())
                reply(client, {{QStringLiteral("event"), QLatin1String(name)},
                               {QLatin1String(name), QJsonValue::fromVariant(value)}});
        }
        return;
    }
    // A link that has shut down would drop the request without an answer.
    if (m_link.isShutDown())
        return answer(
            IndexerCommands::Error(QStringLiteral("refused"), QStringLiteral("program ending")));
    // Moves are refused by the supervisor, which records them; an inhibit and the record are
    // taken whatever the dialog does.
    static const QStringList unrefused = {QStringLiteral("move"), QStringLiteral("speed"),
                                          QStringLiteral("inhibit"), QStringLiteral("history"),
                                          QStringLiteral("names")};
    if (const QString refusal = m_motion.refusal();
        !refusal.isEmpty() && !unrefused.contains(request.value(QStringLiteral("cmd")).toString()))
        return answer(IndexerCommands::Error(QStringLiteral("refused"), refusal));
    client->busy = true;
    IndexerCommands::Run(m_motion, client->source, client, request, answer);
}

void ControlServer::reply(Client *client, QJsonObject result)
{
    QLocalSocket *socket = client->socket;
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    // A client that does not read is dropped before its replies fill the memory.
    if (socket->bytesToWrite() > kMaxUnread) {
        socket->abort();
        return;
    }
    socket->write(QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n');
}

void ControlServer::broadcast(const QJsonObject &event, bool traffic)
{
    // A copy: a client that does not read is dropped inside the loop (it stays valid until the
    // event loop deletes it).
    const QList<Client *> clients = m_clients;
    for (Client *client : clients) {
        if (client->watch >= (traffic ? Client::Traffic : Client::Changes))
            reply(client, event);
    }
}

void ControlServer::drop(Client *client)
{
    m_clients.removeOne(client);
    client->deleteLater();
}

void ControlServer::onTransaction(const QString &command, const QString &text, bool timedOut)
{
    // Changes seen in any status query, the window's poll included.
    if (timedOut)
        return;
    if (command == Indexer::kQueryPocket) {
        const auto n = Indexer::pocketOrSpeed(text);
        const QVariant pocket = n ? QVariant(*n) : QVariant();
        if (pocket != m_pocket) {
            m_pocket = pocket;
            broadcast({{QStringLiteral("event"), QStringLiteral("pocket")},
                       {QStringLiteral("pocket"), QJsonValue::fromVariant(pocket)}},
                      false);
        }
    } else if (command == Indexer::kQueryMotion) {
        const auto s = Indexer::motionState(text);
        const QVariant state = s ? QVariant(*s) : QVariant();
        if (state != m_state) {
            m_state = state;
            broadcast({{QStringLiteral("event"), QStringLiteral("state")},
                       {QStringLiteral("state"), QJsonValue::fromVariant(state)}},
                      false);
        }
    }
}
