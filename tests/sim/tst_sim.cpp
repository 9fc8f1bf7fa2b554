// The simulator's model and framer in process; its control lines, line faults and a hung-up
// device through the process.
#include "framer.h"
#include "indexermodel.h"
#include "simprocess.h"

#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

class TestSim : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The reply to the last command of each line (a new target at the pocket being passed stops
    // the turn); "?:ERR" to every malformed command.
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
            {{"G7 1 300", "F8", "F2", "G7?"}, "G:1 300"}, {{"B5", "B1", "D?"}, "D:R"}};
        // clang-format on
        for (const auto &[commands, reply] : rows) {
            IndexerModel model({});
            for (const QByteArray &command : commands.mid(0, commands.size() - 1))
                model.handle(command, 0);
            QCOMPARE(model.handle(commands.last(), 0), reply);
        }
        for (const char *command :
             {"", "B0", "B9", "Bx", "B?x", "b?", "C0", "A2", "D1", "F9", "G0?", "G9?", "G1",
              "G1 4 000", "G1 1 360", "G1 1 0000", "G1 1 12a", "I?", "@x"})
            QCOMPARE(IndexerModel({}).handle(command, 0), QByteArray("?:ERR"));
        // On the clock: two steps of 400 ms done, a new target goes from the pocket passed.
        IndexerModel model({});
        const QByteArrayList turn = {model.handle("B5", 0), model.handle("D?", 0),
                                     model.handle("B?", 800), model.handle("B1", 800),
                                     model.handle("B?", 1200)};
        QCOMPARE(turn.join(','), "B:OK,D:M,B:3,B:OK,B:2");
        // Frames: "$" starts one anywhere, a CR ends it, bytes between frames are nobody's, and
        // an oversized one is marked.
        const auto frames = Framer().feed("$B$C?\r\nD?\r$" + QByteArray(300, 'A') + "\r$F?\r");
        QVERIFY(frames.size() == 3 && frames[0].command() == "C?" && frames[1].oversized &&
                frames[2].command() == "F?");
    }

    // The process: a byte of 255 taken; long replies that overfill the line go out whole as
    // the client reads; "quit" answered; a device that hangs up retried, not spun on.
    void server()
    {
        SimProcess sim, device;
        QVERIFY(sim.start() && sim.control("switches 255 0xff") == "ok" &&
                sim.control("reply I " + QString(4000, u'R')) == "ok");
        const int fd = ::open(QFile::encodeName(sim.linkPath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0 && ::write(fd, QByteArray("$I\r").repeated(12), 36) == 36);
        QTest::qWait(100); // answered into the full line
        qsizetype ends = 0;
        char bytes[4096];
        QTRY_COMPARE(
            ends += QByteArray(bytes, qMax(0l, ::read(fd, bytes, sizeof bytes))).count('\r'), 12);
        QVERIFY(::close(fd) == 0 && sim.control("quit") == "ok");
        QTRY_VERIFY(!sim.isRunning());
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                device.startDevice(QString::fromLocal8Bit(::ptsname(master))));
        const auto cpuTicks = [&device] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(device.pid()));
            const auto f = stat.open(QIODevice::ReadOnly) ? stat.readAll().split(')').last() : "";
            return f.split(' ').value(12).toLong() + f.split(' ').value(13).toLong();
        };
        ::close(master);
        const long before = cpuTicks();
        QTest::qWait(1000);
        QVERIFY2(cpuTicks() - before < sysconf(_SC_CLK_TCK) / 5, "busy on a hung-up device");
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
