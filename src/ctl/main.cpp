// rv360ctl: the indexer from scripts, through the running rv360 (its control socket) or, with
// --device, on a serial device of its own. Exit status: 0 done; 1 the indexer did not answer,
// refused, a move did not arrive in time, or the output was closed; 2 bad usage or argument;
// 3 nothing to talk to, the running program lost, or a socket served by another user.
#include "commandset.h"
#include "errormessage.h"
#include "indexercommands.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "motionsettings.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "socketpath.h"
#include "systemserialport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace
{

constexpr int kDone = 0, kNoAnswer = 1, kUsage = 2, kUnreachable = 3;

const char *const kUsageText =
    "usage: rv360ctl [--socket PATH | --device PATH] [--json] [--timeout S] COMMAND [ARGS]\n"
    "  status                          one line: pocket=<1-8|?> [name=NAME] "
    "state=<ready|moving|?>\n"
    "  move N|NAME [--wait]            move to pocket N (1-8) or the pocket of that name; with\n"
    "                                  --wait, return when the indexer reports ready there\n"
    "  names                           the eight pockets' names, a line each\n"
    "  inhibit on REASON | inhibit off refuse every move and speed change, or allow them again\n"
    "  history [N]                     the last N moves of the move record (20)\n"
    "  speed N                         set the sweep speed (1-8)\n"
    "  control [io|comm]               set the control source; without one, print it\n"
    "  switches front|rear             print the switch byte in hexadecimal\n"
    "  layout read [FILE]              the indexer's layout as a configuration file\n"
    "  layout send FILE                send a configuration file's layout to the indexer\n"
    "  send TEXT                       one raw command; print the reply\n"
    "  watch [--traffic]               print a line per change until interrupted\n"
    "Every command but watch ends after --timeout S seconds (10, or 60 with --wait).\n"
    "Exit status: 0 done, 1 no answer, not arrived or output closed, 2 bad usage, 3 nothing\n"
    "to talk to (or lost it, or it is another user's).\n";

void err(const QString &line)
{
    std::fprintf(stderr, "rv360ctl: %s\n", line.toLocal8Bit().constData());
}

// Output that nobody takes any more (a closed pipe, SIGPIPE ignored as services have it) ends
// the program: a watch would otherwise run on for ever.
void checkOutput()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return;
    err(QStringLiteral("output: ") + QString::fromLocal8Bit(std::strerror(errno)));
    std::_Exit(kNoAnswer);
}

void out(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    checkOutput();
}

QString shown(const QJsonValue &value)
{
    return value.isNull() || value.isUndefined() ? QStringLiteral("?")
                                                 : value.toVariant().toString();
}

// Where requests go: the running program's socket, or a link of our own on a device.
class Transport : public QObject
{
public:
    using Done = IndexerCommands::Done;
    std::function<void(const QJsonObject &)> onEvent;
    // The connection to the running program ended after it was made.
    std::function<void()> onLost;

    // Returns kDone, or the exit status and the reason.
    int openDevice(const QString &device, QString *why)
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
        connect(m_motion.get(), &MotionSupervisor::moveEvent, this,
                [this](const MotionSupervisor::Event &event) {
                    if (onEvent)
                        onEvent(event.toJson());
                });
        return kDone;
    }
    // How the moves this program asks for are recorded.
    QString source() const
    {
        return m_link ? QStringLiteral("rv360ctl --device")
                      : QStringLiteral("script uid=%1 pid=%2").arg(::getuid()).arg(::getpid());
    }
    void openSocket(const QString &path, std::function<void(bool)> connected)
    {
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
    // The user id of the process that serves the socket, or -1 when it cannot be told.
    long serverUid() const
    {
        ucred peer{};
        socklen_t size = sizeof peer;
        const int fd = int(m_socket->socketDescriptor());
        return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? long(peer.uid) : -1;
    }
    bool viaDevice() const { return m_link != nullptr; }

    void run(const QJsonObject &request, Done done)
    {
        if (m_link) {
            IndexerCommands::Run(*m_motion, source(), this, request, std::move(done));
            return;
        }
        m_waiting.push_back(std::move(done));
        m_socket->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    }

private:
    void readReplies()
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

    std::unique_ptr<SystemSerialPort> m_port;
    std::unique_ptr<IndexerLink> m_link;
    std::unique_ptr<MotionSupervisor> m_motion;
    std::unique_ptr<QLocalSocket> m_socket;
    std::deque<Done> m_waiting;
    bool m_connected = false;
    bool m_ended = false;
};

struct Options {
    QString socket, device, command;
    QStringList args;
    bool json = false, wait = false, traffic = false;
    // Given with --timeout; else 60 s for a move's wait, 10 s for a plain request.
    int timeoutS = 0;
};

// The request for the command line, or an error text.
std::optional<QJsonObject> requestFor(const Options &o, QString *why)
{
    const auto number = [&](const QString &text) -> std::optional<int> {
        bool ok = false;
        const int n = text.toInt(&ok);
        return ok && n >= 1 && n <= 8 ? std::optional<int>(n) : std::nullopt;
    };
    const QStringList &a = o.args;
    if (o.command == QLatin1String("status") && a.isEmpty())
        return QJsonObject{{"cmd", "status"}};
    if ((o.command == QLatin1String("move") || o.command == QLatin1String("speed")) &&
        a.size() == 1) {
        if (const auto n = number(a[0]))
            return QJsonObject{{"cmd", o.command},
                               {o.command == QLatin1String("move") ? "pocket" : "speed", *n}};
        // Not a number: a pocket's name, which the program knows.
        bool numeric = false;
        a[0].toDouble(&numeric);
        if (o.command == QLatin1String("move") && !numeric)
            return QJsonObject{{"cmd", "move"}, {"pocket", a[0]}};
        *why =
            QStringLiteral("%1 takes a whole number from 1 to 8, not \"%2\"").arg(o.command, a[0]);
        return std::nullopt;
    }
    if (o.command == QLatin1String("control") && a.size() <= 1) {
        if (a.isEmpty())
            return QJsonObject{{"cmd", "control"}};
        if (a[0] == QLatin1String("io") || a[0] == QLatin1String("comm"))
            return QJsonObject{{"cmd", "control"}, {"source", a[0]}};
    }
    if (o.command == QLatin1String("switches") && a.size() == 1 &&
        (a[0] == QLatin1String("front") || a[0] == QLatin1String("rear")))
        return QJsonObject{{"cmd", "switches"}, {"panel", a[0]}};
    if (o.command == QLatin1String("layout") && !a.isEmpty()) {
        if (a[0] == QLatin1String("read") && a.size() <= 2)
            return QJsonObject{{"cmd", "layout_read"}};
        if (a[0] == QLatin1String("send") && a.size() == 2) {
            QFile file(a[1]);
            PocketLayout layout;
            QString problem;
            if (!QFileInfo(a[1]).isFile() || !file.open(QIODevice::ReadOnly)) {
                *why = a[1] + QStringLiteral(": cannot be read");
                return std::nullopt;
            }
            const QByteArray text = file.read(1 << 20);
            if (!IndexerCommands::ParseLayoutText(text, layout, &problem)) {
                *why = a[1] + QStringLiteral(": ") + problem;
                return std::nullopt;
            }
            return QJsonObject{{"cmd", "layout_send"}, {"layout", QString::fromLatin1(text)}};
        }
    }
    if (o.command == QLatin1String("inhibit") && !a.isEmpty()) {
        if (a[0] == QLatin1String("off") && a.size() == 1)
            return QJsonObject{{"cmd", "inhibit"}, {"on", false}};
        if (a[0] == QLatin1String("on") && a.size() >= 2)
            return QJsonObject{{"cmd", "inhibit"}, {"on", true}, {"reason", a.mid(1).join(u' ')}};
    }
    if (o.command == QLatin1String("history") && a.size() <= 1) {
        bool ok = a.isEmpty();
        const int n = ok ? 20 : a[0].toInt(&ok);
        if (ok && n >= 1 && n <= IndexerCommands::kMaxHistory)
            return QJsonObject{{"cmd", "history"}, {"count", n}};
        *why = QStringLiteral("history takes a whole number from 1 to 100000");
        return std::nullopt;
    }
    if (o.command == QLatin1String("names") && a.isEmpty())
        return QJsonObject{{"cmd", "names"}};
    if (o.command == QLatin1String("send") && a.size() == 1)
        return QJsonObject{{"cmd", "send"}, {"text", a[0]}};
    if (o.command == QLatin1String("watch") && a.isEmpty())
        return QJsonObject{{"cmd", "watch"}, {"traffic", o.traffic}};
    *why = QStringLiteral("bad command line");
    return std::nullopt;
}

// The run of one command line, to its exit status.
class Session : public QObject
{
public:
    Session(Options options) : m_o(std::move(options)) {}

    void start(const QJsonObject &request)
    {
        m_request = request;
        if (request.value(QStringLiteral("cmd")) == QLatin1String("watch"))
            m_transport.onEvent = [this](const QJsonObject &event) { printEvent(event); };
        m_transport.onLost = [this] {
            finish(kUnreachable, QStringLiteral("lost the running rv360"));
        };
        // Every request ends by its own deadline, whatever the other end does; a watch runs
        // until it is interrupted.
        if (request.value(QStringLiteral("cmd")) != QLatin1String("watch")) {
            const int seconds = m_o.timeoutS > 0 ? m_o.timeoutS : m_o.wait ? 60 : 10;
            QTimer::singleShot(seconds * 1000, this, [this, seconds] { deadline(seconds); });
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
        const QString path =
            m_o.socket.isEmpty() ? DefaultSocketPath() : QFileInfo(m_o.socket).absoluteFilePath();
        if (path.isEmpty())
            return finish(kUnreachable, QStringLiteral("no running rv360: no private folder for "
                                                       "its socket, and no --device given"));
        m_transport.openSocket(path, [this, path](bool connected) {
            if (!connected && m_request.value(QStringLiteral("cmd")) == QLatin1String("history"))
                return historyFromFile();
            if (!connected)
                return finish(
                    kUnreachable,
                    QStringLiteral("no running rv360 at %1, and no --device given").arg(path));
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

private:
    void send()
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
    void historyFromFile()
    {
        const int count = m_request.value(QStringLiteral("count")).toInt();
        for (const QString &line :
             MotionSupervisor::ReadHistory(ProgramDirectory() + QStringLiteral("moves.csv"), count))
            out(line);
        finish(kDone, {});
    }

    void handle(const QJsonObject &result)
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
                         name.isString() ? QStringLiteral("name=%1 ").arg(name.toString())
                                         : QString(),
                         shown(result.value(QStringLiteral("state")))));
        } else if (cmd == QLatin1String("names")) {
            const QJsonArray names = result.value(QStringLiteral("names")).toArray();
            for (int k = 0; k < names.size(); ++k)
                out(QStringLiteral("%1 %2").arg(k + 1).arg(names[k].toString()).trimmed());
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
        const bool timedOut = result.value(QStringLiteral("timed_out")).toBool();
        finish(timedOut ? kNoAnswer : kDone, timedOut ? QStringLiteral("no answer") : QString());
    }

    // A move is never sent again: its result is the supervisor's, taken from its events; the
    // wait adds nothing to the line.
    void waitForArrival()
    {
        m_waiting = true;
        if (m_result.isEmpty())
            return;
        const bool arrived = m_result.value(QStringLiteral("state")) == QLatin1String("arrived");
        finish(arrived ? kDone : kNoAnswer, m_result.value(QStringLiteral("message")).toString());
    }

    void seen(const QJsonObject &event)
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

    void deadline(int seconds)
    {
        if (!m_waiting)
            return finish(kNoAnswer, QStringLiteral("no answer within %1 s").arg(seconds));
        finish(kNoAnswer, QStringLiteral("pocket %1 not reached in %2 s: at %3, %4")
                              .arg(m_request.value(QStringLiteral("pocket")).toVariant().toString())
                              .arg(seconds)
                              .arg(shown(m_last.value(QStringLiteral("pocket"))),
                                   shown(m_last.value(QStringLiteral("state")))));
    }

    void watch()
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
                        printEvent({{"event", field}, {field, value}});
                }
                m_last = status;
            });
        });
        timer->start(500);
    }

    void printEvent(const QJsonObject &event)
    {
        if (m_o.json)
            return out(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
        const QString kind = event.value(QStringLiteral("event")).toString();
        if (kind == QLatin1String("traffic"))
            return out(event.value(QStringLiteral("line")).toString());
        const auto text = [&event](const char *field) {
            return event.value(QLatin1String(field)).toVariant().toString();
        };
        if (kind == QLatin1String("move")) {
            const QString message = text("message");
            return out(QStringLiteral("move=%1 target=%2 (%3)%4")
                           .arg(text("state"), text("target"), text("source"),
                                message.isEmpty() ? QString() : QStringLiteral(": ") + message));
        }
        if (kind == QLatin1String("inhibit"))
            return out(QStringLiteral("inhibit=%1 %2 (%3)")
                           .arg(event.value(QStringLiteral("on")).toBool() ? "on" : "off",
                                text("reason"), text("source")));
        const QString field = kind == QLatin1String("link") ? QStringLiteral("status") : kind;
        out(kind + u'=' + shown(event.value(field)));
    }

    void finish(int status, const QString &why)
    {
        if (m_finished)
            return;
        m_finished = true;
        if (!why.isEmpty() && status != kDone)
            err(why);
        QCoreApplication::exit(status);
    }

    Options m_o;
    Transport m_transport;
    QJsonObject m_request, m_last, m_result;
    bool m_waiting = false;
    bool m_finished = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Options may stand anywhere, after the command's words too ("move 5 --wait"). parse(), not
    // process(): a bad command line ends with status 2 and this program's usage, not Qt's.
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption socket(QStringLiteral("socket"), {}, QStringLiteral("path"));
    const QCommandLineOption device(QStringLiteral("device"), {}, QStringLiteral("path"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption wait(QStringLiteral("wait"));
    const QCommandLineOption traffic(QStringLiteral("traffic"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("s"));
    parser.addOptions({help, socket, device, json, wait, traffic, timeout});
    if (!parser.parse(app.arguments())) {
        err(parser.errorText());
        std::fprintf(stderr, "%s", kUsageText);
        return kUsage;
    }
    if (parser.isSet(help)) {
        std::printf("%s", kUsageText);
        return kDone;
    }
    Options o;
    o.socket = parser.value(socket);
    o.device = parser.value(device);
    o.json = parser.isSet(json);
    o.wait = parser.isSet(wait);
    o.traffic = parser.isSet(traffic);
    if (parser.isSet(timeout)) {
        bool ok = false;
        o.timeoutS = parser.value(timeout).toInt(&ok);
        if (!ok || o.timeoutS < 1) {
            err(QStringLiteral("--timeout takes a whole number of seconds"));
            return kUsage;
        }
    }
    o.args = parser.positionalArguments();
    if (!o.args.isEmpty())
        o.command = o.args.takeFirst();
    if (!o.socket.isEmpty() && !o.device.isEmpty()) {
        err(QStringLiteral("give --socket or --device, not both"));
        return kUsage;
    }
    QString why;
    const std::optional<QJsonObject> request = requestFor(o, &why);
    if (!request || (o.wait && o.command != QLatin1String("move")) ||
        (o.traffic && o.command != QLatin1String("watch"))) {
        if (!why.isEmpty() && why != QLatin1String("bad command line"))
            err(why);
        std::fprintf(stderr, "%s", kUsageText);
        return kUsage;
    }
    SetErrorMessageHandler([](const QString &title, const QString &text) {
        err(title + QStringLiteral(": ") + text);
    });
    Session session(o);
    QTimer::singleShot(0, &session, [&session, &request] { session.start(*request); });
    return app.exec();
}
