// rv360-sim driven through its pseudo-terminal, as the operator program would see it.

#include "simprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{

const QString SimPath = QStringLiteral(RV360_SIM_PATH);
constexpr int ReplyMs = 2000;
// Long enough that a loaded machine still sees every pocket on the way.
const QString MoveMs = QStringLiteral("250");

QByteArray frame(const QByteArray &command)
{
    return "$" + command + "\r\n";
}

// Reads until at least `count` bytes have come, or two seconds have passed.
QByteArray readBytes(RawClient &client, qsizetype count)
{
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (received.size() < count && clock.elapsed() < ReplyMs)
        received += client.readFor(20);
    return received;
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<RawClient> m_client;

    // Starts a simulator and connects the client; both end with the test function.
    bool startSession(const QStringList &args = {})
    {
        m_sim = std::make_unique<SimProcess>(SimPath);
        m_client = std::make_unique<RawClient>();
        return m_sim->start(args) && m_client->open(m_sim->linkPath());
    }
    QByteArray ask(const QByteArray &command, int timeoutMs = ReplyMs)
    {
        return m_client->transact(frame(command), timeoutMs);
    }
    // Samples "B?" and "D?" until the motion ends; returns the pockets seen while moving.
    QList<int> followMotion()
    {
        QList<int> seen;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            const QByteArray pocket = ask("B?");
            if (ask("D?") != "D:M\r")
                break;
            seen << (pocket.size() == 4 ? pocket.at(2) - '0' : -1);
        }
        return seen;
    }

private Q_SLOTS:
    void cleanup()
    {
        m_client.reset();
        m_sim.reset();
    }

    // The reply to a query after some commands, each of which must have been answered.
    void replies_data()
    {
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("reply");
        const auto row = [](const char *name, const QByteArrayList &commands, const char *query,
                            const char *reply) {
            QTest::newRow(name) << commands << QByteArray(query) << QByteArray(reply);
        };
        const std::pair<const char *, const char *> plain[] = {
            {"B?", "B:1\r"},        {"C?", "C:1\r"},
            {"D?", "D:R\r"},        {"A?", "A:0\r"},
            {"I", "I:\x05\x21\r"},  {"F?", "F:3\r"},
            {"G1?", "G:0 0\r"},     {"G3?", "G:2 240\r"},
            {"G8?", "G:3 0\r"},     {"B8", "B:OK\r"},
            {"B1", "B:OK\r"},       {"C8", "C:OK\r"},
            {"A1", "A:OK\r"},       {"F0", "F:OK\r"},
            {"G4 2 045", "G:OK\r"}, {"G1 0 7", "G:OK\r"},
            {"G8 3 359", "G:OK\r"}, {"@", "@:RV-360 indexer simulator 1.0\r"}};
        for (const auto &[query, reply] : plain)
            row(query, {}, query, reply);
        for (const char *query :
             {"",          "B0",       "B9",       "Bx",  "B?x", "b?", " B?",      "C0",
              "A2",        "D1",       "F9",       "G0?", "G9?", "G1", "G1 4 000", "G1 1 360",
              "G1 1 0000", "G1 1  10", "G1 1 12a", "I?",  "@x",  "Z"})
            QTest::addRow("error \"%s\"", query)
                << QByteArrayList() << QByteArray(query) << QByteArray("?:ERR\r");
        row("speed, rejected one ignored", {"C4", "C9"}, "C?", "C:4\r");
        row("control back", {"A1", "A0"}, "A?", "A:0\r");
        row("count 8", {"F8"}, "F?", "F:8\r");
        row("count, rejected one ignored", {"F9"}, "F?", "F:3\r");
        row("pocket, leading zeros dropped", {"G4 2 045"}, "G4?", "G:2 45\r");
        row("pocket, set twice", {"G5 1 100", "G5 2 200"}, "G5?", "G:2 200\r");
        row("pocket, others untouched", {"G4 2 045"}, "G3?", "G:2 240\r");
        row("pocket, rejected one ignored", {"G2 1 360"}, "G2?", "G:1 120\r");
        row("count keeps pockets", {"G7 1 300", "F8", "F2"}, "G7?", "G:1 300\r");
        row("move to where it is does not move", {"B1"}, "D?", "D:R\r");
    }
    void replies()
    {
        QFETCH(QByteArrayList, commands);
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, reply);
        QVERIFY(startSession());
        for (const QByteArray &command : commands)
            QVERIFY2(ask(command).endsWith('\r'), command.constData());
        QCOMPARE(ask(query), reply);
    }

    void motion_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("target");
        QTest::addColumn<QList<int>>("path");
        QTest::newRow("2 to 6, half a turn goes forward") << 2 << 6 << QList<int>{2, 3, 4, 5, 6};
        QTest::newRow("2 to 8, backward over 1") << 2 << 8 << QList<int>{2, 1, 8};
        QTest::newRow("7 to 1, forward over 8") << 7 << 1 << QList<int>{7, 8, 1};
    }
    void motion()
    {
        QFETCH(int, start);
        QFETCH(int, target);
        QFETCH(QList<int>, path);
        QVERIFY(startSession({"--move-ms", MoveMs}));
        QCOMPARE(m_sim->control(QString("pocket %1").arg(start)), QString("ok"));
        QCOMPARE(ask("B" + QByteArray::number(target)), QByteArray("B:OK\r"));
        QVERIFY(m_sim->control("state").contains(QString(" target=%1 moving=1 ").arg(target)));

        // Every pocket reported lies on the path, in its order; at least one in between is seen.
        qsizetype lastIndex = 0;
        bool sawIntermediate = false;
        for (int pocket : followMotion()) {
            const qsizetype index = path.indexOf(pocket);
            QVERIFY2(index >= lastIndex, qPrintable(QString("pocket %1 off the path").arg(pocket)));
            lastIndex = index;
            sawIntermediate = sawIntermediate || (index > 0 && index < path.size() - 1);
        }
        QVERIFY(sawIntermediate);
        QCOMPARE(ask("B?"), "B:" + QByteArray::number(target) + '\r');
        QCOMPARE(ask("D?"), QByteArray("D:R\r"));
    }

    void reportTarget()
    {
        QVERIFY(startSession({"--move-ms", MoveMs, "--report-target"}));
        QCOMPARE(ask("B5"), QByteArray("B:OK\r"));
        const QList<int> seen = followMotion();
        QVERIFY(!seen.isEmpty());
        QCOMPARE(seen, QList<int>(seen.size(), 5));
        QCOMPARE(ask("B?"), QByteArray("B:5\r"));
    }

    void newTargetWhileMoving()
    {
        QVERIFY(startSession({"--move-ms", MoveMs}));
        QCOMPARE(ask("B5"), QByteArray("B:OK\r"));
        QTRY_VERIFY_WITH_TIMEOUT(ask("B?") == "B:3\r", 10000);
        // Turns back from where it is, and never passes 4 or beyond on the way.
        QCOMPARE(ask("B1"), QByteArray("B:OK\r"));
        int last = 3;
        for (int pocket : followMotion()) {
            QVERIFY2(pocket >= 1 && pocket <= last, qPrintable(QString::number(pocket)));
            last = pocket;
        }
        QCOMPARE(ask("B?"), QByteArray("B:1\r"));
    }

    void framing_data()
    {
        QTest::addColumn<QByteArrayList>("writes");
        QTest::addColumn<QByteArray>("reply");
        const auto row = [](const char *name, const QByteArrayList &writes, const char *reply) {
            QTest::newRow(name) << writes << QByteArray(reply);
        };
        row("CR alone", {"$B?\r"}, "B:1\r");
        row("no dollar", {"B?\r\n"}, "");
        row("LF does not end a frame", {"$B?\n"}, "");
        row("bytes before the dollar", {QByteArray("xy\x00\xff$B?\r\n", 9)}, "B:1\r");
        row("dollar starts over", {"$B$C?\r\n"}, "C:1\r");
        row("two frames in one write", {"$B?\r\n$C?\r\n"}, "B:1\rC:1\r");
        row("one frame in pieces", {"$B", "?", "\r", "\n"}, "B:1\r");
        row("longest frame answered", {"$" + QByteArray(254, 'A') + "\r"}, "?:ERR\r");
        row("one byte longer dropped", {"$" + QByteArray(255, 'A') + "\r"}, "");
        row("oversized in pieces, then a frame",
            {"$" + QByteArray(200, 'B'), QByteArray(200, '?') + "\r\n$C?\r\n"}, "C:1\r");
    }
    void framing()
    {
        QFETCH(QByteArrayList, writes);
        QFETCH(QByteArray, reply);
        QVERIFY(startSession());
        for (const QByteArray &bytes : writes)
            QVERIFY(m_client->write(bytes));
        const QByteArray received = readBytes(*m_client, reply.size());
        QCOMPARE(received + m_client->readFor(200), reply);
        // Whatever came before, the next frame is answered.
        QCOMPARE(ask("A?"), QByteArray("A:0\r"));
    }

    // A fault switched on: what one command brings (and how soon at the earliest); then the
    // fault switched off again and a query answered as usual, with nothing after it.
    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("reply");
        const auto row = [](const char *fault, const char *command, const char *received, int minMs,
                            const char *query, const char *reply) {
            QTest::newRow(fault) << QString(fault) << QByteArray(command) << QByteArray(received)
                                 << minMs << QByteArray(query) << QByteArray(reply);
        };
        // Commands still act while no reply is sent.
        row("silent", "C6", "", 0, "C?", "C:6\r");
        row("late", "B?", "B:1\r", 300, "D?", "D:R\r");
        row("partial", "B?", "B:", 0, "B?", "B:1\r");
        row("crlf", "C?", "C:1\r\n", 0, "C?", "C:1\r");
        row("lowercase", "D?", "D:r\r", 0, "D?", "D:R\r");
    }
    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, received);
        QFETCH(int, minMs);
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, reply);
        QVERIFY(startSession());
        QCOMPARE(m_sim->control(fault == "late" ? "late 300" : fault + " on"), QString("ok"));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_client->write(frame(command)));
        const QByteArray first = readBytes(*m_client, received.size());
        QVERIFY2(clock.elapsed() >= minMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(first + m_client->readFor(300), received);
        QCOMPARE(m_sim->control(fault == "late" ? "late 0" : fault + " off"), QString("ok"));
        QCOMPARE(ask(query), reply);
        QCOMPARE(m_client->readFor(200), QByteArray());
    }

    void noise()
    {
        QVERIFY(startSession());
        QCOMPARE(m_sim->control("noise on"), QString("ok"));
        for (int i = 0; i < 10; ++i) {
            const QByteArray reply = ask("B?");
            QVERIFY2(reply.endsWith("B:1\r"), reply.toHex().constData());
            QVERIFY2(reply.size() > 4 && reply.size() <= 8, reply.toHex().constData());
            QCOMPARE(reply.count('\r'), 1);
        }
        QCOMPARE(m_sim->control("noise off"), QString("ok"));
        QCOMPARE(ask("B?"), QByteArray("B:1\r"));
    }

    void flood_data()
    {
        QTest::addColumn<bool>("pace");
        QTest::addColumn<qsizetype>("minBytes");
        QTest::addColumn<qsizetype>("maxBytes");
        // One second of reading: 1920 bytes at 19200 baud, a little slack for scheduling.
        QTest::newRow("paced") << true << qsizetype(1) << qsizetype(2100);
        QTest::newRow("as fast as the pty takes")
            << false << qsizetype(10000) << qsizetype(1 << 30);
    }
    void flood()
    {
        QFETCH(bool, pace);
        QFETCH(qsizetype, minBytes);
        QFETCH(qsizetype, maxBytes);
        QVERIFY(startSession(pace ? QStringList{"--pace"} : QStringList{}));
        if (pace) {
            // 31 bytes at about 521 µs each cannot arrive in less than 15 ms.
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(ask("@"), QByteArray("@:RV-360 indexer simulator 1.0\r"));
            QVERIFY2(clock.elapsed() >= 15, qPrintable(QString::number(clock.elapsed())));
        }
        QCOMPARE(m_sim->control("flood on"), QString("ok"));
        m_client->discardInput();
        const QByteArray received = m_client->readFor(1000);
        QVERIFY2(received.size() >= minBytes && received.size() <= maxBytes,
                 qPrintable(QString::number(received.size())));
        QCOMPARE(received.count('\r'), 0);
        // Still answering: the first CR ends the reply.
        const QByteArray answer = ask("C?", 5000);
        QVERIFY(answer.left(answer.indexOf('\r') + 1).endsWith("C:1\r"));

        QCOMPARE(m_sim->control("flood off"), QString("ok"));
        m_client->readFor(300);
        QCOMPARE(m_client->readFor(300), QByteArray());
    }

    // The state line, and the raw switch bytes that "I" returns, after options, commands and
    // control lines.
    void stateLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<QStringList>("controlLines");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QByteArray>("switches");
        const auto row = [](const char *name, const QStringList &args,
                            const QByteArrayList &commands, const QStringList &controlLines,
                            const char *state, const QByteArray &switches) {
            QTest::newRow(name) << args << commands << controlLines << QString(state) << switches;
        };
        const QStringList slow = {"--move-ms", "5000"};
        const QByteArray zero200("I:\x00\xc8\r", 5);
        row("initial", {}, {}, {}, "1 target=1 moving=0 speed=1 control=0 count=3 switches=5,33",
            "I:\x05\x21\r");
        row("changed", {}, {"C7", "A1", "F5"}, {"switches 0 200", "pocket 4"},
            "4 target=4 moving=0 speed=7 control=1 count=5 switches=0,200", zero200);
        row("switches option", {"--switches", "0,0xC8"}, {}, {},
            "1 target=1 moving=0 speed=1 control=0 count=3 switches=0,200", zero200);
        row("line-end switch bytes", {}, {}, {"switches 0xd 10"},
            "1 target=1 moving=0 speed=1 control=0 count=3 switches=13,10", "I:\r\n\r");
        row("moving", slow, {"B3"}, {},
            "1 target=3 moving=1 speed=1 control=0 count=3 switches=5,33", "I:\x05\x21\r");
        row("pocket stops motion", slow, {"B3"}, {"pocket 7"},
            "7 target=7 moving=0 speed=1 control=0 count=3 switches=5,33", "I:\x05\x21\r");
    }
    void stateLine()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArrayList, commands);
        QFETCH(QStringList, controlLines);
        QFETCH(QString, state);
        QFETCH(QByteArray, switches);
        QVERIFY(startSession(args));
        for (const QByteArray &command : commands)
            QVERIFY(ask(command).endsWith(":OK\r"));
        for (const QString &line : controlLines)
            QCOMPARE(m_sim->control(line), QString("ok"));
        QCOMPARE(m_sim->control("state"), "state pocket=" + state);
        QVERIFY(m_client->write(frame("I")));
        QCOMPARE(readBytes(*m_client, switches.size()), switches);
    }

    void controlLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("accepted");
        for (const char *line : {"late 60000", "switches 0x10 255", "pocket 8", "  noise   off "})
            QTest::addRow("%s", line) << QString(line) << true;
        for (const char *line : {"silent", "crlf maybe", "late -1", "late 60001", "late soon",
                                 "switches 256 0", "switches 1", "switches 0x 1", "pocket 0",
                                 "pocket 9", "state now", "reboot", "SILENT ON"})
            QTest::addRow("%s", line) << QString(line) << false;
    }
    void controlLines()
    {
        QFETCH(QString, line);
        QFETCH(bool, accepted);
        QVERIFY(startSession());
        const QString response = m_sim->control(line);
        QVERIFY2(accepted ? response == "ok" : response.startsWith("error "), qPrintable(response));
        // A rejected line changes nothing: no delay, no silence, no noise.
        if (!accepted)
            QCOMPARE(ask("D?"), QByteArray("D:R\r"));
    }

    void logFrames()
    {
        QVERIFY(startSession({"--log"}));
        QCOMPARE(ask("B?"), QByteArray("B:1\r"));
        QCOMPARE(ask("\x01Z"), QByteArray("?:ERR\r"));
        const QRegularExpression received(R"(\d\d:\d\d:\d\d\.\d\d\d rx \$B\?\\r\n)");
        QTRY_VERIFY_WITH_TIMEOUT(
            received.match(QString::fromLatin1(m_sim->errorOutput())).hasMatch(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(m_sim->errorOutput().contains(" rx $\\x01Z\\r\n"), 5000);
    }

    void endOfInputAndReconnect()
    {
        QVERIFY(startSession());
        m_sim->closeInput();
        QCOMPARE(ask("C3"), QByteArray("C:OK\r"));
        m_client->close();
        QTest::qWait(300);
        QVERIFY(m_sim->isRunning());
        QVERIFY(m_client->open(m_sim->linkPath()));
        QCOMPARE(ask("C?"), QByteArray("C:3\r"));
    }

    void linkRemovedAtExit_data()
    {
        QTest::addColumn<bool>("byQuit");
        QTest::newRow("quit") << true;
        QTest::newRow("SIGTERM") << false;
    }
    void linkRemovedAtExit()
    {
        QFETCH(bool, byQuit);
        QVERIFY(startSession());
        const QString link = m_sim->linkPath();
        QVERIFY(QFileInfo(link).symLinkTarget().startsWith("/dev/pts/"));
        if (byQuit) {
            QCOMPARE(m_sim->control("quit"), QString("ok"));
            QTRY_VERIFY_WITH_TIMEOUT(!m_sim->isRunning(), 5000);
        } else {
            m_sim->stop();
        }
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void existingLinkReplacedRegularFileKept()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("link");
        QVERIFY(QFile::link(dir.filePath("nowhere"), link));
        m_sim = std::make_unique<SimProcess>(SimPath);
        m_sim->setLinkPath(link);
        QVERIFY(m_sim->start());
        RawClient client;
        QVERIFY(client.open(link));
        QCOMPARE(client.transact(frame("B?"), ReplyMs), QByteArray("B:1\r"));

        const QString path = dir.filePath("file");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("keep") == 4);
        file.close();
        SimProcess other(SimPath);
        other.setLinkPath(path);
        QVERIFY(!other.start());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep"));
    }

    void deviceMode()
    {
        // A pty stands in for the serial device: the simulator opens its slave, the test the
        // master.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString device = QString::fromLocal8Bit(::ptsname(master));
        QProcess sim;
        sim.start(SimPath, {"--device", device});
        QVERIFY(sim.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 5000);
        QCOMPARE(QString::fromLocal8Bit(sim.readLine()), "ready " + device + '\n');

        const QByteArray request = frame("F?");
        QCOMPARE(::write(master, request.constData(), size_t(request.size())), request.size());
        QVERIFY(::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == 0);
        QByteArray reply;
        QElapsedTimer clock;
        clock.start();
        while (!reply.endsWith('\r') && clock.elapsed() < ReplyMs) {
            char buffer[64];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                reply.append(buffer, n);
            else
                QTest::qWait(10);
        }
        QCOMPARE(reply, QByteArray("F:3\r"));
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        ::close(master);
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        for (const QStringList &args : {QStringList{},
                                        {"--link", "x", "--device", "/dev/null"},
                                        {"--link", "x", "--move-ms", "-5"},
                                        {"--link", "x", "--switches", "300,1"},
                                        {"--link", "x", "--switches", "3"},
                                        {"--link", "x", "--turbo"}})
            QTest::addRow("%s", qPrintable(args.join(' '))) << args;
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        QTemporaryDir dir;
        QProcess sim;
        sim.setWorkingDirectory(dir.path());
        sim.start(SimPath, args);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QVERIFY(sim.exitCode() != 0);
        QVERIFY(sim.readAllStandardOutput().isEmpty());
        QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
