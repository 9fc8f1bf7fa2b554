// Scripts' way in: the operations on a fake port, the control socket with real local sockets,
// the traffic record, and rv360ctl as a process against the socket and against rv360-sim.
#include "controlserver.h"
#include "fakeserialport.h"
#include "indexercommands.h"
#include "motionsupervisor.h"
#include "remotesettings.h"
#include "settings.h"
#include "simprocess.h"
#include "socketpath.h"
#include "testhome.h"
#include "trafficlog.h"
#include "transact.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{
// A script's end of the socket: lines out, lines in.
struct Script {
    QLocalSocket socket;
    explicit Script(const QString &path) { socket.connectToServer(path); }
    void send(const QByteArray &line) { socket.write(line + '\n'); }
    // The next line, waiting up to ms.
    QString next(int ms = 3000)
    {
        return QTest::qWaitFor([this] { return socket.canReadLine(); }, ms)
                   ? QString::fromUtf8(socket.readLine()).trimmed()
                   : QString();
    }
};

// rv360ctl, a copy in the test's folder: its files (the move record) go there.
QString ctlProgram;

// rv360ctl run to its end while this process goes on serving: its exit status (-1: it crashed
// or did not end), output and error output.
using Ctl = std::tuple<int, QByteArray, QByteArray>;
Ctl ctl(const QStringList &args, const std::function<void()> &inChild = {})
{
    QProcess process;
    process.setChildProcessModifier(inChild);
    process.start(ctlProgram, args);
    const bool ended =
        QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}
} // namespace

class TestRemote : public QObject
{
    Q_OBJECT

    TestHome home;
    std::unique_ptr<FakeSerialPort> port;
    std::unique_ptr<IndexerLink> link;
    std::unique_ptr<MotionSupervisor> motion;
    const QString socketPath = home.dir.filePath(QStringLiteral("rv360.sock"));

    // The result of one request on the link, as compact JSON.
    QString run(const char *request)
    {
        QString result;
        IndexerCommands::Run(*motion, QStringLiteral("test"), this,
                             QJsonDocument::fromJson(request).object(),
                             [&result](const QJsonObject &r) {
                                 result = QJsonDocument(r).toJson(QJsonDocument::Compact);
                             });
        (void)QTest::qWaitFor([&] { return !result.isEmpty(); }, 5000);
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        ctlProgram = home.dir.filePath(QStringLiteral("rv360ctl"));
        QVERIFY(QFile::copy(qEnvironmentVariable("RV360CTL"), ctlProgram));
    }
    void init()
    {
        motion.reset();
        link.reset();
        port = std::make_unique<FakeSerialPort>();
        QVERIFY(port->open(PortChoice::serial(1)));
        link = std::make_unique<IndexerLink>(*port);
        motion = std::make_unique<MotionSupervisor>(*link);
        // "X" and a move to pocket 2 go unanswered.
        port->responder = [](const QByteArray &frame) -> QByteArray {
            // clang-format off
            static const QHash<QByteArray, QByteArray> replies = {{"$B?\r\n", "B:3\r"}, {"$D?\r\n", "D:M\r"},
                {"$A?\r\n", "A:1\r"}, {"$I\r\n", QByteArray("I:\x05\xC8\r")}, {"$F?\r\n", "F:2\r"}};
            // clang-format on
            const bool silent = frame.startsWith("$X") || frame.startsWith("$B2");
            return replies.value(frame, silent ? QByteArray() : "ok\r");
        };
    }

    // Each operation: what goes to the indexer and what comes back (a bad request: the part of
    // the error that tells which).
    void operations()
    {
        // Meanwhile, beside them, an idle link polled for 3 s: no link event without "link";
        // with it, only a change of meaning (the last one known first, then a timeout).
        FakeSerialPort idlePort;
        idlePort.open(PortChoice::serial(1));
        idlePort.responder = [](const QByteArray &) -> QByteArray { return "D:M\r"; };
        IndexerLink idleLink(idlePort);
        MotionSupervisor idleMotion(idleLink);
        ControlServer server(idleMotion);
        QString why;
        QVERIFY(server.listen(socketPath, &why));
        Script a(socketPath), l(socketPath);
        a.send(R"({"cmd":"watch"})");
        l.send(R"({"cmd":"watch","link":true})");
        QTimer poller;
        connect(&poller, &QTimer::timeout, &idleLink, [&] { idleLink.SendCommand("D?"); });
        poller.start(100);
        QDeadlineTimer idle(3000);
        motion->setNames({QString(), {}, {}, {}, QStringLiteral("Au"), {}, {}, {}});
        // clang-format off
        const struct { const char *request, *sent, *result; } rows[] = {
            {R"({"cmd":"status"})", "", R"("answering":false,)"},
            {R"({"cmd":"speed","speed":1})", "C1", R"({"ok":true,"reply":"ok\r"})"},
            {R"({"cmd":"control","source":"comm"})", "A1", R"({"ok":true,"reply":"ok\r"})"},
            {R"({"cmd":"control","source":"up"})", "", "control takes"}, {R"({"cmd":"move","pocket":9})", "", "move takes"},
            {R"({"cmd":"move","pocket":"Ag"})", "", "no pocket named Ag"},
            {R"({"cmd":"names"})", "", R"({"names":[null,null,null,null,"Au",null,null,null],"ok":true})"},
            {R"({"cmd":"speed","speed":2.5})", "", "speed takes"}, {R"({"cmd":"switches","panel":"side"})", "", "switches takes"},
            {R"({"cmd":"speed","speed":0})", "", "speed takes"}, {R"({"cmd":"history","count":0})", "", "history takes"}, {R"({"cmd":"history","count":1})", "", R"("ok":true)"},
            {R"({"cmd":"send","text":"B?\nB5"})", "", "send takes"}, {R"({"cmd":"send"})", "", "send takes"}, {R"({"cmd":"dance"})", "", "unknown command"},
            {R"({"cmd":"layout_send","layout":"1,4,1\n"})", "", "layout_send: 1 lines, not 8"},
            {R"({"cmd":"layout_send","layout":"1, 1.5, 90.5\n2,3,1\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1\n"})", "", "layout_send: line 1:"},
            {R"({"cmd":"layout_send","layout":"1,1,10\n2,0,361\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1\n"})", "", "layout_send: line 2:"},
            {R"({"cmd":"layout_send","layout":"1,1,10\n2,0,20\n3,4,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1\n"})", "", "layout_send: line 3:"},
            {R"({"cmd":"layout_send","layout":"1,3,1\n2,1,10\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1"})", "", "\"ok\":true"},
            {R"({"cmd":"layout_send","layout":"1,0,1\n2,0,1\n3,0,1\n4,0,1\n5,0,1\n6,0,1\n7,0,1\n8,2,360"})", "F8,G1 0 000,G2 0 000,G3 0 000,G4 0 000,G5 0 000,G6 0 000,G7 0 000,G8 2 359", "\"ok\":true"},
            {R"({"cmd":"inhibit","on":true,"reason":"HV\u2028on"})", "", "inhibit takes"}, {R"({"cmd":"inhibit","on":true,"reason":"HV\u202Eno"})", "", "inhibit takes"},
            {R"({"cmd":"inhibit","on":true,"reason":"HV\u2066on"})", "", "inhibit takes"}, {R"({"cmd":"inhibit","on":true,"reason":"\u061CHV"})", "", "inhibit takes"},
            // Last: the move's supervision asks the status on its own from 250 ms on.
            {R"({"cmd":"move","pocket":"aU"})", "B5", R"({"ok":true,"reply":"ok\r"})"}};
        // clang-format on
        for (const auto &row : rows) {
            port->written.clear();
            QVERIFY2(run(row.request).contains(QLatin1String(row.result)), row.request);
            QCOMPARE(port->commands().join(u','), QString::fromLatin1(row.sent));
        }
        port->responder = [](const QByteArray &) { return "OKZ\r"; }; // another device
        QVERIFY(run(R"({"cmd":"control"})").contains("\"code\":\"bad_reply\""));
        // A status query unanswered (part of its reply came) leaves its value unknown in the
        // view, not made up from what came; both unanswered, the line does not answer.
        // clang-format off
        const std::pair<QByteArray, QString> silences[] = {{"$B?\r\n", R"("ok":true,"pocket":null,"remote":null,"state":"ready"})"},
            {"$D?\r\n", R"("ok":true,"pocket":5,"remote":null,"state":null})"}, {"", R"("answering":false,)"}};
        // clang-format on
        for (const auto &[silent, result] : silences) {
            port->responder = [silent](const QByteArray &frame) {
                const QByteArray reply = frame == "$B?\r\n" ? "B:5\r" : "D:R\r";
                return silent.isEmpty() ? QByteArray() : frame == silent ? reply.chopped(1) : reply;
            };
            motion->refresh(this, [] {});
            QVERIFY(QTest::qWaitFor([this] { return !link->isBusy(); }) &&
                    run(R"({"cmd":"status"})").contains(result));
        }
        // One pocket unanswered: a read or a send fails.
        port->responder = [](const QByteArray &frame) {
            return frame == "$F?\r\n" ? "F:1\r" : frame[1] == 'G' ? "" : "ok\r";
        };
        // clang-format off
        for (const char *request : {R"({"cmd":"layout_read"})", R"({"cmd":"layout_send","layout":"1,2,5\n2,3,1\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1"})"})
            QVERIFY2(run(request).contains("did not answer 1 of"), request);
        // clang-format on
        port->responder = {}; // nothing answers, not even the move's proof after the timeouts
        // clang-format off
        QVERIFY(run(R"({"cmd":"layout_send","layout":"1,1,10\n2,3,1\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1"})").contains("did not answer 2 of"));
        QVERIFY(run(R"({"cmd":"move","pocket":2})").contains("B2\\\" not sent: the line has not answered"));
        // clang-format on
        // The record's header and its last 20 lines unless asked for more.
        motion->setInhibit(true, QStringLiteral("x"), QStringLiteral("test"));
        for (int i = 0; i < 21; ++i)
            motion->move(3, QStringLiteral("test"), this, {});
        const QJsonObject history =
            QJsonDocument::fromJson(run(R"({"cmd":"history"})").toUtf8()).object();
        QCOMPARE(history["lines"].toArray().size(), 21);
        QTest::qWait(int(idle.remainingTime()));
        poller.stop();
        idlePort.responder = {};
        idleLink.SendCommand(QStringLiteral("D?"));
        QTRY_COMPARE(idleLink.statusWord(), QStringLiteral("Timeout"));
        QCOMPARE(QString(l.socket.readAll()).split(u'\n').filter("\"link\"").join(u','),
                 R"({"event":"link","status":"Ready"},{"event":"link","status":"Timeout"})");
        QVERIFY(!a.socket.readAll().contains("\"link\""));
    }

    // Two scripts and the window's own commands at once, each served in turn with its own
    // replies; refused while the setup dialog is open; bad input gets an error, a watcher that
    // does not read is dropped, and the window's link goes on.
    void socket()
    {
        ControlServer server(*motion);
        QString why;
        QVERIFY2(server.listen(socketPath, &why), qPrintable(why));
        QCOMPARE(QFileInfo(socketPath).permissions() & 0x0FFF, QFile::ReadUser | QFile::WriteUser);
        QVERIFY(!ControlServer(*motion).listen(socketPath, &why) && why.startsWith("another"));

        // The view the status tells: the window's poll.
        transact(*link, QStringLiteral("B?"));
        transact(*link, QStringLiteral("D?"));
        port->written.clear();
        port->replyDelayMs = 20;
        Script a(socketPath), b(socketPath);
        // A blank line is skipped; a script's requests are served one at a time, in order.
        a.send("\n{\"id\":2,\"cmd\":\"control\"}\n{\"id\":1,\"cmd\":\"status\"}");
        b.socket.write(R"({"id":"x","cmd":)"); // a line in pieces, the end much later: taken
        link->SendCommand(QStringLiteral("F?"));
        QCOMPARE(a.next(), R"({"id":2,"ok":true,"source":"comm"})");
        QCOMPARE(
            a.next(),
            R"({"alarm":null,"answering":true,"id":1,"inhibit":null,"last":null,"move":null,"name":null,)"
            R"("ok":true,"pocket":3,"remote":null,"state":"moving"})");
        b.send(R"("switches","panel":"rear"})");
        QCOMPARE(b.next(), R"({"byte":"C8","id":"x","ok":true})");
        // One at a time on the line, the window's first (it asked first); the status asks none.
        QVERIFY(port->commands().join(u',').contains(
            QRegularExpression(QStringLiteral("^F\\?,(A\\?,I|I,A\\?)$"))));

        motion->setRefusal([] { return QStringLiteral("setup dialog open"); });
        a.send("{\"cmd\":\"control\",\"source\":\"io\"}\n{\"cmd\":\"move\",\"pocket\":2}\n{"
               "\"cmd\":\"send\",\"text\":\"A?\"}\n{\"cmd\":\"watch\"}\n{oops\n[1]");
        for (int refused = 0; refused < 3; ++refused)
            QCOMPARE(a.next(), R"({"code":"refused","error":"setup dialog open","ok":false})");
        QCOMPARE(a.next(), R"({"ok":true})"); // watching needs no indexer
        // What is known already comes first.
        QCOMPARE(a.next(), R"({"event":"pocket","pocket":3})");
        QCOMPARE(a.next(), R"({"event":"state","state":"moving"})");
        QVERIFY(a.next().startsWith("{\"code\":\"bad_request\",\"error\":\"not a JSON object: "));
        QCOMPARE(a.next(), R"({"code":"bad_request","error":"not a JSON object","ok":false})");
        motion->setRefusal([] { return QString(); });
        // The window's poll seen by a watcher: changes only.
        QByteArrayList polls = {"B:5\r", "B:5\r", "B:4\r", "D:R\r", "D:M\r"};
        port->responder = [&polls](const QByteArray &) { return polls.takeFirst(); };
        for (const char *query : {"B?", "B?", "B?", "D?", "D?"})
            link->SendCommand(QString::fromLatin1(query));
        QStringList events, links; // the link's status words apart
        while (events.size() < 4) {
            const QString line = a.next();
            (line.contains(QLatin1String("link")) ? links : events) << line;
        }
        QCOMPARE(events.join(u','),
                 R"({"event":"pocket","pocket":5},{"event":"pocket","pocket":4},)"
                 R"({"event":"state","state":"ready"},{"event":"state","state":"moving"})");
        QVERIFY(links.isEmpty()); // it did not ask for the link
        // A watcher that never reads (its socket takes one byte) is dropped before its events
        // fill the memory; the fast watchers beside it each get each event once.
        Script slow(socketPath), fast1(socketPath), fast2(socketPath);
        slow.socket.setReadBufferSize(1);
        for (Script *watcher : {&slow, &fast1, &fast2})
            watcher->send(R"({"cmd":"watch","traffic":true})");
        QVERIFY(fast1.next() == R"({"ok":true})" && fast2.next() == R"({"ok":true})");
        TrafficLog traffic(*link, {});
        server.setTrafficLog(&traffic);
        port->responder = [](const QByteArray &) { return QByteArray(2000, 'n') + '\r'; };
        port->replyDelayMs = 0;
        for (int i = 0; i < 1500; ++i)
            transact(*link, QStringLiteral("B?"));
        slow.socket.setReadBufferSize(0);
        QTRY_COMPARE(slow.socket.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(transact(*link, QStringLiteral("D?")).timedOut, false); // the link goes on
        QByteArray got1, got2;
        QTRY_VERIFY((got1 += fast1.socket.readAll()).contains("D?") &&
                    (got2 += fast2.socket.readAll()).contains("D?"));
        QCOMPARE(got1.count('\n'), got2.count('\n'));
        QVERIFY(!a.socket.readAll().contains("traffic")); // it did not ask for the traffic
        link->shutdown();                                 // the program is ending: answered at once
        b.send(R"({"cmd":"control"})");
        QCOMPARE(b.next(), R"({"code":"refused","error":"program ending","ok":false})");
        server.stopListening(); // the window has closed: no new clients, the socket gone
        QVERIFY(!QFileInfo::exists(socketPath) && !Script(socketPath).socket.isOpen());
    }

    // Where the socket goes: the runtime folder when it is ours and private, else a private
    // folder of ours; a relative name in the program's directory. A file that is not a socket
    // is left alone; a socket served by another user is refused by rv360ctl.
    void socketPlace()
    {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(home.dir.path())); // the fallback folder made afresh
        const QString ours = QDir::tempPath() + QString("/rv360-%1/rv360.sock").arg(::getuid());
        const QString other = home.dir.filePath(QStringLiteral("runtime"));
        QVERIFY(QDir().mkdir(other));
        // clang-format off
        const std::tuple<QString, uid_t, int, QString> rows[] = {
            {home.dir.path(), ::getuid(), 0700, socketPath}, {home.dir.filePath("gone"), 0, 0, ours},
            {other, 65534, 0700, ours}, {other, ::getuid(), 01777, ours}};
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
        QCOMPARE(ControlServer::SocketPathFor("rv.sock"), home.dir.filePath("rv.sock"));
        QString why;
        QVERIFY(!ControlServer(*motion).listen({}, &why) && why.contains(QLatin1String("private")));
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(), "[Remote]\r\n") &&
                !ControlServer(*motion).listen(SettingsFilePath(), &why));
        QVERIFY(why.endsWith(" is not a socket: left as it is") &&
                contentsOf(SettingsFilePath()) == "[Remote]\r\n");
        QVERIFY(!ControlServer(*motion).listen(home.dir.filePath("none/rv.sock"), &why));
        // The settings of scripts' way in, and their defaults.
        for (const auto &[text, enabled, socket, traffic] :
             {std::tuple{"[Remote]\nEnabled=0\nSocket=a.sock\n[Log]\nTraffic=1", false, "a.sock",
                         true},
              {"", true, "", false}}) {
            QVERIFY(ReplaceFileAtomically(SettingsFilePath(), text));
            const RemoteSettings read = RemoteSettings::Read();
            QVERIFY2(read.enabled == enabled && read.socket == socket && read.logTraffic == traffic,
                     text);
        }
        if (::getuid() != 0)
            return;
        // A server of another user (it listened as that user) in a folder open to all.
        QVERIFY(::chmod(QFile::encodeName(home.dir.path()), 0711) == 0 &&
                ::chmod(QFile::encodeName(other), 0777) == 0);
        QLocalServer impostor;
        const bool listening = ::seteuid(65534) == 0 && impostor.listen(other + "/rv360.sock");
        QVERIFY(::seteuid(0) == 0 && listening);
        const auto [status, out, err] = ctl({"--socket", impostor.fullServerName(), "move", "5"});
        QVERIFY(status == 3 &&
                err.endsWith(" is served by user id 65534, not by this user: refused\n"));
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
        // Each line stamped to the millisecond; a reply with its round trip's time.
        const QRegularExpression stamps(QStringLiteral(
            "(?m)^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} | \\(\\d+\\.\\d ms\\)$"));
        QCOMPARE(
            QString::fromUtf8(contentsOf(file)).remove(stamps),
            QStringLiteral("> $B?\\r\\n\n< B:3\\r\n> $D?\\r\\n\n! x\n> $A?\\r\\n\n< A:1\\r\\n\n"));
        QVERIFY(QFileInfo(file).permissions().testFlags(QFile::ReadOwner | QFile::WriteOwner));
        // Rotated before the cap is passed; three old files kept.
        for (int n = 0; n < 4; ++n) {
            QVERIFY(ReplaceFileAtomically(file, QByteArray(TrafficLog::kMaxBytes - 10, 'o')));
            transact(*link, QStringLiteral("B?"));
        }
        QVERIFY(QFileInfo(file).size() < 100 && !QFileInfo::exists(file + ".4"));
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(QFileInfo(file + '.' + QString::number(n)).size(), TrafficLog::kMaxBytes - 10);
        // A line that just fits goes in before the rotation.
        const qint64 line = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz > $B?\\r\\n\n").size();
        QVERIFY(ReplaceFileAtomically(file, QByteArray(TrafficLog::kMaxBytes - line, 'o')));
        transact(*link, QStringLiteral("B?"));
        QCOMPARE(QFileInfo(file + QStringLiteral(".1")).size(), TrafficLog::kMaxBytes);
        // A rotation that cannot be done (a folder in the way) ends the record, the file kept
        // at its size.
        QVERIFY(QFile::remove(file + ".3") && QDir().mkdir(file + ".3"));
        QVERIFY(ReplaceFileAtomically(file, QByteArray(TrafficLog::kMaxBytes - 10, 'o')));
        // Said once.
        QSignalSpy failures(&traffic, &TrafficLog::recordFailed);
        transact(*link, QStringLiteral("B?"));
        transact(*link, QStringLiteral("B?"));
        QVERIFY(failures.size() == 1 &&
                failures[0][0].toString() == QLatin1String("could not be rotated; stopped"));
        QCOMPARE(QFileInfo(file).size(), TrafficLog::kMaxBytes - 10);
        QCOMPARE(QFileInfo(file + ".1").size(), TrafficLog::kMaxBytes);
    }

    // rv360ctl against this process's socket, against a server that never answers or goes
    // away, and on a device of its own against rv360-sim: each command's exit status, output
    // and error.
    void commandLine()
    {
        ControlServer server(*motion);
        // The moves that do not arrive have ended before the watch below.
        motion->setTimeLimitMs(500);
        motion->setWatchMs(50, 150);
        QString why;
        QVERIFY(server.listen(socketPath, &why));
        auto other = std::make_unique<ControlServer>(*motion); // one that goes away
        QVERIFY(other->listen(home.dir.filePath(QStringLiteral("other.sock")), &why));
        QLocalServer mute; // takes clients, never answers
        QVERIFY(mute.listen(home.dir.filePath(QStringLiteral("mute.sock"))));
        SimProcess sim;
        const QString simLog = home.dir.filePath(QStringLiteral("sim.log"));
        sim.setLogFile(simLog);
        QVERIFY(sim.start({"--move-ms", "50", "--log"}));
        // The names the window saved, which rv360ctl on a device of its own takes.
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(), "[Pockets]\r\nName6=Au\r\n"));
        // The lowest pocket, switches given in hex, and a few noise bytes before each reply
        // (until the noise is off): shown as they came.
        for (const char *line : {"pocket 1", "switches 0x0A 200", "noise on"})
            QCOMPARE(sim.control(QLatin1String(line)), QStringLiteral("ok"));
        const QByteArray noisy = std::get<1>(ctl({"--device", sim.linkPath(), "send", "@"}));
        QVERIFY2(noisy.endsWith("@:RV-360 indexer simulator 1.0\\r\n") && noisy.size() > 33, noisy);
        QCOMPARE(sim.control(QStringLiteral("noise off")), QStringLiteral("ok"));
        const QString layout = home.dir.filePath(QStringLiteral("layout.cfg"));
        QVERIFY(ReplaceFileAtomically(layout,
                                      "1,1,10\n2,3,1\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1"));
        const QString viaSocket = QStringLiteral("--socket ") + socketPath;
        const QString viaMute = QStringLiteral("--socket ") + mute.fullServerName();
        const QString viaDevice = QStringLiteral("--device ") + sim.linkPath();
        // clang-format off
        const struct { QString args; int status; QByteArray out, err; } rows[] = {
            {viaSocket + " status", 1, "pocket=? state=?\n", "rv360ctl: no answer\n"},
            {viaSocket + " --json switches rear", 0, "{\"byte\":\"C8\",\"ok\":true}\n", ""},
            {viaSocket + " send X", 1, "Timeout \n", "rv360ctl: no answer\n"},
            {viaSocket + " move 9", 2, "", "move takes a whole number from 1 to 8, not \"9\""},
            {viaSocket + " layout send " + home.dir.filePath("none.cfg"), 2, "", "none.cfg: cannot be read"},
            {viaSocket + " --json move 2", 1, "{\"code\":\"timeout\",\"error\":\"the indexer did not answer \\\"B2\\\"\",\"ok\":false}\n", "rv360ctl: the indexer did not answer \"B2\"\n"},
            {viaSocket + " move 4 --wait --timeout 1", 1, "", "rv360ctl: pocket 4 not reached in 0.5 s: at 3, moving\n"},
            {viaMute + " --timeout 1 switches front", 1, "", "rv360ctl: no answer within 1 s\n"},
            {"--socket " + home.dir.filePath("nobody.sock") + " status", 3, "", "no running rv360 at"},
            {"--device " + home.dir.filePath("no-device") + " status", 3, "", "no-device"},
            {viaDevice + " move au --wait --timeout 10", 0, "", ""},
            {viaDevice + " status", 0, "pocket=6 name=Au state=ready\n", ""}, {viaSocket + " move Ag", 2, "", "no pocket named Ag"}, {viaDevice + " control io", 0, "", ""},
            {viaDevice + " control", 0, "io\n", ""}, {viaDevice + " switches front", 0, "0A\n", ""}, {viaDevice + " switches rear", 0, "C8\n", ""},
            {viaDevice + " names", 0, "1\n2\n3\n4\n5\n6 Au\n7\n8\n", ""}, {"--timeout 2147484 status", 2, "", "rv360ctl: --timeout takes"},
            {viaDevice + " layout send " + layout, 0, "", ""},
            {viaDevice + " layout read", 0, "1, 1, 10\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n5, 3, 1\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n", ""},
            {viaSocket + " inhibit on HV on", 0, "", ""}, {viaSocket + " move 5", 1, "", "rv360ctl: moves inhibited: HV on\n"},
            {viaSocket + " speed 5", 1, "", "rv360ctl: moves inhibited: HV on\n"},
            {viaSocket + " send B5", 1, "", "rv360ctl: \"B5\" not sent: text that could command motion\n"},
            {viaSocket + " send X$B7", 1, "", "could command motion"}, {viaSocket + " send A?\x01", 1, "", "\"A?\\x01\" not sent: text that could"},
            {viaDevice + " send $B5", 1, "", "could command motion"}, {viaDevice + " send b5", 1, "", "could command motion"},
            {viaDevice + " send A?$C3", 1, "", "could command motion"},
            {viaSocket + " --json inhibit off", 0, "{\"ok\":true}\n", ""}, {viaDevice + " inhibit on x", 2, "", "not with --device"},
            {viaSocket + " inhibit on", 2, "", "rv360ctl: inhibit: wrong arguments; see rv360ctl --help\n"}, {viaSocket + " history 0", 2, "", "history takes"},
            {"--wait status", 2, "", "rv360ctl: --wait goes with move only; see rv360ctl --help\n"}, {"--bogus status", 2, "", "rv360ctl: Unknown option 'bogus'; see"},
            {viaSocket + " layout", 2, "", "rv360ctl: layout: wrong arguments; see"}, {"--json", 2, "", "rv360ctl: no command; see"}, {"dance", 2, "", "rv360ctl: \"dance\" is not a command; see"},
            {"--link status", 2, "", "rv360ctl: --link goes with watch only; see"},
        };
        // clang-format on
        Script observer(socketPath);
        observer.send(R"({"cmd":"watch"})");
        for (const auto &row : rows) {
            const auto [status, out, err] = ctl(row.args.split(u' '));
            // A usage error is one line.
            QVERIFY2(status == row.status && out == row.out && err.contains(row.err) &&
                         (status != 2 || err.count('\n') == 1),
                     qPrintable(row.args + ": " + out + err));
        }
        // Its record at the file-size limit (its size now): said, and the move made all the same.
        const rlim_t size = QFileInfo(home.dir.filePath(QStringLiteral("moves.csv"))).size();
        const rlimit limit{size, size};
        const auto [status, out, err] = ctl({"--device", sim.linkPath(), "move", "7"},
                                            [limit] { ::setrlimit(RLIMIT_FSIZE, &limit); });
        // (Not its last words: a coverage build's runtime says its own at the exit.)
        QVERIFY2(status == 0 && err.contains(" not written: File too large; stopped\n"), err);
        // The moves and the inhibit as a watcher saw them, in order.
        QStringList seen;
        for (QString line; !(line = observer.next(100)).isEmpty();) {
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
            if (event.contains("target") || event.contains("on"))
                seen << (event["state"].toString() + event["reason"].toString() + ' ' +
                         QString::number(event["target"].toInt()));
        }
        // Raw text that could move: none of it reached either line.
        const QByteArray simSaw = contentsOf(simLog), fakeSaw = port->written.join();
        QVERIFY2(simSaw.contains("rx $B6") && !simSaw.contains("B5") && !simSaw.contains("C3"),
                 simSaw);
        QVERIFY(!fakeSaw.contains("B5") && !fakeSaw.contains("B7"));
        // The move to 2 that timed out is still watched: replaced by the move to 4, or failed
        // first when rv360ctl was slow to start.
        QCOMPARE(seen.join(u',').replace("2,failed 2", "2,replaced 2"),
                 "started 2,replaced 2,started 4,failed 4,HV on 0,inhibited 5,HV on 0");
        // The record from the running program, and from the file (rv360ctl's own moves on the
        // device) when none runs.
        const QRegularExpression record(QStringLiteral(
            "^time,source,from,target,result,seconds,message\n"
            ".*,script uid=\\d+ pid=\\d+,3?,4,failed,0\\.\\d,\"pocket 4 not reached in 0.5 s: at "
            "3, "
            "moving\"\n"
            ".*,script uid=\\d+ pid=\\d+,3,5,inhibited,0\\.0,moves inhibited: HV on\n$"));
        const QByteArray history = std::get<1>(ctl({"--socket", socketPath, "history", "2"}));
        QVERIFY2(record.match(history).hasMatch(), history);
        const QByteArray fromFile = std::get<1>(ctl({"--socket", "none.sock", "history"}));
        QVERIFY2(fromFile.contains(",rv360ctl --device,,6 Au,arrived,") &&
                     fromFile.count('\n') == 2,
                 fromFile);
        // The running program gone during a request.
        QTimer::singleShot(300, &mute, &QLocalServer::close);
        QVERIFY(ctl(viaMute.split(u' ') << QStringLiteral("status")) ==
                Ctl(3, "", "rv360ctl: lost the running rv360\n"));
        // A watch's lines name only the fields that tell something (a refused move no name),
        // until the program it watches goes away.
        QProcess plain;
        plain.start(ctlProgram,
                    {"--socket", home.dir.filePath(QStringLiteral("other.sock")), "watch"});
        QTRY_VERIFY(plain.canReadLine()); // what is known comes first: it watches
        motion->setInhibit(true, QStringLiteral("HV on"), QStringLiteral("test"));
        motion->move(5, QStringLiteral("test"), this, {});
        motion->setInhibit(false, {}, QStringLiteral("test"));
        QByteArray said;
        QTRY_VERIFY((said += plain.readAllStandardOutput())
                        .endsWith("inhibit=on reason='HV on' source=test\nmove=inhibited target=5 "
                                  "source=test message='moves inhibited: HV on'\ninhibit=off "
                                  "reason='HV on' source=test\n"));
        other.reset();
        QTRY_VERIFY(plain.state() == QProcess::NotRunning && plain.exitCode() == 3);
        // watch: a line per change the window's poll sees (its pocket alternates) until nobody
        // takes its output (SIGPIPE ignored as under systemd): the first lines, then its end.
        TrafficLog traffic(*link, {});
        server.setTrafficLog(&traffic);
        int poll = 0;
        port->responder = [&poll](const QByteArray &) { return poll++ % 2 ? "B:7\r" : "B:6\r"; };
        QTimer poller;
        connect(&poller, &QTimer::timeout, link.get(), [this] { link->SendCommand("B?"); });
        poller.start(10);
        QProcess watcher, head;
        watcher.setStandardOutputProcess(&head);
        watcher.setChildProcessModifier([] { std::signal(SIGPIPE, SIG_IGN); });
        head.start(QStringLiteral("head"), {"-n", "12"});
        watcher.start(ctlProgram, {"--socket", socketPath, "watch", "--traffic"});
        QTRY_VERIFY(watcher.state() == QProcess::NotRunning && watcher.exitCode() == 1);
        QVERIFY(watcher.readAllStandardError().contains("rv360ctl: output: "));
        // Each line a link status, a frame, a reply with its time or a pocket; a whole poll seen.
        const QRegularExpression lines(QStringLiteral(
            "^(?=[^\\0]* > \\$B\\?\\\\r\\\\n\n[^\\0]*\npocket=[67]\n)((link=(Busy|Ready)|"
            ".* > \\$B\\?\\\\r\\\\n|.* < B:[67]\\\\r \\(\\d+\\.\\d "
            "ms\\)|pocket=[367]|state=moving)\n){12}$"));
        QVERIFY(lines.match(QString::fromLatin1(head.readAllStandardOutput())).hasMatch());
    }
};

QTEST_MAIN(TestRemote)
#include "tst_remote.moc"
