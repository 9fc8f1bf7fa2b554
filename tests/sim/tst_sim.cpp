// The simulator: its model and framer in process, and one session through its pseudo-terminal.
#include "commport.h"
#include "framer.h"
#include "indexermodel.h"
#include "modFileUtil.h"
#include "settings.h"
#include "simprocess.h"
#include "systemserialport.h"
#include "transact.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace
{
QByteArray answer(IndexerModel &model, const QByteArray &command, qint64 nowMs = 0)
{
    return model.handle(command, nowMs) + '\r';
}
} // namespace

class TestSim : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The reply to a query after some commands.
    void replies_data()
    {
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("reply");
        const std::pair<const char *, const char *> plain[] = {
            {"B?", "B:1\r"},       {"C?", "C:1\r"},
            {"D?", "D:R\r"},       {"A?", "A:0\r"},
            {"I", "I:\x05\x21\r"}, {"F?", "F:3\r"},
            {"G1?", "G:0 0\r"},    {"G3?", "G:2 240\r"},
            {"G8?", "G:3 0\r"},    {"B8", "B:OK\r"},
            {"C8", "C:OK\r"},      {"A1", "A:OK\r"},
            {"F0", "F:OK\r"},      {"G8 3 359", "G:OK\r"},
            {"G1 0 7", "G:OK\r"},  {"@", "@:RV-360 indexer simulator 1.0\r"}};
        for (const auto &[query, reply] : plain)
            QTest::newRow(query) << QByteArrayList() << QByteArray(query) << QByteArray(reply);
        for (const char *query :
             {"", "B0", "B9", "Bx", "B?x", "b?", "C0", "A2", "D1", "F9", "G0?", "G9?", "G1",
              "G1 4 000", "G1 1 360", "G1 1 0000", "G1 1 12a", "I?", "@x"})
            QTest::addRow("error \"%s\"", query)
                << QByteArrayList() << QByteArray(query) << QByteArray("?:ERR\r");
        const auto row = [](const char *name, const QByteArrayList &commands, const char *query,
                            const char *reply) {
            QTest::newRow(name) << commands << QByteArray(query) << QByteArray(reply);
        };
        row("speed, rejected one ignored", {"C4", "C9"}, "C?", "C:4\r");
        row("control back", {"A1", "A0"}, "A?", "A:0\r");
        row("count, rejected one ignored", {"F8", "F9"}, "F?", "F:8\r");
        row("pocket, leading zeros dropped", {"G4 2 045"}, "G4?", "G:2 45\r");
        row("pocket, rejected one ignored", {"G2 1 360"}, "G2?", "G:1 120\r");
        row("count keeps pockets", {"G7 1 300", "F8", "F2"}, "G7?", "G:1 300\r");
    }
    void replies()
    {
        QFETCH(QByteArrayList, commands);
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, reply);
        IndexerModel model({});
        for (const QByteArray &command : commands)
            QVERIFY(answer(model, command).endsWith('\r'));
        QCOMPARE(answer(model, query), reply);
    }

    // Pockets passed on the way, one step per 100 ms, the shorter way round (half a turn goes
    // forward); a new target while moving turns back from the pocket being passed.
    void motion_data()
    {
        QTest::addColumn<QByteArrayList>("moves"); // command @ ms
        QTest::addColumn<bool>("reportTarget");
        QTest::addColumn<QList<int>>("path"); // pocket every 50 ms from 0
        QTest::newRow("2 to 6 forward")
            << QByteArrayList{"B2@0", "B6@0"} << false << QList<int>{2, 2, 3, 3, 4, 4, 5, 5, 6, 6};
        QTest::newRow("2 to 8 backward over 1")
            << QByteArrayList{"B2@0", "B8@0"} << false << QList<int>{2, 2, 1, 1, 8, 8};
        QTest::newRow("7 to 1 forward over 8")
            << QByteArrayList{"B7@0", "B1@0"} << false << QList<int>{7, 7, 8, 8, 1, 1};
        QTest::newRow("turned back at 3") << QByteArrayList{"B1@0", "B5@0", "B1@250"} << false
                                          << QList<int>{1, 1, 2, 2, 3, 3, 3, 2, 2, 1, 1};
        QTest::newRow("reporting the target")
            << QByteArrayList{"B1@0", "B4@0"} << true << QList<int>{4, 4, 4, 4, 4, 4, 4};
    }
    void motion()
    {
        QFETCH(QByteArrayList, moves);
        QFETCH(bool, reportTarget);
        QFETCH(QList<int>, path);
        IndexerModel model({100, reportTarget});
        model.setPocket(moves.takeFirst().mid(1, 1).toInt());
        QList<int> seen;
        for (qint64 ms = 0; seen.size() < path.size(); ms += 50) {
            while (!moves.isEmpty() && moves.first().split('@').last().toInt() <= ms)
                QCOMPARE(answer(model, moves.takeFirst().split('@').first(), ms), "B:OK\r");
            seen << answer(model, "B?", ms).mid(2, 1).toInt();
            const bool moving = answer(model, "D?", ms) == "D:M\r";
            QCOMPARE(moving, model.movingAt(ms));
        }
        QCOMPARE(seen, path);
        QCOMPARE(answer(model, "D?", 10000), QByteArray("D:R\r"));
    }

    void stateLine()
    {
        IndexerModel model({5000, false});
        QCOMPARE(model.stateLine(0), "state pocket=1 target=1 moving=0 speed=1 control=0 count=3 "
                                     "switches=5,33");
        for (const char *command : {"C7", "A1", "F5", "B3"})
            answer(model, command, 0);
        model.setSwitches(0, 200);
        QCOMPARE(model.stateLine(10), "state pocket=1 target=3 moving=1 speed=7 control=1 count=5 "
                                      "switches=0,200");
        QCOMPARE(answer(model, "I"), QByteArray("I:\x00\xc8\r", 5));
        model.setPocket(7);
        model.setLowercaseStatus(true);
        QCOMPARE(answer(model, "D?", 20), QByteArray("D:r\r"));
        QVERIFY(model.stateLine(20).startsWith("state pocket=7 target=7 moving=0"));
    }

    // The frames found in the bytes, "!" marking an oversized one.
    void framing_data()
    {
        QTest::addColumn<QByteArrayList>("writes");
        QTest::addColumn<QByteArrayList>("commands");
        const auto row = [](const char *name, const QByteArrayList &writes,
                            const QByteArrayList &commands) {
            QTest::newRow(name) << writes << commands;
        };
        row("CR alone", {"$B?\r"}, {"B?"});
        row("no dollar, LF does not end", {"B?\r\n$C?\n"}, {});
        row("bytes before the dollar", {QByteArray("xy\x00\xff$B?\r\n", 9)}, {"B?"});
        row("dollar starts over", {"$B$C?\r\n"}, {"C?"});
        row("two frames, in pieces", {"$B", "?\r\n$C", "?", "\r"}, {"B?", "C?"});
        row("longest frame kept", {"$" + QByteArray(254, 'A') + "\r"}, {QByteArray(254, 'A')});
        row("one byte longer dropped, then a frame",
            {"$" + QByteArray(200, 'B'), QByteArray(55, '?') + "\r\n$C?\r"}, {"!", "C?"});
    }
    void framing()
    {
        QFETCH(QByteArrayList, writes);
        QFETCH(QByteArrayList, commands);
        Framer framer;
        QByteArrayList found;
        for (const QByteArray &bytes : writes)
            for (const Framer::Frame &frame : framer.feed(bytes))
                found << (frame.oversized ? QByteArray("!") : frame.command());
        QCOMPARE(found, commands);
    }

    // One session through the pty, with the program's own link: answers, faults switched by
    // control lines, the link removed at the end.
    void session()
    {
        QTemporaryDir programDir;
        SetProgramDirectoryOverride(programDir.path());
        SimProcess sim;
        QVERIFY(sim.start({"--move-ms", "50"}));
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(),
                                      "[Ports]\r\nCOM1=" + sim.linkPath().toUtf8() + "\r\n"));
        SystemSerialPort port;
        CommPort = 1;
        QVERIFY(OpenCommPort(port, 1));
        IndexerLink link(port);
        const auto ask = [&](const char *command) { return transact(link, command).text; };
        QCOMPARE(ask("B?"), QStringLiteral("B:1\r"));
        const struct {
            const char *fault, *command, *reply;
        } faults[] = {{"crlf", "C?", "C:1\r\n"},
                      {"lowercase", "D?", "D:r\r"},
                      {"partial", "B?", "Timeout B:"}};
        for (const auto &[fault, command, reply] : faults) {
            QCOMPARE(sim.control(fault + QStringLiteral(" on")), QStringLiteral("ok"));
            QCOMPARE(ask(command), QString::fromLatin1(reply));
            QCOMPARE(sim.control(fault + QStringLiteral(" off")), QStringLiteral("ok"));
        }
        QCOMPARE(sim.control("late 300"), QStringLiteral("ok"));
        QVERIFY(transact(link, "A?").timedOut);
        QTest::qWait(150); // the late line comes while nothing waits
        QCOMPARE(sim.control("late 0"), QStringLiteral("ok"));
        QCOMPARE(sim.control("silent on"), QStringLiteral("ok"));
        QVERIFY(transact(link, "C6").timedOut);
        QCOMPARE(sim.control("silent off"), QStringLiteral("ok"));
        QCOMPARE(ask("C?"), QStringLiteral("C:6\r")); // commands act while silent
        for (const char *line : {"late -1", "switches 256 0", "pocket 9", "reboot"})
            QVERIFY(sim.control(line).startsWith("error "));
        QCOMPARE(sim.control("pocket 4"), QStringLiteral("ok"));
        QCOMPARE(ask("B?"), QStringLiteral("B:4\r"));

        const QString linkPath = sim.linkPath();
        QVERIFY(QFileInfo(linkPath).symLinkTarget().startsWith("/dev/pts/"));
        QCOMPARE(sim.control("quit"), QStringLiteral("ok"));
        QTRY_VERIFY(!sim.isRunning());
        QVERIFY(!QFileInfo(linkPath).isSymLink());
        SetProgramDirectoryOverride({});
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
