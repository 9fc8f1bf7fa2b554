// End to end: the main window and the setup dialog on the real QSerialPort, through a
// pseudo-terminal, against rv360-sim.
#include "controls.h"
#include "controlserver.h"
#include "frmMain.h"
#include "instrumentport.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "simprocess.h"
#include "systemserialport.h"
#include "testhome.h"
#include "transact.h"
#include "verticalspin.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// CMakeLists.txt names the cases each test runs: a new one goes into a test's ARGS there.
class TestEndToEnd : public QObject
{
    Q_OBJECT

    TestHome home;
    SimProcess sim;
    std::unique_ptr<frmMain> window;
    const QString simLog = home.dir.filePath(QStringLiteral("sim.log"));

private Q_SLOTS:
    void initTestCase()
    {
        sim.setLogFile(simLog);
        QVERIFY(sim.start({"--move-ms", "250", "--log"}));
        const QByteArray settings = "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=";
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(), settings + sim.linkPath().toUtf8()));
        window = std::make_unique<frmMain>(); // the program's own ports
        window->show();
        window->Form_Load();
    }

    // What the opened port set on the line, read back from the terminal itself (a pty keeps the
    // speed but forces 8 bits without parity). The poll shows the pocket and a move from the
    // window arrives; a pocket changed at the indexer itself (its panel) is recorded and shown as
    // such.
    void lineSettingsPollAndMove()
    {
        const int fd = ::open(QFile::encodeName(sim.linkPath()), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QVERIFY(::cfgetospeed(&tio) == B19200 && ::cfgetispeed(&tio) == B19200);
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
        QVERIFY(sim.control("pocket 2").startsWith("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(window.get(), "lblPocket")->text(),
                                  QStringLiteral("2"), 5000);
        // The simulator reports the pockets it passes; the poll must not send it back there.
        control<VerticalSpin>(window.get(), "spnMove")->setSpinValue(6);
        QTRY_VERIFY_WITH_TIMEOUT(
            sim.control("state").startsWith("state pocket=6 target=6 moving=0"), 8000);
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(window.get(), "lblPocket")->text(),
                                  QStringLiteral("6"), 3000);
        QVERIFY(sim.control("pocket 2").startsWith("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(window.get(), "lblMotion")->text(),
                                  QStringLiteral("Moved at the indexer: 6 -> 2"), 5000);
        QVERIFY(window->motion().history(1).last().contains(",indexer,6,2,external,"));
    }

    // A script's move with --wait through the control socket ends when the supervisor reports
    // the arrival; meanwhile the line carries the window's poll only (the simulator's log: at
    // most a "B?" and a "D?" a tick). The record names the script and where the move began.
    void scriptWaitsForArrival()
    {
        ControlServer server(window->motion());
        QString why;
        const QString socket = home.dir.filePath(QStringLiteral("rv360.sock"));
        QVERIFY2(server.listen(socket, &why), qPrintable(why));
        const qsizetype before = contentsOf(simLog).size();
        QProcess ctl;
        QElapsedTimer waited;
        waited.start();
        ctl.start(qEnvironmentVariable("RV360CTL"), {"--socket", socket, "move", "3", "--wait"});
        const qint64 pid = ctl.processId();
        QTRY_VERIFY_WITH_TIMEOUT(ctl.state() == QProcess::NotRunning, 15000);
        const qint64 ticks = waited.elapsed() / 500 + 1;
        QVERIFY2(ctl.exitCode() == 0, ctl.readAllStandardError());
        QVERIFY(sim.control("state").startsWith("state pocket=3 target=3 moving=0"));
        QByteArray log = contentsOf(simLog).mid(before);
        log = log.mid(log.indexOf("rx $B3"));
        QVERIFY2(log.count("rx $B?") <= ticks && log.count("rx $D?") <= ticks, log);
        QVERIFY(window->motion().history(1).last().contains(
            QStringLiteral(",script uid=%1 pid=%2,2,3,arrived,").arg(::getuid()).arg(pid)));
    }

    // Lab clients on the instrument port (tests/e2e/instrument_clients.py, with pyvisa-py and
    // PyMeasure): a move awaited with *OPC?, one refused by an inhibit, a query timed out and
    // its late answer drained, and a client that leaves mid-move, whose move arrives, sent once.
    void instrumentClients()
    {
        MotionSupervisor &motion = window->motion();
        InstrumentPort port(motion);
        QString why;
        QVERIFY2(port.listen(QHostAddress(QHostAddress::LocalHost), 0, &why), qPrintable(why));
        control<QCheckBox>(window.get(), "chkRemote")->click();
        motion.setNames({QString(), {}, {}, QStringLiteral("Au"), {}, {}, {}, {}});
        const qsizetype before = contentsOf(simLog).size();
        QProcess clients;
        clients.setProcessChannelMode(QProcess::MergedChannels);
        clients.start(qEnvironmentVariable("RV360_PYTHON"),
                      {qEnvironmentVariable("RV360_INSTRUMENT_CLIENTS"),
                       QString::number(port.port()), qEnvironmentVariable("RV360_INSTRUMENT_DOC")});
        QTRY_VERIFY_WITH_TIMEOUT(clients.state() == QProcess::NotRunning, 60000);
        const QByteArray said = clients.readAll();
        QVERIFY2(clients.exitStatus() == QProcess::NormalExit && clients.exitCode() == 0, said);
        QTRY_VERIFY_WITH_TIMEOUT(
            sim.control("state").startsWith("state pocket=8 target=8 moving=0"), 10000);
        QTest::qWait(500);
        const QByteArray log = contentsOf(simLog).mid(before);
        QVERIFY2(log.count("rx $B8") == 1 && !log.contains("rx $B7"), log);
        QVERIFY(motion.remoteHolder().isEmpty());
        QVERIFY(
            motion.history(1).last().contains(QStringLiteral(",remote 127.0.0.1,1,8,arrived,")));
        // The indexer silent: answered at once all the same, the move's error raised, and *RST
        // moves nothing.
        const qsizetype silent = contentsOf(simLog).size();
        QVERIFY(sim.control("silent on").startsWith("ok"));
        QTRY_COMPARE(motion.view().answering, false);
        clients.start(qEnvironmentVariable("RV360_PYTHON"), clients.arguments() << "silent");
        QTRY_VERIFY_WITH_TIMEOUT(clients.state() == QProcess::NotRunning, 30000);
        QVERIFY2(clients.exitCode() == 0, clients.readAll());
        QVERIFY(sim.control("silent off").startsWith("ok") &&
                !contentsOf(simLog).mid(silent).contains("rx $B5"));
    }

    // rv360-tango with Debian's PyTango as its client (tests/e2e/tango_device.py); what only the
    // window can do is asked of this test on the script's standard output.
    void tangoDevice()
    {
        if (qEnvironmentVariableIsEmpty("RV360_TANGO"))
            QSKIP("rv360-tango not built (no libtango-dev)");
        MotionSupervisor &motion = window->motion();
        auto port = std::make_unique<InstrumentPort>(motion);
        QString why;
        QVERIFY2(port->listen(QHostAddress(QHostAddress::LocalHost), 0, &why), qPrintable(why));
        const quint16 number = port->port();
        ControlServer server(motion);
        const QString socket = home.dir.filePath(QStringLiteral("tango.sock"));
        QVERIFY2(server.listen(socket, &why), qPrintable(why));
        auto *remote = control<QCheckBox>(window.get(), "chkRemote");
        remote->setChecked(true);
        motion.setNames(
            {QString(), {}, {}, QStringLiteral("Au"), {}, QStringLiteral("Ag \"5N\""), {}, {}});
        const std::map<QByteArray, std::function<void()>> actions = {
            {"remote off", [&] { remote->setChecked(false); }},
            {"remote on", [&] { remote->setChecked(true); }},
            {"short limit", [&] { motion.setTimeLimitMs(300); }},
            {"long limit", [&] { motion.setTimeLimit(MotionSupervisor::kDefaultTimeLimitS); }},
            {"acknowledge", [&] { motion.acknowledge(); }},
            {"silent on", [&] { sim.control("silent on"); }},
            {"silent off", [&] { sim.control("silent off"); }},
            {"port stop", [&] { port.reset(); }},
            {"port start", [&] {
                 port = std::make_unique<InstrumentPort>(motion);
                 port->listen(QHostAddress(QHostAddress::LocalHost), number, &why);
             }}};
        QProcess script;
        QByteArray said;
        connect(&script, &QProcess::readyReadStandardOutput, this, [&] {
            while (script.canReadLine()) {
                const QByteArray line = script.readLine();
                const auto action = actions.find(line.mid(3).trimmed());
                if (!line.startsWith("do ") || action == actions.end())
                    said += line;
                else
                    action->second(), script.write("ok\n");
            }
        });
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(qEnvironmentVariable("RV360_PYTHON"),
                     {qEnvironmentVariable("RV360_TANGO_CLIENT"),
                      qEnvironmentVariable("RV360_TANGO"), QString::number(number), simLog,
                      qEnvironmentVariable("RV360CTL"), socket});
        QTRY_VERIFY_WITH_TIMEOUT(script.state() == QProcess::NotRunning, 90000);
        said += script.readAll();
        QVERIFY2(script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0, said);
    }

    // A reply left unread on the line by an earlier program: the first request, made as the
    // poll makes it once the port is open, discards it, keeps the line open and gets its own.
    void staleBytesAtOpen()
    {
        SimProcess other;
        QVERIFY(other.start());
        const int fd = ::open(QFile::encodeName(other.linkPath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0 && ::write(fd, "$B?\r\n", 5) == 5);
        QTest::qWait(100);
        ::close(fd), QTest::qWait(300); // the simulator pauses while the line has no opener
        SystemSerialPort stale;
        QByteArray none; // a read before the port has reported bytes takes none
        QVERIFY(stale.open(PortChoice::serial(9, other.linkPath())) && stale.readInto(none) == 0);
        IndexerLink link(stale);
        IndexerLink::Reply reply;
        QTimer::singleShot(0, &link, [&] {
            link.SendCommand("B?", &link, [&](const IndexerLink::Reply &r) { reply = r; });
        });
        QTRY_COMPARE(reply.text, QStringLiteral("B:1\r"));
        QVERIFY(stale.isOpen());
        // Hung up (as an unplugged adapter is): the reads find nothing, and the port closes.
        const int hangUp = ::open(QFile::encodeName(other.linkPath()), O_RDWR | O_NOCTTY);
        const bool hungUp = hangUp >= 0 && ::ioctl(hangUp, TIOCVHANGUP) == 0;
        ::close(hangUp);
        if (!hungUp)
            QSKIP("hanging up a line needs root");
        QTRY_VERIFY(!stale.isOpen());
    }

    // The simulator killed during a wait: a timeout, the port closes once and nothing spins;
    // a later request reopens the line when it is back.
    void deviceLostAndBack()
    {
        control<QTimer>(window.get(), "tmrUpdate")->stop();
        QTRY_VERIFY(!window->link().isBusy());
        const QString link = sim.linkPath();
        QVERIFY(sim.control("silent on").startsWith("ok"));
        QTimer::singleShot(50, [&] { sim.kill(); });
        QVERIFY(transact(window->link(), "B?").timedOut);
        QTRY_VERIFY(!window->link().port().isOpen());
        // A killed simulator leaves its link behind, pointing at a pty another program may get.
        QFile::remove(link);
        const std::clock_t before = std::clock(); // this process's processor time
        QTest::qWait(500);
        QVERIFY2(std::clock() - before < CLOCKS_PER_SEC / 10, "busy after the device was lost");

        SimProcess again;
        again.setLinkPath(link);
        QVERIFY(again.start());
        QTRY_COMPARE_WITH_TIMEOUT(transact(window->link(), "B?").text, QStringLiteral("B:1\r"),
                                  6000);
        window.reset();
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
