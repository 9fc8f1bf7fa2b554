// Scripts' way in: the operations on a fake port, the control socket with real local sockets,
// the traffic record, and rv360ctl as a process against the socket and against rv360-sim.
#include "controlserver.h"
#include "fakeserialport.h"
#include "indexercommands.h"
#include "settings.h"
#include "simprocess.h"
#include "socketpath.h"
#include "testhome.h"
#include "trafficlog.h"
#include "transact.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// A script's end of the socket: lines out, lines in.
struct Script {
    QLocalSocket socket;
    explicit Script(const QString &path)
    {
        socket.connectToServer(path);
        socket.waitForConnected(2000);
    }
    void send(const QByteArray &line) { socket.write(line + '\n'); }
    // The next line, waiting up to 3 s.
    QString next()
    {
        if (!QTest::qWaitFor([this] { return socket.canReadLine(); }, 3000))
            return {};
        return QString::fromUtf8(socket.readLine()).trimmed();
    }
};
} // namespace

class TestRemote : public QObject
{
    Q_OBJECT

    TestHome home;
    std::unique_ptr<FakeSerialPort> port;
    std::unique_ptr<IndexerLink> link;
    std::unique_ptr<ControlServer> server;
    QString socketPath;

    // The result of one request on the link, as compact JSON.
    QString run(const char *request)
    {
        QString result;
        IndexerCommands::Run(*link, this, QJsonDocument::fromJson(request).object(),
                             [&result](const QJsonObject &r) {
                                 result = QJsonDocument(r).toJson(QJsonDocument::Compact);
                             });
        (void)QTest::qWaitFor([&] { return !result.isEmpty(); }, 5000);
        return result;
    }

private Q_SLOTS:
    void initTestCase() { socketPath = home.dir.filePath(QStringLiteral("rv360.sock")); }
    void init()
    {
        server.reset();
        link.reset();
        CommPort = 1;
        port = std::make_unique<FakeSerialPort>();
        QVERIFY(port->open(PortChoice::serial(1)));
        link = std::make_unique<IndexerLink>(*port);
        port->responder = [](const QByteArray &frame) -> QByteArray {
            static const QHash<QByteArray, QByteArray> replies = {
                {"$B?\r\n", "B:3\r"},     {"$D?\r\n", "D:M\r"},
                {"$A?\r\n", "A:1\r"},     {"$I\r\n", QByteArray("I:\x05\xC8\r")},
                {"$F?\r\n", "F:2\r"},     {"$G1?\r\n", "G:0 045\r"},
                {"$G2?\r\n", "G:2 359\r"}};
            return replies.value(frame, frame.startsWith("$X") ? QByteArray() : "ok\r");
        };
    }

    // Each operation: what goes to the indexer and what comes back.
    void operations()
    {
        // clang-format off
        const struct {
            const char *request, *sent, *result;
        } rows[] = {
            {"{\"cmd\":\"move\",\"pocket\":8}", "B8", "{\"ok\":true,\"reply\":\"ok\\r\"}"},
            {"{\"cmd\":\"speed\",\"speed\":1}", "C1", "{\"ok\":true,\"reply\":\"ok\\r\"}"},
            {"{\"cmd\":\"control\",\"source\":\"comm\"}", "A1", "{\"ok\":true,\"reply\":\"ok\\r\"}"},
            {"{\"cmd\":\"control\",\"source\":\"up\"}", "", "{\"code\":\"bad_request\",\"error\":\"control takes \\\"source\\\": \\\"io\\\" or \\\"comm\\\"\",\"ok\":false}"},
            {"{\"cmd\":\"layout_send\",\"layout\":\"1,1,10\\n2,0,361\\n3,3,1\\n4,3,1\\n5,3,1\\n6,3,1\\n7,3,1\\n8,3,1\\n\"}", "", "{\"code\":\"bad_request\",\"error\":\"layout_send: line 2: a type 0 to 3 and a position 1 to 360 are needed\",\"ok\":false}"},
            {"{\"cmd\":\"layout_read\"}", "F?,G1?,G2?", "{\"layout\":\"1, 0, 46\\r\\n2, 2, 360\\r\\n3, 3, 1\\r\\n4, 3, 1\\r\\n5, 3, 1\\r\\n6, 3, 1\\r\\n7, 3, 1\\r\\n8, 3, 1\\r\\n\",\"ok\":true}"},
            {"{\"cmd\":\"layout_send\",\"layout\":\"1,1,10\\n2,0,20\\n3,3,1\\n4,3,1\\n5,3,1\\n6,3,1\\n7,3,1\\n8,3,1\\n\"}", "F2,G1 1 009,G2 0 019", "{\"ok\":true}"},
            {"{\"cmd\":\"move\",\"pocket\":9}", "", "{\"code\":\"bad_request\",\"error\":\"move takes \\\"pocket\\\": a whole number from 1 to 8\",\"ok\":false}"},
            {"{\"cmd\":\"speed\",\"speed\":2.5}", "", "{\"code\":\"bad_request\",\"error\":\"speed takes \\\"speed\\\": a whole number from 1 to 8\",\"ok\":false}"},
            {"{\"cmd\":\"switches\",\"panel\":\"side\"}", "", "{\"code\":\"bad_request\",\"error\":\"switches takes \\\"panel\\\": \\\"front\\\" or \\\"rear\\\"\",\"ok\":false}"},
            {"{\"cmd\":\"layout_send\",\"layout\":\"1,4,1\\n\"}", "", "{\"code\":\"bad_request\",\"error\":\"layout_send: 1 lines, not 8\",\"ok\":false}"},
            {"{\"cmd\":\"layout_send\",\"layout\":\"1,1,10\\n2,0,20\\n3,4,1\\n4,3,1\\n5,3,1\\n6,3,1\\n7,3,1\\n8,3,1\\n\"}", "", "{\"code\":\"bad_request\",\"error\":\"layout_send: line 3: a type 0 to 3 and a position 1 to 360 are needed\",\"ok\":false}"},
            {"{\"cmd\":\"layout_send\",\"layout\":\"1, 1.5, 90.5\\n2,3,1\\n3,3,1\\n4,3,1\\n5,3,1\\n6,3,1\\n7,3,1\\n8,3,1\\n\"}", "", "{\"code\":\"bad_request\",\"error\":\"layout_send: line 1: a type 0 to 3 and a position 1 to 360 are needed\",\"ok\":false}"},
            {"{\"cmd\":\"send\",\"text\":\"B?\\nB5\"}", "", "{\"code\":\"bad_request\",\"error\":\"send takes \\\"text\\\": one command without CR or LF\",\"ok\":false}"},
            {"{\"cmd\":\"dance\"}", "", "{\"code\":\"bad_request\",\"error\":\"unknown command \\\"dance\\\"\",\"ok\":false}"}};
        // clang-format on
        for (const auto &row : rows) {
            port->written.clear();
            QCOMPARE(run(row.request), QString::fromLatin1(row.result));
            QCOMPARE(port->commands().join(u','), QString::fromLatin1(row.sent));
        }
        port->responder = [](const QByteArray &) { return "OKZ\r"; }; // another device
        QCOMPARE(run("{\"cmd\":\"control\"}"), "{\"code\":\"bad_reply\",\"error\":\"unexpected "
                                               "reply \\\"OKZ\\\\r\\\"\",\"ok\":false}");
        // A status query unanswered (part of its reply came) leaves its value unknown, not made
        // up from what came; both unanswered, a timeout.
        const std::pair<QByteArray, QString> silences[] = {
            {"$B?\r\n", "{\"ok\":true,\"pocket\":null,\"state\":\"ready\"}"},
            {"$D?\r\n", "{\"ok\":true,\"pocket\":5,\"state\":null}"},
            {"", "{\"code\":\"timeout\",\"error\":\"the indexer did not answer "
                 "\\\"B?\\\"\",\"ok\":false}"}};
        for (const auto &[silent, result] : silences) {
            port->responder = [silent](const QByteArray &frame) {
                const QByteArray reply = frame == "$B?\r\n" ? "B:5\r" : "D:R\r";
                return silent.isEmpty() ? QByteArray() : frame == silent ? reply.chopped(1) : reply;
            };
            QCOMPARE(run("{\"cmd\":\"status\"}"), result);
        }
        port->responder = {}; // nothing answers
        // clang-format off
        QCOMPARE(run("{\"cmd\":\"move\",\"pocket\":2}"), "{\"code\":\"timeout\",\"error\":\"\\\"B2\\\" not sent: the line has not answered since a timeout, or too many commands wait\",\"ok\":false}");
        QCOMPARE(run("{\"cmd\":\"layout_send\",\"layout\":\"1,1,10\\n2,3,1\\n3,3,1\\n4,3,1\\n5,3,1\\n6,3,1\\n7,3,1\\n8,3,1\"}"), "{\"code\":\"timeout\",\"error\":\"the indexer did not answer 2 of the layout's commands\",\"ok\":false}");
        // clang-format on
    }

    // Two scripts and the window's own commands at once, each served in turn with its own
    // replies; refused while the setup dialog is open; bad input gets an error or the client
    // is dropped, and the window's link goes on.
    void socket()
    {
        server = std::make_unique<ControlServer>(*link);
        QString why;
        QVERIFY2(server->listen(socketPath, &why), qPrintable(why));
        QCOMPARE(QFileInfo(socketPath).permissions() & 0x0FFF, QFile::ReadUser | QFile::WriteUser);
        ControlServer second(*link);
        QVERIFY(!second.listen(socketPath, &why));
        QCOMPARE(why, "another program is serving " + socketPath);

        port->replyDelayMs = 20;
        Script a(socketPath), b(socketPath);
        a.send("{\"id\":1,\"cmd\":\"status\"}"
               "\n"
               "{\"id\":2,\"cmd\":\"control\"}");
        b.send("{\"id\":\"x\",\"cmd\":\"switches\",\"panel\":\"rear\"}");
        QString windowReply;
        link->SendCommand(QStringLiteral("F?"), this,
                          [&](const IndexerLink::Reply &r) { windowReply = r.text; });
        QCOMPARE(a.next(), "{\"id\":1,\"ok\":true,\"pocket\":3,\"state\":\"moving\"}");
        QCOMPARE(a.next(), "{\"id\":2,\"ok\":true,\"source\":\"comm\"}");
        QCOMPARE(b.next(), "{\"byte\":\"C8\",\"id\":\"x\",\"ok\":true}");
        QCOMPARE(windowReply, QStringLiteral("F:2\r"));
        // One at a time on the line, the window's first (it asked first), a status whole.
        QCOMPARE(port->commands().size(), 5);
        QCOMPARE(port->commands().first(), QStringLiteral("F?"));
        QVERIFY(port->commands().join(u',').contains(QLatin1String("B?,D?")));

        bool dialogOpen = true;
        server->setRefusal(
            [&] { return dialogOpen ? QStringLiteral("setup dialog open") : QString(); });
        a.send("{\"cmd\":\"move\",\"pocket\":2}"
               "\n"
               "{\"cmd\":\"watch\"}"
               "\n{oops\n[1]");
        QCOMPARE(a.next(), "{\"code\":\"refused\",\"error\":\"setup dialog open\",\"ok\":false}");
        QCOMPARE(a.next(), "{\"ok\":true}"); // watching needs no indexer
        QVERIFY(a.next().startsWith("{\"code\":\"bad_request\",\"error\":\"not a JSON object: "));
        QCOMPARE(a.next(),
                 "{\"code\":\"bad_request\",\"error\":\"not a JSON object\",\"ok\":false}");
        dialogOpen = false;
        // The window's poll seen by a watcher: changes only.
        QByteArrayList polls = {"B:5\r", "B:5\r", "B:4\r", "D:R\r", "D:M\r"};
        port->responder = [&polls](const QByteArray &) { return polls.takeFirst(); };
        for (const char *query : {"B?", "B?", "B?", "D?", "D?"})
            link->SendCommand(QString::fromLatin1(query));
        QStringList events;
        while (events.size() < 4)
            if (const QString line = a.next(); !line.contains(QLatin1String("link")))
                events << line;
        QCOMPARE(events, (QStringList{"{\"event\":\"pocket\",\"pocket\":5}",
                                      "{\"event\":\"pocket\",\"pocket\":4}",
                                      "{\"event\":\"state\",\"state\":\"ready\"}",
                                      "{\"event\":\"state\",\"state\":\"moving\"}"}));

        // Requests answered at once are served in a loop, not a recursion. Over 64 waiting, or a
        // line that never ends (cut at 64 KiB): the client is dropped.
        Script d(socketPath);
        d.send(QByteArray("[]\n").repeated(60));
        for (int i = 0; i < 60; ++i)
            QVERIFY(d.next().contains(QLatin1String("not a JSON object")));
        for (const QByteArray &flood :
             {QByteArray("[]\n").repeated(100), QByteArray(1 << 20, 'x')}) {
            Script e(socketPath);
            e.send(flood);
            QTRY_COMPARE(e.socket.state(), QLocalSocket::UnconnectedState);
        }
        // A watcher that never reads (a raw socket: QLocalSocket would read in the background)
        // is dropped before its events fill the memory; the fast watchers around it each get
        // each event once.
        const QByteArray watch = "{\"cmd\":\"watch\",\"traffic\":true}\n";
        const int c = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(socketPath).constData(),
                     sizeof address.sun_path - 1);
        QVERIFY(::connect(c, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
        QCOMPARE(::write(c, watch.constData(), size_t(watch.size())), watch.size());
        Script fast1(socketPath), fast2(socketPath);
        for (Script *fast : {&fast1, &fast2}) {
            fast->send(watch.chopped(1));
            QCOMPARE(fast->next(), "{\"ok\":true}");
        }
        TrafficLog traffic(*link, {});
        server->setTrafficLog(&traffic);
        port->responder = [](const QByteArray &) { return QByteArray(2000, 'n') + '\r'; };
        port->replyDelayMs = 0;
        const auto dropped = [c] {
            pollfd hangup{c, POLLRDHUP, 0};
            return ::poll(&hangup, 1, 0) == 1 && (hangup.revents & (POLLRDHUP | POLLHUP));
        };
        for (int i = 0; i < 2000 && !dropped(); ++i)
            QCOMPARE(transact(*link, QStringLiteral("B?")).timedOut, false);
        QVERIFY(dropped());
        ::close(c);
        QCOMPARE(transact(*link, QStringLiteral("D?")).timedOut, false); // the link goes on
        QByteArray got1, got2;
        QTRY_VERIFY((got1 += fast1.socket.readAll()).contains("D?") &&
                    (got2 += fast2.socket.readAll()).contains("D?"));
        QCOMPARE(got1.count('\n'), got2.count('\n'));
        link->shutdown(); // the program is ending: answered at once
        a.send("{\"cmd\":\"status\"}");
        QString line;
        while ((line = a.next()).startsWith("{\"event\"")) // it watches
            ;
        QCOMPARE(line, "{\"code\":\"refused\",\"error\":\"program ending\",\"ok\":false}");
        server->stopListening(); // the window has closed: no new clients, the socket gone
        QVERIFY(!QFileInfo::exists(socketPath) && !Script(socketPath).socket.isOpen());
    }

    // A client over the cap is refused and let go; one that leaves makes room for another.
    void clientCap()
    {
        server = std::make_unique<ControlServer>(*link);
        QString why;
        QVERIFY(server->listen(socketPath, &why));
        std::vector<std::unique_ptr<Script>> clients;
        for (int i = 0; i <= ControlServer::kMaxClients; ++i)
            clients.push_back(std::make_unique<Script>(socketPath));
        const auto served = [](Script &client) {
            client.send("{\"cmd\":\"watch\"}");
            return client.next();
        };
        QCOMPARE(served(*clients[ControlServer::kMaxClients - 1]), "{\"ok\":true}");
        QCOMPARE(clients.back()->next(),
                 "{\"code\":\"refused\",\"error\":\"too many clients\",\"ok\":false}");
        QTRY_COMPARE(clients.back()->socket.state(), QLocalSocket::UnconnectedState);
        clients.front()->socket.abort();
        QTRY_COMPARE(served(*std::make_unique<Script>(socketPath)), "{\"ok\":true}");
    }

    // rv360ctl ends by itself whatever the other end does: a program that never answers, one
    // that goes away during a plain request and during a wait.
    void ctlEndsByItself()
    {
        // clang-format off
        const struct { const char *args; bool answers; int closeAfterMs, status; QByteArray error; } rows[] = {
            {"--timeout 1 status", false, -1, 1, "rv360ctl: no answer within 1 s\n"},
            {"status", false, 300, 3, "rv360ctl: lost the running rv360\n"},
            {"move 5 --wait --timeout 20", true, 600, 3, "rv360ctl: lost the running rv360\n"}};
        // clang-format on
        for (const auto &row : rows) {
            QLocalServer fake; // every request answered "moving at 1", or none
            QVERIFY(fake.listen(home.dir.filePath(QStringLiteral("fake.sock"))));
            connect(&fake, &QLocalServer::newConnection, &fake, [&fake, &row] {
                QLocalSocket *s = fake.nextPendingConnection();
                connect(s, &QLocalSocket::readyRead, s, [s, &row] {
                    while (s->canReadLine() && s->readLine().size() && row.answers)
                        s->write("{\"ok\":true,\"pocket\":1,\"state\":\"moving\"}\n");
                });
                if (row.closeAfterMs >= 0)
                    QTimer::singleShot(row.closeAfterMs, s, &QLocalSocket::abort);
            });
            QProcess ctl;
            ctl.start(qEnvironmentVariable("RV360CTL"),
                      QStringList{"--socket", fake.fullServerName()} +
                          QString::fromLatin1(row.args).split(u' '));
            QVERIFY(QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, 5000));
            QCOMPARE(ctl.exitCode(), row.status);
            QCOMPARE(ctl.readAllStandardError(), row.error);
        }
    }

    // Where the socket goes: the runtime folder when it is ours and private, else a private
    // folder of ours; a relative name in the program's directory. A file that is not a socket
    // is left alone; a socket served by another user is refused by rv360ctl.
    void socketPlace()
    {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        const QString ours = QDir::tempPath() + QStringLiteral("/rv360-%1").arg(::getuid());
        const QString other = home.dir.filePath(QStringLiteral("runtime"));
        QVERIFY(QDir().mkdir(other));
        // clang-format off
        const std::tuple<QString, uid_t, int, QString> rows[] = {
            {home.dir.path(), ::getuid(), 0700, socketPath}, {home.dir.filePath("gone"), 0, 0, ours + "/rv360.sock"},
            {other, 65534, 0700, ours + "/rv360.sock"}, {other, ::getuid(), 01777, ours + "/rv360.sock"}};
        // clang-format on
        for (const auto &[folder, owner, mode, expected] : rows) {
            if (owner == 65534 && ::getuid() != 0)
                continue; // another user's folder: made by root only
            if (QFileInfo(folder).isDir())
                QVERIFY(::chown(QFile::encodeName(folder), owner, -1) == 0 &&
                        ::chmod(QFile::encodeName(folder), mode_t(mode)) == 0);
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder));
            QCOMPARE(DefaultSocketPath(), expected);
        }
        qputenv("XDG_RUNTIME_DIR", runtime);
        QCOMPARE(QFileInfo(ours).permissions() & 0x0FFF,
                 QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        QCOMPARE(ControlServer::SocketPathFor("rv.sock"), home.dir.filePath("rv.sock"));
        QString why;
        QVERIFY(!ControlServer(*link).listen({}, &why) && why.contains(QLatin1String("private")));
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(), "[Remote]\r\n"));
        QVERIFY(!ControlServer(*link).listen(SettingsFilePath(), &why));
        QCOMPARE(why, SettingsFilePath() + " is not a socket: left as it is");
        QCOMPARE(contentsOf(SettingsFilePath()), "[Remote]\r\n");
        if (::getuid() != 0)
            return;
        // A server of another user: a child that gives up root listens in a folder open to all.
        QVERIFY(::chmod(QFile::encodeName(home.dir.path()), 0711) == 0 &&
                ::chmod(QFile::encodeName(other), 0777) == 0);
        const QString impostor = other + QStringLiteral("/rv360.sock");
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, QFile::encodeName(impostor).constData(), 100);
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::alarm(10);
            const bool served =
                ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                ::listen(s, 1) == 0 && ::accept(s, nullptr, nullptr) >= 0;
            exitChild(served);
        }
        QTRY_VERIFY(QFileInfo::exists(impostor));
        QProcess ctl;
        ctl.start(qEnvironmentVariable("RV360CTL"), {"--socket", impostor, "move", "5"});
        QVERIFY(ctl.waitForFinished(5000));
        QCOMPARE(ctl.exitCode(), 3);
        QCOMPARE(ctl.readAllStandardError(), "rv360ctl: " + QFile::encodeName(impostor) +
                                                 " is served by user id 65534, not by "
                                                 "this user: refused\n");
        int status = -1;
        ::waitpid(child, &status, 0);
        QCOMPARE(status, 0);
    }

    // The record's lines: a poll, a timeout with what had come, a CR LF reply; the cap.
    void trafficRecord()
    {
        const QString file = home.dir.filePath(QStringLiteral("traffic.log"));
        TrafficLog traffic(*link, file);
        port->responder = [](const QByteArray &frame) -> QByteArray {
            return frame == "$B?\r\n" ? "B:3\r" : frame == "$A?\r\n" ? "A:1\r\n" : "x";
        };
        for (const char *command : {"B?", "D?", "A?"})
            transact(*link, QString::fromLatin1(command));
        QFile log(file);
        QVERIFY(log.open(QIODevice::ReadOnly));
        // Each line stamped to the millisecond; a reply with its round trip's time.
        const QRegularExpression stamp(
            QStringLiteral("(?m)^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
        const QString shown =
            QString::fromUtf8(log.readAll())
                .remove(stamp)
                .remove(QRegularExpression(QStringLiteral("(?m) \\(\\d+\\.\\d ms\\)$")));
        QCOMPARE(shown, QStringLiteral(
                            "> $B?\\r\\n\n< B:3\\r\n> $D?\\r\\n\n! x\n> $A?\\r\\n\n< A:1\\r\\n\n"));
        // Rotated before the cap is passed; three old files kept.
        for (int n = 0; n < 4; ++n) {
            QVERIFY(ReplaceFileAtomically(file, QByteArray(TrafficLog::kMaxBytes - 10, 'o')));
            transact(*link, QStringLiteral("B?"));
        }
        QCOMPARE(QFileInfo(file).size() < 100, true);
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(QFileInfo(file + QStringLiteral(".%1").arg(n)).size(),
                     TrafficLog::kMaxBytes - 10);
        QVERIFY(!QFileInfo::exists(file + QStringLiteral(".4")));
        // A line that just fits goes in before the rotation.
        const qint64 line = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz > $B?\\r\\n\n").size();
        QVERIFY(ReplaceFileAtomically(file, QByteArray(TrafficLog::kMaxBytes - line, 'o')));
        transact(*link, QStringLiteral("B?"));
        QCOMPARE(QFileInfo(file + QStringLiteral(".1")).size(), TrafficLog::kMaxBytes);
        // A rotation that cannot be done (a folder in the way) ends the record, the file kept
        // at its size; a record at a symbolic link never writes through it.
        QVERIFY(QFile::remove(file + ".3") && QDir().mkdir(file + ".3"));
        QVERIFY(ReplaceFileAtomically(file, QByteArray(TrafficLog::kMaxBytes - 10, 'o')));
        for (int n = 0; n < 2; ++n)
            transact(*link, QStringLiteral("B?"));
        QCOMPARE(QFileInfo(file).size(), TrafficLog::kMaxBytes - 10);
        QCOMPARE(QFileInfo(file + ".1").size(), TrafficLog::kMaxBytes);
        TrafficLog linked(*link, home.dir.filePath("linked.log"));
        QVERIFY(QFile::link(file + ".2", home.dir.filePath("linked.log")));
        transact(*link, QStringLiteral("B?"));
        QCOMPARE(QFileInfo(file + ".2").size(), TrafficLog::kMaxBytes - 10);
    }

    // rv360ctl against this process's socket, and on a device of its own against rv360-sim:
    // each command's output and exit status.
    void commandLine()
    {
        const QString ctl = qEnvironmentVariable("RV360CTL");
        QVERIFY2(QFile::exists(ctl), "RV360CTL names rv360ctl");
        server = std::make_unique<ControlServer>(*link);
        QString why;
        QVERIFY(server->listen(socketPath, &why));
        SimProcess sim;
        QVERIFY(sim.start({"--move-ms", "50"}));
        // The simulator's own controls: the lowest pocket, switches given in hex.
        QCOMPARE(sim.control(QStringLiteral("pocket 1")), QStringLiteral("ok"));
        QCOMPARE(sim.control(QStringLiteral("switches 0x0A 200")), QStringLiteral("ok"));
        const QString layout = home.dir.filePath(QStringLiteral("layout.cfg"));
        QVERIFY(ReplaceFileAtomically(layout, "1, 1, 10\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n5, 3, 1"
                                              "\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n"));
        const QString viaSocket = QStringLiteral("--socket ") + socketPath;
        const QString viaDevice = QStringLiteral("--device ") + sim.linkPath();
        // clang-format off
        const struct {
            QString args;
            int status;
            QString out;
        } rows[] = {
            {viaSocket + " --json switches rear", 0, "{\"byte\":\"C8\",\"ok\":true}\n"},
            {viaSocket + " send X", 1, "Timeout \n"},
            {viaSocket + " move 9", 2, ""},
            {viaSocket + " layout send " + home.dir.filePath("none.cfg"), 2, ""},
            {"--socket " + home.dir.filePath("nobody.sock") + " status", 3, ""},
            {"--device " + home.dir.filePath("no-device") + " status", 3, ""},
            {viaDevice + " move 6 --wait --timeout 10", 0, ""},
            {viaDevice + " status", 0, "pocket=6 state=ready\n"},
            {viaDevice + " speed 2", 0, ""},
            {viaDevice + " control io", 0, ""},
            {viaDevice + " control", 0, "io\n"},
            {viaDevice + " switches front", 0, "A\n"},
            {viaDevice + " switches rear", 0, "C8\n"},
            {viaDevice + " layout send " + layout, 0, ""},
            {viaDevice + " layout read", 0, "1, 1, 10\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n5, 3, 1\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n"},
            {viaDevice + " send @", 0, "@:RV-360 indexer simulator 1.0\\r\n"},
            {"status", 2, ""}, // no command line
        };
        // clang-format on
        for (const auto &row : rows) {
            QProcess process;
            process.start(ctl, row.args == QLatin1String("status") ? QStringList{"--wait", "status"}
                                                                   : row.args.split(u' '));
            // The event loop runs meanwhile: this process serves the socket.
            QVERIFY(
                QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000));
            QVERIFY2(process.exitCode() == row.status,
                     qPrintable(row.args + ": " + process.readAllStandardError()));
            QCOMPARE(QString::fromLatin1(process.readAllStandardOutput()), row.out);
        }
        // watch: a line per change the window's poll sees, until interrupted.
        TrafficLog traffic(*link, {});
        server->setTrafficLog(&traffic);
        QProcess watcher;
        watcher.start(ctl, {"--socket", socketPath, "watch", "--traffic"});
        QVERIFY(QTest::qWaitFor([&] { return watcher.state() == QProcess::Running; }, 5000));
        // Polls whose pocket alternates, until the watcher (once connected) prints one.
        int poll = 0;
        port->responder = [&poll](const QByteArray &) {
            return QByteArray(poll++ % 2 ? "B:7\r" : "B:6\r");
        };
        QByteArray seen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (!link->isBusy())
                    link->SendCommand(QStringLiteral("B?"));
                seen += watcher.readAll();
                // A whole poll seen: its frame written, then the pocket it changed to.
                const qsizetype frame = seen.indexOf(" > $B?\\r\\n\n");
                return frame >= 0 && seen.indexOf("\npocket=", frame) >= 0;
            },
            5000));
        QVERIFY(QRegularExpression(QStringLiteral("^(link=(Busy|Ready)\n|.* > \\$B\\?\\\\r\\\\n\n|"
                                                  ".* < B:[67]\\\\r \\(.*\n)*pocket=[67]\n"))
                    .match(QString::fromLatin1(seen))
                    .hasMatch());
        watcher.terminate();
        QVERIFY(QTest::qWaitFor([&] { return watcher.state() == QProcess::NotRunning; }, 5000));
        // Its output closed, SIGPIPE ignored as under systemd: it ends at the next line.
        QProcess closed;
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        closed.setChildProcessModifier([ends] {
            std::signal(SIGPIPE, SIG_IGN);
            ::dup2(ends[1], 1);
        });
        closed.start(ctl, {"--socket", socketPath, "watch"});
        QVERIFY(closed.waitForStarted(5000));
        ::close(ends[0]);
        ::close(ends[1]);
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (!link->isBusy())
                    link->SendCommand(QStringLiteral("B?")); // events for the watcher
                return closed.state() == QProcess::NotRunning;
            },
            5000));
        QCOMPARE(closed.exitCode(), 1);
        // A move that never arrives: a clear message at the timeout, the move not sent again;
        // a simulator that does not answer at all.
        SimProcess slow;
        QVERIFY(slow.start({"--move-ms", "600000"}));
        QVERIFY(sim.control(QStringLiteral("silent on")).startsWith(QLatin1String("ok")));
        const std::tuple<QString, QByteArray> stalls[] = {
            {slow.linkPath(), "rv360ctl: pocket 2 not reached in 1 s: at 1, moving\n"},
            {sim.linkPath(), "rv360ctl: the indexer did not answer \"B2\"\n"}};
        for (const auto &[device, message] : stalls) {
            QProcess process;
            process.start(ctl, {"--device", device, "move", "2", "--wait", "--timeout", "1"});
            QVERIFY(
                QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000));
            QCOMPARE(process.exitCode(), 1);
            QCOMPARE(process.readAllStandardError(), message);
        }
        QVERIFY(slow.control(QStringLiteral("state")).contains(QLatin1String("target=2")));
        QCOMPARE(sim.control(QStringLiteral("silent off")), QStringLiteral("ok"));
        // Heard again; then a few noise bytes before each reply. Tried until the simulator, which
        // pauses while its line has no opener, answers in time.
        const auto said = [&ctl, &sim](const QStringList &words) {
            QProcess process;
            process.start(ctl, QStringList{"--device", sim.linkPath()} + words);
            return process.waitForFinished(10000) ? process.readAllStandardOutput() : QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(said({"status"}).startsWith("pocket="), 10000);
        QCOMPARE(sim.control(QStringLiteral("noise on")), QStringLiteral("ok"));
        QByteArray noisy;
        QTRY_VERIFY_WITH_TIMEOUT(
            (noisy = said({"send", "@"})).endsWith("@:RV-360 indexer simulator 1.0\\r\n"), 10000);
        QVERIFY(noisy.size() > 33);
    }
};

QTEST_MAIN(TestRemote)
#include "tst_remote.moc"
