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
#include <algorithm>
#include <sys/stat.h>
#include <utility>

// A script's connection: who it is, for the move record ("script uid=1000 pid=4242"), and what
// it watches (each level gets the events of the one below too).
struct ControlServer::Script : LineServer::Client {
    enum Watch { Nothing, Changes, Traffic } watch = Nothing;
    bool link = false;
    QString source() const
    {
        return who().isEmpty() ? QStringLiteral("script") : QStringLiteral("script ") + who();
    }
};

ControlServer::ControlServer(MotionSupervisor &motion, QObject *parent)
    : LineServer({kMaxClients, kMaxLine, kMaxWaiting, kMaxUnread, 0, 0}, parent), m_motion(motion),
      m_link(motion.link())
{
    serve(m_server);
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
    connect(&m_motion, &MotionSupervisor::viewChanged, this, &ControlServer::onViewChanged);
    // The status word's meaning: a transaction's Busy is none of it.
    connect(&m_link, &IndexerLink::linkStatusChanged, this, [this](const QString &word) {
        if (word != QLatin1String("Busy"))
            tellLink(word);
    });
    connect(&m_link, &IndexerLink::deviceLost, this, [this] { tellLink(QStringLiteral("lost")); });
}

ControlServer::~ControlServer()
{
    // The socket file goes with the server.
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
        return std::any_of(clients().cbegin(), clients().cend(), [](const Client *client) {
            return static_cast<const Script *>(client)->watch == Script::Traffic;
        });
    });
    connect(log, &TrafficLog::lineLogged, this, [this](const QString &line) {
        broadcast(
            {{QStringLiteral("event"), QStringLiteral("traffic")}, {QStringLiteral("line"), line}},
            true);
    });
}

LineServer::Client *ControlServer::newClient()
{
    return new Script;
}

QByteArray ControlServer::closing(const Client &, Cap cap)
{
    // One that does not read its replies would not read why either.
    const char *why = cap == Cap::Clients   ? "too many clients"
                      : cap == Cap::Line    ? "line over 64 KiB"
                      : cap == Cap::Waiting ? "too many requests ahead"
                                            : nullptr;
    if (!why)
        return QByteArray();
    const QString code =
        cap == Cap::Clients ? QStringLiteral("refused") : QStringLiteral("bad_request");
    return QJsonDocument(IndexerCommands::Error(code, QString::fromLatin1(why)))
        .toJson(QJsonDocument::Compact);
}

void ControlServer::serveLine(Client &client, const QByteArray &line)
{
    auto &script = static_cast<Script &>(client);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    const QJsonObject request = document.object();
    const QJsonValue id = request.value(QStringLiteral("id"));
    const auto answer = [this, &client, id](QJsonObject result) {
        if (!id.isUndefined())
            result.insert(QStringLiteral("id"), id);
        done(client, QJsonDocument(result).toJson(QJsonDocument::Compact));
    };
    if (!document.isObject()) {
        const QString why = error.error == QJsonParseError::NoError
                                ? QString() // JSON, but not an object
                                : QStringLiteral(": ") + error.errorString();
        return answer(IndexerCommands::Error(QStringLiteral("bad_request"),
                                             QStringLiteral("not a JSON object") + why));
    }
    if (request.value(QStringLiteral("cmd")) == QLatin1String("watch")) {
        answer({{QStringLiteral("ok"), true}});
        return watch(script, request.value(QStringLiteral("traffic")).toBool(),
                     request.value(QStringLiteral("link")).toBool());
    }
    IndexerCommands::Run(m_motion, script.source(), &client, request, answer);
}

void ControlServer::watch(Script &script, bool traffic, bool link)
{
    script.watch = traffic ? Script::Traffic : Script::Changes;
    script.link = link;
    // What is known already comes first, the changes after it.
    for (const auto &[name, value] : {std::pair{"pocket", m_pocket}, {"state", m_state}}) {
        if (!value.isNull())
            reply(script,
                  {{QStringLiteral("event"), QLatin1String(name)}, {QLatin1String(name), value}});
    }
    if (link && !m_linkStatus.isEmpty())
        reply(script, linkEvent());
}

QJsonObject ControlServer::linkEvent() const
{
    return {{QStringLiteral("event"), QStringLiteral("link")},
            {QStringLiteral("status"), m_linkStatus}};
}

void ControlServer::tellLink(const QString &word)
{
    if (word == m_linkStatus)
        return;
    m_linkStatus = word;
    const QJsonObject event = linkEvent();
    const QList<Client *> all = clients(); // a copy: see broadcast()
    for (Client *client : all) {
        if (static_cast<Script *>(client)->link)
            reply(*client, event);
    }
}

void ControlServer::reply(Client &client, const QJsonObject &result)
{
    send(client, QJsonDocument(result).toJson(QJsonDocument::Compact));
}

void ControlServer::broadcast(const QJsonObject &event, bool traffic)
{
    // A copy: a client that does not read is dropped inside the loop (it stays valid until the
    // event loop deletes it).
    const QList<Client *> all = clients();
    for (Client *client : all) {
        if (static_cast<Script *>(client)->watch >= (traffic ? Script::Traffic : Script::Changes))
            reply(*client, event);
    }
}

void ControlServer::onViewChanged()
{
    // The supervisor's view, from any status query on the link (the window's poll included).
    const QJsonObject view = m_motion.view().toJson();
    for (auto &[name, value] :
         {std::pair<const char *, QJsonValue &>{"pocket", m_pocket}, {"state", m_state}}) {
        const QJsonValue now = view.value(QLatin1String(name));
        if (now == value)
            continue;
        value = now;
        broadcast({{QStringLiteral("event"), QLatin1String(name)}, {QLatin1String(name), now}},
                  false);
    }
}
