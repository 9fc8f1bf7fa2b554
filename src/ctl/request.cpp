#include "request.h"

#include "commandset.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "motionsettings.h"
#include "motionsupervisor.h"
#include "output.h"
#include "settings.h"
#include "socketpath.h"
#include "systemserialport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTimer>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace Ctl
{

Transport::Transport() = default;
Transport::~Transport() = default;

int Transport::openDevice(const QString &device, QString *why)
{
    m_port = std::make_unique<SystemSerialPort>();
    if (!m_port->open(PortChoice::serial(1, device))) {
        *why = QStringLiteral("%1: %2").arg(device, m_port->errorText().isEmpty()
                                                        ? QStringLiteral("cannot be opened")
                                                        : m_port->errorText());
        return kUnreachable;
    }
    m_link = std::make_unique<IndexerLink>(*m_port);
    m_motion = std::make_unique<MotionSupervisor>(*m_link);
    const MotionSettings settings = MotionSettings::Read();
    m_motion->setTimeLimit(settings.moveTimeoutS);
    // The names the window saved, the good ones.
    PocketLayout named;
    named.setNames(ReadPocketNames());
    m_motion->setNames(named.names());
    if (settings.recordMoves)
        m_motion->setRecordFile(ProgramDirectory() + QStringLiteral("moves.csv"));
    connect(m_motion.get(), &MotionSupervisor::recordFailed, this, [](const QString &why) {
        err(QStringLiteral("move record %1moves.csv not written: %2").arg(ProgramDirectory(), why));
    });
    connect(m_motion.get(), &MotionSupervisor::moveEvent, this,
            [this](const MotionSupervisor::Event &event) {
                if (onEvent)
                    onEvent(event.toJson());
            });
    return kDone;
}

QString Transport::source() const
{
    return m_link ? QStringLiteral("rv360ctl --device")
                  : QStringLiteral("script uid=%1 pid=%2").arg(::getuid()).arg(::getpid());
}

void Transport::openSocket(const QString &path, std::function<void(bool)> connected)
{
    // A place tried before: its socket may be the sender of the signal that brought us here.
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
    }
    m_connected = m_ended = false;
    m_socket = std::make_unique<QLocalSocket>();
    connect(m_socket.get(), &QLocalSocket::connected, this, [this, connected] {
        m_connected = true;
        connected(true);
    });
    // An error and the disconnection both come: the first tells.
    const auto ended = [this, connected] {
        if (std::exchange(m_ended, true))
            return;
        if (!m_connected)
            return connected(false);
        if (onLost)
            onLost();
    };
    connect(m_socket.get(), &QLocalSocket::errorOccurred, this, ended);
    connect(m_socket.get(), &QLocalSocket::disconnected, this, ended);
    connect(m_socket.get(), &QLocalSocket::readyRead, this, [this] { readReplies(); });
    m_socket->connectToServer(path);
}

long Transport::serverUid() const
{
    ucred peer{};
    socklen_t size = sizeof peer;
    const int fd = int(m_socket->socketDescriptor());
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? long(peer.uid) : -1;
}

void Transport::run(const QJsonObject &request, Done done)
{
    if (m_link && request.value(QStringLiteral("cmd")) == QLatin1String("status")) {
        // Nobody polls a device of our own: the supervisor asks, then tells its view.
        m_motion->refresh(this, [this, request, done = std::move(done)] {
            IndexerCommands::Run(*m_motion, source(), this, request, done);
        });
        return;
    }
    if (m_link) {
        IndexerCommands::Run(*m_motion, source(), this, request, std::move(done));
        return;
    }
    m_waiting.push_back(std::move(done));
    m_socket->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
}

void Transport::readReplies()
{
    while (m_socket->canReadLine()) {
        const QJsonObject reply = QJsonDocument::fromJson(m_socket->readLine()).object();
        if (reply.contains(QStringLiteral("event"))) {
            if (onEvent)
                onEvent(reply);
        } else if (!m_waiting.empty()) {
            const Done done = m_waiting.front();
            m_waiting.pop_front();
            done(reply);
        }
    }
}

Session::Session(Options options) : m_o(std::move(options)) {}

void Session::start(const QJsonObject &request)
{
    m_request = request;
    if (request.value(QStringLiteral("cmd")) == QLatin1String("watch"))
        m_transport.onEvent = [this](const QJsonObject &event) { printEvent(event, m_o.json); };
    m_transport.onLost = [this] { finish(kUnreachable, QStringLiteral("lost the running rv360")); };
    // Every request ends by its own deadline, whatever the other end does; a watch runs
    // until it is interrupted.
    if (request.value(QStringLiteral("cmd")) != QLatin1String("watch")) {
        const int seconds = m_o.timeoutS > 0 ? m_o.timeoutS : m_o.wait ? 60 : 10;
        // Precise: a coarse timer of seconds may fire 5 % early.
        QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, this,
                           [this, seconds] { deadline(seconds); });
    }
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    if (!m_o.device.isEmpty() && cmd == QLatin1String("inhibit"))
        return finish(kUsage, QStringLiteral("inhibit is kept by the running rv360: not with "
                                             "--device"));
    if (!m_o.device.isEmpty() && cmd == QLatin1String("history"))
        return historyFromFile();
    if (!m_o.device.isEmpty()) {
        QString why;
        if (const int status = m_transport.openDevice(m_o.device, &why); status != kDone)
            return finish(status, why);
        return send();
    }
    // Without --socket, the places the program may have chosen, in its order.
    const QStringList paths = m_o.socket.isEmpty()
                                  ? SocketPathCandidates()
                                  : QStringList{QFileInfo(m_o.socket).absoluteFilePath()};
    if (paths.isEmpty())
        return finish(kUnreachable, QStringLiteral("no running rv360: no private folder for "
                                                   "its socket, and no --device given"));
    connectTo(paths, 0);
}

void Session::connectTo(const QStringList &paths, int index)
{
    const QString path = paths.at(index);
    m_transport.openSocket(path, [this, paths, index, path](bool connected) {
        if (!connected && index + 1 < paths.size())
            return connectTo(paths, index + 1);
        if (!connected && m_request.value(QStringLiteral("cmd")) == QLatin1String("history"))
            return historyFromFile();
        if (!connected)
            return finish(kUnreachable,
                          QStringLiteral("no running rv360 at %1, and no --device given")
                              .arg(paths.join(QStringLiteral(" or "))));
        // Only the user's own program may take the user's moves.
        if (const long uid = m_transport.serverUid(); uid != long(::getuid()))
            return finish(kUnreachable,
                          QStringLiteral("%1 is served by user id %2, not by this user: "
                                         "refused")
                              .arg(path)
                              .arg(uid));
        send();
    });
}

void Session::send()
{
    // A move's result comes as an event: watched from before the move is asked for.
    if (m_o.wait) {
        m_transport.onEvent = [this](const QJsonObject &event) { seen(event); };
        if (!m_transport.viaDevice())
            m_transport.run({{"cmd", "watch"}}, [](const QJsonObject &) {});
    }
    m_transport.run(m_request, [this](const QJsonObject &result) { handle(result); });
}

// No running program: the record's files.
void Session::historyFromFile()
{
    const int count = m_request.value(QStringLiteral("count")).toInt();
    QString refused;
    const QStringList lines = MotionSupervisor::ReadHistory(
        ProgramDirectory() + QStringLiteral("moves.csv"), count, &refused);
    if (!refused.isEmpty())
        return finish(kNoAnswer, refused);
    for (const QString &line : lines)
        out(line);
    finish(kDone, {});
}

void Session::handle(const QJsonObject &result)
{
    if (!result.value(QStringLiteral("ok")).toBool()) {
        const QString code = result.value(QStringLiteral("code")).toString();
        if (m_o.json)
            out(QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
        return finish(code == QLatin1String("bad_request")   ? kUsage
                      : code == QLatin1String("unreachable") ? kUnreachable
                                                             : kNoAnswer,
                      result.value(QStringLiteral("error")).toString());
    }
    const QString cmd = m_request.value(QStringLiteral("cmd")).toString();
    if (cmd == QLatin1String("watch"))
        return watch();
    if (cmd == QLatin1String("move") && m_o.wait)
        return waitForArrival();
    if (m_o.json) {
        out(QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
    } else if (cmd == QLatin1String("status")) {
        const QJsonValue name = result.value(QStringLiteral("name"));
        out(QStringLiteral("pocket=%1 %2state=%3")
                .arg(shown(result.value(QStringLiteral("pocket"))),
                     name.isString() ? QStringLiteral("name=%1 ").arg(shown(name)) : QString(),
                     shown(result.value(QStringLiteral("state")))));
    } else if (cmd == QLatin1String("names")) {
        const QJsonArray names = result.value(QStringLiteral("names")).toArray();
        for (int k = 0; k < names.size(); ++k)
            out(PocketWithName(k + 1, names[k].toString()));
    } else if (cmd == QLatin1String("control") && result.contains(QStringLiteral("source"))) {
        out(result.value(QStringLiteral("source")).toString());
    } else if (cmd == QLatin1String("switches")) {
        out(result.value(QStringLiteral("byte")).toString());
    } else if (cmd == QLatin1String("send")) {
        out(VisibleControls(result.value(QStringLiteral("reply")).toString()));
    } else if (cmd == QLatin1String("history")) {
        for (const QJsonValue line : result.value(QStringLiteral("lines")).toArray())
            out(line.toString());
    } else if (cmd == QLatin1String("layout_read")) {
        const QByteArray text = result.value(QStringLiteral("layout")).toString().toLatin1();
        if (m_o.args.size() == 2) {
            QString why;
            if (!ReplaceFileAtomically(m_o.args[1], text, &why))
                return finish(kUsage, m_o.args[1] + QStringLiteral(": ") + why);
        } else {
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            checkOutput();
        }
    }
    // A status whose last query went unanswered says what it knows, and that it is not so.
    const bool timedOut = result.value(QStringLiteral("timed_out")).toBool() ||
                          result.value(QStringLiteral("answering")) == false;
    finish(timedOut ? kNoAnswer : kDone, timedOut ? QStringLiteral("no answer") : QString());
}

// A move is never sent again: its result is the supervisor's, taken from its events; the
// wait adds nothing to the line.
void Session::waitForArrival()
{
    m_waiting = true;
    if (m_result.isEmpty())
        return;
    const bool arrived = m_result.value(QStringLiteral("state")) == QLatin1String("arrived");
    finish(arrived ? kDone : kNoAnswer, m_result.value(QStringLiteral("message")).toString());
}

void Session::seen(const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("event")).toString();
    if (kind == QLatin1String("pocket") || kind == QLatin1String("state"))
        m_last.insert(kind, event.value(kind));
    const QString state = event.value(QStringLiteral("state")).toString();
    // The pocket asked for, by number or by name.
    const QJsonValue wanted = m_request.value(QStringLiteral("pocket"));
    const bool target = wanted.isString()
                            ? event.value(QStringLiteral("name"))
                                      .toString()
                                      .compare(wanted.toString(), Qt::CaseInsensitive) == 0
                            : event.value(QStringLiteral("target")) == wanted;
    if (kind != QLatin1String("move") || state == QLatin1String("started") ||
        event.value(QStringLiteral("source")) != m_transport.source() || !target)
        return;
    m_result = event;
    if (m_waiting)
        waitForArrival();
}

void Session::deadline(int seconds)
{
    if (!m_waiting)
        return finish(kNoAnswer, QStringLiteral("no answer within %1 s").arg(seconds));
    finish(kNoAnswer, QStringLiteral("pocket %1 not reached in %2 s: at %3, %4")
                          .arg(m_request.value(QStringLiteral("pocket")).toVariant().toString())
                          .arg(seconds)
                          .arg(shown(m_last.value(QStringLiteral("pocket"))),
                               shown(m_last.value(QStringLiteral("state")))));
}

void Session::watch()
{
    if (!m_transport.viaDevice())
        return; // the program sends events from now on
    // On a device of our own: the changes of our own poll.
    QTimer *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] {
        m_transport.run({{"cmd", "status"}}, [this](const QJsonObject &status) {
            for (const char *field : {"pocket", "state"}) {
                const QJsonValue value = status.value(QLatin1String(field));
                if (status.value(QStringLiteral("ok")).toBool() &&
                    value != m_last.value(QLatin1String(field)))
                    printEvent({{"event", field}, {field, value}}, m_o.json);
            }
            m_last = status;
        });
    });
    timer->start(500);
}

void Session::finish(int status, const QString &why)
{
    if (m_finished)
        return;
    m_finished = true;
    if (!why.isEmpty() && status != kDone)
        err(why);
    QCoreApplication::exit(status);
}

} // namespace Ctl
