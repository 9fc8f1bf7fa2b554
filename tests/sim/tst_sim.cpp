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
    // The reply to the last command of each line; "?:ERR" to every malformed command.
    void replies()
    {
        // clang-format off
        const std::pair<QByteArrayList, QByteArray> rows[] = {
            {{"B?"}, "B:1"}, {{"C?"}, "C:1"}, {{"D?"}, "D:R"}, {{"A?"}, "A:0"}, {{"I"}, "I:\x05\x21"},
            {{"F?"}, "F:3"}, {{"G1?"}, "G:0 0"}, {{"G3?"}, "G:2 240"}, {{"G8?"}, "G:3 0"},
            {{"B8"}, "B:OK"}, {{"C8"}, "C:OK"}, {{"A1"}, "A:OK"}, {{"F0"}, "F:OK"},
            {{"G8 3 359"}, "G:OK"}, {{"G1 0 7"}, "G:OK"}, {{"@"}, "@:RV-360 indexer simulator 1.0"},
            {{"C4", "C9", "C?"}, "C:4"}, {{"A1", "A0", "A?"}, "A:0"}, {{"F8", "F9", "F?"}, "F:8"},
            {{"G4 2 045", "G4?"}, "G:2 45"}, {{"G2 1 360", "G2?"}, "G:1 120"},
            {{"G7 1 300", "F8", "F2", "G7?"}, "G:1 300"}};
        // clang-format on
        for (const auto &[commands, reply] : rows) {
            IndexerModel model({});
            for (const QByteArray &command : commands.mid(0, commands.size() - 1))
                answer(model, command);
            QCOMPARE(answer(model, commands.last()), reply + '\r');
        }
        for (const char *command :
             {"", "B0", "B9", "Bx", "B?x", "b?", "C0", "A2", "D1", "F9", "G0?", "G9?", "G1",
              "G1 4 000", "G1 1 360", "G1 1 0000", "G1 1 12a", "I?", "@x"}) {
            IndexerModel model({});
            QCOMPARE(answer(model, command), QByteArray("?:ERR\r"));
        }
    }

    // Pockets passed every 50 ms, one step per 100 ms, the shorter way round (half a turn goes
    // forward); a new target while moving turns back from the pocket being passed.
    void motion()
    {
        // clang-format off
        const std::tuple<QByteArrayList, bool, QList<int>> rows[] = { // command@ms
            {{"B2@0", "B6@0"}, false, {2, 2, 3, 3, 4, 4, 5, 5, 6, 6}},
            {{"B2@0", "B8@0"}, false, {2, 2, 1, 1, 8, 8}}, {{"B7@0", "B1@0"}, false, {7, 7, 8, 8, 1, 1}},
            {{"B1@0", "B5@0", "B1@250"}, false, {1, 1, 2, 2, 3, 3, 3, 2, 2, 1, 1}},
            {{"B1@0", "B4@0"}, true, {4, 4, 4, 4, 4, 4, 4}}};
        // clang-format on
        for (auto [moves, reportTarget, path] : rows) {
            IndexerModel model({100, reportTarget});
            model.setPocket(moves.takeFirst().mid(1, 1).toInt());
            QList<int> seen;
            for (qint64 ms = 0; seen.size() < path.size(); ms += 50) {
                while (!moves.isEmpty() && moves.first().split('@').last().toInt() <= ms)
                    QCOMPARE(answer(model, moves.takeFirst().split('@').first(), ms), "B:OK\r");
                seen << answer(model, "B?", ms).mid(2, 1).toInt();
                QCOMPARE(answer(model, "D?", ms) == "D:M\r", model.movingAt(ms));
            }
            QCOMPARE(seen, path);
            QCOMPARE(answer(model, "D?", 10000), QByteArray("D:R\r"));
        }
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
        IndexerModel instant({0, false}); // no time per step: there at once
        QCOMPARE(answer(instant, "B5"), QByteArray("B:OK\r"));
        QCOMPARE(answer(instant, "B?"), QByteArray("B:5\r"));
        model.setPocket(7);
        model.setLowercaseStatus(true);
        QCOMPARE(answer(model, "D?", 20), QByteArray("D:r\r"));
        QVERIFY(model.stateLine(20).startsWith("state pocket=7 target=7 moving=0"));
    }

    // The frames found in the bytes, "!" marking an oversized one.
    void framing()
    {
        // clang-format off
        const std::pair<QByteArrayList, QByteArrayList> rows[] = {
            {{"$B?\r"}, {"B?"}}, {{"B?\r\n$C?\n"}, {}}, {{QByteArray("xy\x00\xff$B?\r\n", 9)}, {"B?"}},
            {{"$B$C?\r\nD?\r"}, {"C?"}}, {{"$B", "?\r\n$C", "?", "\r"}, {"B?", "C?"}},
            {{"$" + QByteArray(254, 'A') + "\r"}, {QByteArray(254, 'A')}},
            {{"$" + QByteArray(200, 'B'), QByteArray(55, '?') + "\r\n$C?\r"}, {"!", "C?"}}};
        // clang-format on
        for (const auto &[writes, commands] : rows) {
            Framer framer;
            QByteArrayList found;
            for (const QByteArray &bytes : writes)
                for (const Framer::Frame &frame : framer.feed(bytes))
                    found << (frame.oversized ? QByteArray("!") : frame.command());
            QCOMPARE(found, commands);
        }
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
        // clang-format off
        const struct {
            const char *fault, *command, *reply;
        } faults[] = {
            {"crlf", "C?", "C:1\r\n"}, {"lowercase", "D?", "D:r\r"},
            {"partial", "B?", "Timeout B:"}};
        // clang-format on
        for (const auto &[fault, command, reply] : faults) {
            QCOMPARE(sim.control(fault + QStringLiteral(" on")), QStringLiteral("ok"));
            QCOMPARE(ask(command), QString::fromLatin1(reply));
            QCOMPARE(sim.control(fault + QStringLiteral(" off")), QStringLiteral("ok"));
        }
        QCOMPARE(sim.control("late 300"), QStringLiteral("ok"));
        QVERIFY(transact(link, "A?").timedOut);
        QTest::qWait(250); // the late line (300 ms) comes while nothing waits
        QCOMPARE(sim.control("late 0"), QStringLiteral("ok"));
        QCOMPARE(sim.control("silent on"), QStringLiteral("ok"));
        QVERIFY(transact(link, "C6").timedOut);
        QCOMPARE(sim.control("silent off"), QStringLiteral("ok"));
        QCOMPARE(ask("C?"), QStringLiteral("C:6\r")); // commands act while silent
        for (const char *line : {"late -1", "switches 256 0", "pocket 9", "reboot"})
            QVERIFY(sim.control(line).startsWith("error "));
        QCOMPARE(sim.control("switches 0 255"), QStringLiteral("ok"));
        QCOMPARE(ask("I"), QString::fromLatin1("I:\0\xFF\r", 5));
        QCOMPARE(sim.control("flood on"), QStringLiteral("ok"));
        QCOMPARE(sim.control("flood off"), QStringLiteral("ok"));
        // What flooded before "off" drains and is dropped; then the replies are clean again.
        QString clean;
        for (int i = 0; i < 20 && clean != QLatin1String("C:6\r"); ++i)
            clean = ask("C?");
        QCOMPARE(clean, QStringLiteral("C:6\r"));
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
