// rv360-sim driven through its pseudo-terminal, as the operator program would see it.

#include "simprocess.h"

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

// The reply's line, without anything that came after its CR.
QByteArray firstLine(const QByteArray &bytes)
{
    return bytes.left(bytes.indexOf('\r') + 1);
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private:
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
    // The pocket reported by "B?" and whether "D?" says moving, asked back to back.
    std::pair<int, bool> sample()
    {
        const QByteArray pocket = ask("B?");
        const QByteArray status = ask("D?");
        return {pocket.size() == 4 ? pocket.at(2) - '0' : -1, status == "D:M\r"};
    }

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<RawClient> m_client;

private Q_SLOTS:
    void cleanup()
    {
        m_client.reset();
        m_sim.reset();
    }

    void replies_data();
    void replies();
    void settingsKept_data();
    void settingsKept();
    void motion_data();
    void motion();
    void reportTarget();
    void newTargetWhileMoving();
    void switchBytes_data();
    void switchBytes();
    void framing_data();
    void framing();
    void silent();
    void late();
    void partial();
    void crlf();
    void lowercase();
    void noise();
    void flood_data();
    void flood();
    void pacedReply();
    void stateLine_data();
    void stateLine();
    void controlLines_data();
    void controlLines();
    void logFrames();
    void endOfInputKeepsRunning();
    void clientReconnects();
    void linkRemovedAtExit_data();
    void linkRemovedAtExit();
    void existingLinkReplaced();
    void regularFileKept();
    void deviceMode();
    void badArguments_data();
    void badArguments();
};

void TestSim::replies_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("pocket") << QByteArray("B?") << QByteArray("B:1\r");
    QTest::newRow("speed") << QByteArray("C?") << QByteArray("C:1\r");
    QTest::newRow("status") << QByteArray("D?") << QByteArray("D:R\r");
    QTest::newRow("control source") << QByteArray("A?") << QByteArray("A:0\r");
    QTest::newRow("switches") << QByteArray("I") << QByteArray("I:\x05\x21\r");
    QTest::newRow("layout count") << QByteArray("F?") << QByteArray("F:3\r");
    QTest::newRow("layout pocket 1") << QByteArray("G1?") << QByteArray("G:0 0\r");
    QTest::newRow("layout pocket 2") << QByteArray("G2?") << QByteArray("G:1 120\r");
    QTest::newRow("layout pocket 3") << QByteArray("G3?") << QByteArray("G:2 240\r");
    QTest::newRow("layout pocket 4") << QByteArray("G4?") << QByteArray("G:3 0\r");
    QTest::newRow("layout pocket 8") << QByteArray("G8?") << QByteArray("G:3 0\r");
    QTest::newRow("identification")
        << QByteArray("@") << QByteArray("@:RV-360 indexer simulator 1.0\r");
    QTest::newRow("move 3") << QByteArray("B3") << QByteArray("B:OK\r");
    QTest::newRow("move 8") << QByteArray("B8") << QByteArray("B:OK\r");
    QTest::newRow("move to where it is") << QByteArray("B1") << QByteArray("B:OK\r");
    QTest::newRow("speed 1") << QByteArray("C1") << QByteArray("C:OK\r");
    QTest::newRow("speed 8") << QByteArray("C8") << QByteArray("C:OK\r");
    QTest::newRow("control digital") << QByteArray("A0") << QByteArray("A:OK\r");
    QTest::newRow("control link") << QByteArray("A1") << QByteArray("A:OK\r");
    QTest::newRow("count 0") << QByteArray("F0") << QByteArray("F:OK\r");
    QTest::newRow("count 8") << QByteArray("F8") << QByteArray("F:OK\r");
    QTest::newRow("set pocket, 3 digits") << QByteArray("G4 2 045") << QByteArray("G:OK\r");
    QTest::newRow("set pocket, 1 digit") << QByteArray("G1 0 7") << QByteArray("G:OK\r");
    QTest::newRow("set pocket, 359") << QByteArray("G8 3 359") << QByteArray("G:OK\r");

    const QByteArray error = "?:ERR\r";
    const char *const bad[] = {"",      "B0",       "B9",       "Bx",        "B12",      "B?x",
                               "b?",    " B?",      "C0",       "C9",        "A2",       "A?1",
                               "D1",    "F9",       "F?1",      "G0?",       "G9?",      "G1",
                               "G1?x",  "G1 4 000", "G1 1 360", "G1 1 0000", "G1 1  10", "G1 1 12a",
                               "G1 1 ", "G11 100",  "I?",       "@x",        "Z",        "?"};
    for (const char *command : bad)
        QTest::addRow("error \"%s\"", command) << QByteArray(command) << error;
}

void TestSim::replies()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QVERIFY(startSession());
    QCOMPARE(ask(command), reply);
}

void TestSim::settingsKept_data()
{
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("speed") << QByteArrayList{"C5"} << QByteArray("C?") << QByteArray("C:5\r");
    QTest::newRow("speed, rejected one ignored")
        << QByteArrayList{"C4", "C9"} << QByteArray("C?") << QByteArray("C:4\r");
    QTest::newRow("control link") << QByteArrayList{"A1"} << QByteArray("A?")
                                  << QByteArray("A:1\r");
    QTest::newRow("control back") << QByteArrayList{"A1", "A0"} << QByteArray("A?")
                                  << QByteArray("A:0\r");
    QTest::newRow("count 8") << QByteArrayList{"F8"} << QByteArray("F?") << QByteArray("F:8\r");
    QTest::newRow("count 0") << QByteArrayList{"F0"} << QByteArray("F?") << QByteArray("F:0\r");
    QTest::newRow("count, rejected one ignored")
        << QByteArrayList{"F9"} << QByteArray("F?") << QByteArray("F:3\r");
    QTest::newRow("pocket, leading zeros dropped")
        << QByteArrayList{"G4 2 045"} << QByteArray("G4?") << QByteArray("G:2 45\r");
    QTest::newRow("pocket, largest values")
        << QByteArrayList{"G8 3 359"} << QByteArray("G8?") << QByteArray("G:3 359\r");
    QTest::newRow("pocket, zero position")
        << QByteArrayList{"G2 0 000"} << QByteArray("G2?") << QByteArray("G:0 0\r");
    QTest::newRow("pocket, set twice")
        << QByteArrayList{"G5 1 100", "G5 2 200"} << QByteArray("G5?") << QByteArray("G:2 200\r");
    QTest::newRow("pocket, other pockets untouched")
        << QByteArrayList{"G4 2 045"} << QByteArray("G3?") << QByteArray("G:2 240\r");
    QTest::newRow("pocket, count untouched")
        << QByteArrayList{"G5 1 100"} << QByteArray("F?") << QByteArray("F:3\r");
    QTest::newRow("pocket, rejected one ignored")
        << QByteArrayList{"G2 1 360"} << QByteArray("G2?") << QByteArray("G:1 120\r");
    QTest::newRow("count keeps pockets")
        << QByteArrayList{"G7 1 300", "F8", "F2"} << QByteArray("G7?") << QByteArray("G:1 300\r");
    QTest::newRow("move to where it is does not move")
        << QByteArrayList{"B1"} << QByteArray("D?") << QByteArray("D:R\r");
}

void TestSim::settingsKept()
{
    QFETCH(QByteArrayList, commands);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QVERIFY(startSession());
    for (const QByteArray &command : commands)
        QVERIFY2(ask(command).endsWith('\r'), command.constData());
    QCOMPARE(ask(query), reply);
}

void TestSim::motion_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("target");
    QTest::addColumn<QList<int>>("path");

    QTest::newRow("2 to 6, half a turn goes forward") << 2 << 6 << QList<int>{2, 3, 4, 5, 6};
    QTest::newRow("2 to 8, backward over 1") << 2 << 8 << QList<int>{2, 1, 8};
    QTest::newRow("7 to 1, forward over 8") << 7 << 1 << QList<int>{7, 8, 1};
    QTest::newRow("5 to 2, backward") << 5 << 2 << QList<int>{5, 4, 3, 2};
}

void TestSim::motion()
{
    QFETCH(int, start);
    QFETCH(int, target);
    QFETCH(QList<int>, path);
    QVERIFY(startSession({"--move-ms", MoveMs}));
    QCOMPARE(m_sim->control(QString("pocket %1").arg(start)), QString("ok"));
    QCOMPARE(ask("B?"), "B:" + QByteArray::number(start) + '\r');

    QCOMPARE(ask("B" + QByteArray::number(target)), QByteArray("B:OK\r"));
    QCOMPARE(ask("D?"), QByteArray("D:M\r"));
    QVERIFY(m_sim->control("state").contains(QString(" target=%1 moving=1 ").arg(target)));

    // Every pocket reported lies on the path, in its order; at least one in between is seen.
    qsizetype lastIndex = 0;
    bool sawIntermediate = false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const auto [pocket, moving] = sample();
        const qsizetype index = path.indexOf(pocket);
        QVERIFY2(index >= lastIndex, qPrintable(QString("pocket %1 off the path").arg(pocket)));
        lastIndex = index;
        sawIntermediate = sawIntermediate || (index > 0 && index < path.size() - 1);
        if (!moving)
            break;
        QVERIFY2(clock.elapsed() < 10000, "motion did not end");
    }
    QVERIFY(sawIntermediate);
    QCOMPARE(ask("B?"), "B:" + QByteArray::number(target) + '\r');
    QCOMPARE(ask("D?"), QByteArray("D:R\r"));
    QVERIFY(m_sim->control("state").contains(QString(" target=%1 moving=0 ").arg(target)));
}

void TestSim::reportTarget()
{
    QVERIFY(startSession({"--move-ms", MoveMs, "--report-target"}));
    QCOMPARE(ask("B5"), QByteArray("B:OK\r"));
    int movingSamples = 0;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const auto [pocket, moving] = sample();
        QCOMPARE(pocket, 5);
        if (!moving)
            break;
        ++movingSamples;
        QVERIFY2(clock.elapsed() < 10000, "motion did not end");
    }
    QVERIFY(movingSamples > 0);
}

void TestSim::newTargetWhileMoving()
{
    QVERIFY(startSession({"--move-ms", MoveMs}));
    QCOMPARE(ask("B5"), QByteArray("B:OK\r"));
    QElapsedTimer clock;
    clock.start();
    int pocket = 1;
    while (pocket < 3) {
        pocket = sample().first;
        QVERIFY2(clock.elapsed() < 10000, "pocket 3 not reached");
    }
    // Turns back from where it is, and never passes 4 or beyond on the way.
    QCOMPARE(ask("B1"), QByteArray("B:OK\r"));
    int last = pocket;
    for (;;) {
        const auto [now, moving] = sample();
        QVERIFY2(now >= 1 && now <= last, qPrintable(QString("pocket %1").arg(now)));
        last = now;
        if (!moving)
            break;
        QVERIFY2(clock.elapsed() < 10000, "motion did not end");
    }
    QCOMPARE(ask("B?"), QByteArray("B:1\r"));
}

void TestSim::switchBytes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("controlLine");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("option, decimal")
        << QStringList{"--switches", "0,200"} << QString() << QByteArray("I:\x00\xc8\r", 5);
    QTest::newRow("option, hex") << QStringList{"--switches", "0x00,0xC8"} << QString()
                                 << QByteArray("I:\x00\xc8\r", 5);
    QTest::newRow("control, decimal")
        << QStringList() << QString("switches 0 200") << QByteArray("I:\x00\xc8\r", 5);
    QTest::newRow("control, hex") << QStringList() << QString("switches 0xff 0x7f")
                                  << QByteArray("I:\xff\x7f\r", 5);
    QTest::newRow("control, line-end bytes")
        << QStringList() << QString("switches 13 10") << QByteArray("I:\r\n\r", 5);
}

void TestSim::switchBytes()
{
    QFETCH(QStringList, args);
    QFETCH(QString, controlLine);
    QFETCH(QByteArray, reply);
    QVERIFY(startSession(args));
    if (!controlLine.isEmpty())
        QCOMPARE(m_sim->control(controlLine), QString("ok"));
    m_client->discardInput();
    QVERIFY(m_client->write(frame("I")));
    QCOMPARE(readBytes(*m_client, reply.size()), reply);
}

void TestSim::framing_data()
{
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray longest = "$" + QByteArray(254, 'A') + "\r";
    QTest::newRow("CR LF") << QByteArrayList{"$B?\r\n"} << QByteArray("B:1\r");
    QTest::newRow("CR alone") << QByteArrayList{"$B?\r"} << QByteArray("B:1\r");
    QTest::newRow("empty command") << QByteArrayList{"$\r\n"} << QByteArray("?:ERR\r");
    QTest::newRow("no dollar") << QByteArrayList{"B?\r\n"} << QByteArray();
    QTest::newRow("LF does not end a frame") << QByteArrayList{"$B?\n"} << QByteArray();
    QTest::newRow("bytes before the dollar")
        << QByteArrayList{QByteArray("xy\x00\xff$B?\r\n", 9)} << QByteArray("B:1\r");
    QTest::newRow("dollar starts over") << QByteArrayList{"$B$C?\r\n"} << QByteArray("C:1\r");
    QTest::newRow("two frames in one write")
        << QByteArrayList{"$B?\r\n$C?\r\n"} << QByteArray("B:1\rC:1\r");
    QTest::newRow("one frame in pieces")
        << QByteArrayList{"$B", "?", "\r", "\n"} << QByteArray("B:1\r");
    QTest::newRow("longest frame answered") << QByteArrayList{longest} << QByteArray("?:ERR\r");
    QTest::newRow("one byte longer dropped")
        << QByteArrayList{"$" + QByteArray(255, 'A') + "\r"} << QByteArray();
    QTest::newRow("oversized dropped")
        << QByteArrayList{"$" + QByteArray(300, 'A') + "\r\n"} << QByteArray();
    QTest::newRow("oversized in pieces dropped")
        << QByteArrayList{"$" + QByteArray(200, 'B'), QByteArray(200, '?'), "\r\n"} << QByteArray();
    QTest::newRow("oversized, then a frame in the same write")
        << QByteArrayList{"$" + QByteArray(1000, 'A') + "\r\n$C?\r\n"} << QByteArray("C:1\r");
}

void TestSim::framing()
{
    QFETCH(QByteArrayList, writes);
    QFETCH(QByteArray, reply);
    QVERIFY(startSession());
    for (const QByteArray &bytes : writes)
        QVERIFY(m_client->write(bytes));
    if (reply.isEmpty())
        QCOMPARE(m_client->readFor(300), QByteArray());
    else
        QCOMPARE(readBytes(*m_client, reply.size()), reply);

    // Whatever came before, the next frame is answered, and nothing else arrives with it.
    QVERIFY(m_client->write(frame("A?")));
    QCOMPARE(readBytes(*m_client, 4), QByteArray("A:0\r"));
    QCOMPARE(m_client->readFor(100), QByteArray());
}

void TestSim::silent()
{
    QVERIFY(startSession());
    QCOMPARE(m_sim->control("silent on"), QString("ok"));
    QCOMPARE(ask("B?", 500), QByteArray());
    // Commands still act while no reply is sent.
    QCOMPARE(ask("C6", 200), QByteArray());
    QCOMPARE(m_sim->control("silent off"), QString("ok"));
    QCOMPARE(ask("C?"), QByteArray("C:6\r"));
}

void TestSim::late()
{
    QVERIFY(startSession());
    QCOMPARE(m_sim->control("late 300"), QString("ok"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ask("B?", 5000), QByteArray("B:1\r"));
    QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));

    // Late replies keep their order.
    QVERIFY(m_client->write(frame("C?") + frame("A?")));
    QCOMPARE(m_client->readFor(150), QByteArray());
    QCOMPARE(readBytes(*m_client, 8), QByteArray("C:1\rA:0\r"));

    QCOMPARE(m_sim->control("late 0"), QString("ok"));
    QCOMPARE(ask("D?"), QByteArray("D:R\r"));
}

void TestSim::partial()
{
    QVERIFY(startSession());
    QCOMPARE(m_sim->control("partial on"), QString("ok"));
    QVERIFY(m_client->write(frame("B?")));
    QCOMPARE(m_client->readFor(500), QByteArray("B:"));
    QCOMPARE(m_sim->control("partial off"), QString("ok"));
    QCOMPARE(ask("B?"), QByteArray("B:1\r"));
}

void TestSim::crlf()
{
    QVERIFY(startSession());
    QCOMPARE(m_sim->control("crlf on"), QString("ok"));
    QVERIFY(m_client->write(frame("C?")));
    QCOMPARE(readBytes(*m_client, 5), QByteArray("C:1\r\n"));
    QCOMPARE(m_sim->control("crlf off"), QString("ok"));
    QVERIFY(m_client->write(frame("C?")));
    QCOMPARE(readBytes(*m_client, 4) + m_client->readFor(200), QByteArray("C:1\r"));
}

void TestSim::lowercase()
{
    QVERIFY(startSession({"--move-ms", "5000"}));
    QCOMPARE(m_sim->control("lowercase on"), QString("ok"));
    QCOMPARE(ask("D?"), QByteArray("D:r\r"));
    QCOMPARE(ask("B2"), QByteArray("B:OK\r"));
    QCOMPARE(ask("D?"), QByteArray("D:m\r"));
    QCOMPARE(ask("B?"), QByteArray("B:1\r"));
    QCOMPARE(m_sim->control("lowercase off"), QString("ok"));
    QCOMPARE(ask("D?"), QByteArray("D:M\r"));
}

void TestSim::noise()
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

void TestSim::flood_data()
{
    QTest::addColumn<bool>("pace");
    QTest::addColumn<qsizetype>("minBytes");
    QTest::addColumn<qsizetype>("maxBytes");

    // One second of reading: 1920 bytes at 19200 baud, a little slack for scheduling.
    QTest::newRow("paced") << true << qsizetype(1) << qsizetype(2100);
    QTest::newRow("as fast as the pty takes") << false << qsizetype(10000) << qsizetype(-1);
}

void TestSim::flood()
{
    QFETCH(bool, pace);
    QFETCH(qsizetype, minBytes);
    QFETCH(qsizetype, maxBytes);
    QVERIFY(startSession(pace ? QStringList{"--pace"} : QStringList{}));
    QCOMPARE(m_sim->control("flood on"), QString("ok"));
    m_client->discardInput();
    const QByteArray received = m_client->readFor(1000);
    QVERIFY2(received.size() >= minBytes, qPrintable(QString::number(received.size())));
    if (maxBytes >= 0)
        QVERIFY2(received.size() <= maxBytes, qPrintable(QString::number(received.size())));
    QCOMPARE(received.count('\r'), 0);

    // Still answering: the first CR ends the reply.
    QVERIFY(firstLine(ask("C?", 5000)).endsWith("C:1\r"));

    QCOMPARE(m_sim->control("flood off"), QString("ok"));
    m_client->readFor(300);
    QCOMPARE(m_client->readFor(300), QByteArray());
    QCOMPARE(ask("C?"), QByteArray("C:1\r"));
}

void TestSim::pacedReply()
{
    // 31 bytes at about 521 µs each cannot arrive in less than 15 ms.
    QVERIFY(startSession({"--pace"}));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ask("@"), QByteArray("@:RV-360 indexer simulator 1.0\r"));
    QVERIFY2(clock.elapsed() >= 15, qPrintable(QString::number(clock.elapsed())));
}

void TestSim::stateLine_data()
{
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QStringList>("controlLines");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("state");

    QTest::newRow("initial") << QByteArrayList() << QStringList() << QStringList()
                             << "state pocket=1 target=1 moving=0 speed=1 control=0 count=3 "
                                "switches=5,33";
    QTest::newRow("changed by commands")
        << QByteArrayList{"C7", "A1", "F5"} << QStringList{"switches 0 200", "pocket 4"}
        << QStringList()
        << "state pocket=4 target=4 moving=0 speed=7 control=1 count=5 "
           "switches=0,200";
    QTest::newRow("moving") << QByteArrayList{"B3"} << QStringList()
                            << QStringList{"--move-ms", "5000"}
                            << "state pocket=1 target=3 moving=1 speed=1 control=0 count=3 "
                               "switches=5,33";
    QTest::newRow("pocket stops motion")
        << QByteArrayList{"B3"} << QStringList{"pocket 7"} << QStringList{"--move-ms", "5000"}
        << "state pocket=7 target=7 moving=0 speed=1 control=0 count=3 switches=5,33";
    QTest::newRow("instant motion")
        << QByteArrayList{"B5"} << QStringList() << QStringList{"--move-ms", "0"}
        << "state pocket=5 target=5 moving=0 speed=1 control=0 "
           "count=3 switches=5,33";
}

void TestSim::stateLine()
{
    QFETCH(QByteArrayList, commands);
    QFETCH(QStringList, controlLines);
    QFETCH(QStringList, args);
    QFETCH(QString, state);
    QVERIFY(startSession(args));
    for (const QByteArray &command : commands)
        QVERIFY(ask(command).endsWith(":OK\r"));
    for (const QString &line : controlLines)
        QCOMPARE(m_sim->control(line), QString("ok"));
    QCOMPARE(m_sim->control("state"), state);
}

void TestSim::controlLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("late 0") << "late 0" << true;
    QTest::newRow("late upper end") << "late 60000" << true;
    QTest::newRow("switches hex and decimal") << "switches 0x10 255" << true;
    QTest::newRow("pocket 8") << "pocket 8" << true;
    QTest::newRow("extra blanks") << "  noise   off " << true;
    for (const char *flag : {"silent", "partial", "crlf", "noise", "lowercase", "flood"}) {
        QTest::addRow("%s off", flag) << QString("%1 off").arg(flag) << true;
        QTest::addRow("%s without argument", flag) << QString(flag) << false;
        QTest::addRow("%s maybe", flag) << QString("%1 maybe").arg(flag) << false;
    }
    QTest::newRow("late negative") << "late -1" << false;
    QTest::newRow("late too long") << "late 60001" << false;
    QTest::newRow("late not a number") << "late soon" << false;
    QTest::newRow("switches over 255") << "switches 256 0" << false;
    QTest::newRow("switches one byte") << "switches 1" << false;
    QTest::newRow("switches bare 0x") << "switches 0x 1" << false;
    QTest::newRow("pocket 0") << "pocket 0" << false;
    QTest::newRow("pocket 9") << "pocket 9" << false;
    QTest::newRow("state with argument") << "state now" << false;
    QTest::newRow("unknown") << "reboot" << false;
    QTest::newRow("upper case") << "SILENT ON" << false;
}

void TestSim::controlLines()
{
    QFETCH(QString, line);
    QFETCH(bool, accepted);
    QVERIFY(startSession());
    const QString response = m_sim->control(line);
    if (accepted) {
        QCOMPARE(response, QString("ok"));
        return;
    }
    QVERIFY2(response.startsWith("error "), qPrintable(response));
    // A rejected line changes nothing: no delay, no silence, no noise.
    QCOMPARE(ask("D?"), QByteArray("D:R\r"));
}

void TestSim::logFrames()
{
    QVERIFY(startSession({"--log"}));
    QCOMPARE(ask("B?"), QByteArray("B:1\r"));
    QCOMPARE(ask("\x01Z"), QByteArray("?:ERR\r"));
    const QRegularExpression received(R"(\d\d:\d\d:\d\d\.\d\d\d rx \$B\?\\r\n)");
    QTRY_VERIFY_WITH_TIMEOUT(received.match(QString::fromLatin1(m_sim->errorOutput())).hasMatch(),
                             5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->errorOutput().contains(" rx $\\x01Z\\r\n"), 5000);
}

void TestSim::endOfInputKeepsRunning()
{
    QVERIFY(startSession());
    m_sim->closeInput();
    QTest::qWait(300);
    QVERIFY(m_sim->isRunning());
    QCOMPARE(ask("B?"), QByteArray("B:1\r"));
}

void TestSim::clientReconnects()
{
    QVERIFY(startSession());
    QCOMPARE(ask("C3"), QByteArray("C:OK\r"));
    m_client->close();
    QTest::qWait(100);
    QVERIFY(m_client->open(m_sim->linkPath()));
    QCOMPARE(ask("C?"), QByteArray("C:3\r"));
}

void TestSim::linkRemovedAtExit_data()
{
    QTest::addColumn<bool>("byQuit");
    QTest::newRow("quit") << true;
    QTest::newRow("SIGTERM") << false;
}

void TestSim::linkRemovedAtExit()
{
    QFETCH(bool, byQuit);
    QVERIFY(startSession());
    const QString link = m_sim->linkPath();
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo(link).symLinkTarget().startsWith("/dev/pts/"));
    if (byQuit) {
        QCOMPARE(m_sim->control("quit"), QString("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_sim->isRunning(), 5000);
    } else {
        m_sim->stop();
    }
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestSim::existingLinkReplaced()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("port");
    QVERIFY(QFile::link(dir.filePath("nowhere"), link));
    SimProcess sim(SimPath);
    sim.setLinkPath(link);
    QVERIFY(sim.start());
    RawClient client;
    QVERIFY(client.open(link));
    QCOMPARE(client.transact(frame("B?"), ReplyMs), QByteArray("B:1\r"));
}

void TestSim::regularFileKept()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("port");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep");
    file.close();
    SimProcess sim(SimPath);
    sim.setLinkPath(path);
    QVERIFY(!sim.start());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep"));
}

void TestSim::deviceMode()
{
    // A pty stands in for the serial device: the simulator opens its slave, the test the master.
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

void TestSim::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no line") << QStringList();
    QTest::newRow("link and device") << QStringList{"--link", "x", "--device", "/dev/null"};
    QTest::newRow("negative move time") << QStringList{"--link", "x", "--move-ms", "-5"};
    QTest::newRow("move time not a number") << QStringList{"--link", "x", "--move-ms", "fast"};
    QTest::newRow("switch byte too big") << QStringList{"--link", "x", "--switches", "300,1"};
    QTest::newRow("one switch byte") << QStringList{"--link", "x", "--switches", "3"};
    QTest::newRow("unknown option") << QStringList{"--link", "x", "--turbo"};
}

void TestSim::badArguments()
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
    QVERIFY(!QFileInfo(dir.filePath("x")).exists() && !QFileInfo(dir.filePath("x")).isSymLink());
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
