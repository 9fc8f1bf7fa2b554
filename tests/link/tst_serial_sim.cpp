// The link through a real pseudo-terminal against the simulator, with the real QSerialPort.
#include "commport.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "settings.h"
#include "simprocess.h"
#include "systemserialport.h"
#include "transact.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <sys/resource.h>

namespace
{
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
} // namespace

class TestSerialSim : public QObject
{
    Q_OBJECT

    QTemporaryDir programDir;
    QTemporaryDir linkDir;
    QString linkPath;

    void writePorts(const QByteArray &ports)
    {
        QFile ini(programDir.filePath("RV360.INI"));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[Application]\r\nCommPort=1\r\n[Ports]\r\n" + ports);
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetProgramDirectoryOverride(programDir.path());
        linkPath =
            linkDir.filePath(QStringLiteral("ttySIM-%1").arg(QCoreApplication::applicationPid()));
        writePorts("COM1=" + linkPath.toUtf8() +
                   "\r\nCOM2=" + linkDir.filePath("missing").toUtf8() + "\r\n");
        CommPort = 1;
    }
    void cleanupTestCase() { SetProgramDirectoryOverride({}); }

    void roundTripWithTheFixedSettings()
    {
        SimProcess sim;
        sim.setLinkPath(linkPath);
        QVERIFY(sim.start());
        SystemSerialPort port;
        QVERIFY(OpenCommPort(port, 1));
        QVERIFY(port.isOpen());
        QCOMPARE(port.deviceName(), linkPath);
        IndexerLink link(port);
        QCOMPARE(transact(link, "B?").text, QStringLiteral("B:1\r"));
        QCOMPARE(transact(link, "@").text.left(2), QStringLiteral("@:"));
        QVERIFY(sim.control("switches 0 200").startsWith("ok"));
        QCOMPARE(transact(link, "I").text, QString::fromLatin1("I:\0\xC8\r", 5));
    }

    void missingDeviceFails()
    {
        SystemSerialPort port;
        QVERIFY(!OpenCommPort(port, 2));
        QVERIFY(!port.isOpen());
        QCOMPARE(port.lastOpenFailure(), SerialPort::OpenFailure::NotFound);
    }

    void deviceInUseFailsAtTheProbe()
    {
        SimProcess sim;
        sim.setLinkPath(linkPath);
        QVERIFY(sim.start());
        SystemSerialPort holder;
        QVERIFY(OpenCommPort(holder, 1));
        SystemSerialPort port;
        QVERIFY(!OpenCommPort(port, 1));
        QVERIFY(!port.isOpen());
        QCOMPARE(port.lastOpenFailure(), SerialPort::OpenFailure::InUse);
    }

    void simulatorKilledAndRestarted()
    {
        auto sim = std::make_unique<SimProcess>();
        sim->setLinkPath(linkPath);
        QVERIFY(sim->start());
        SystemSerialPort port;
        QVERIFY(OpenCommPort(port, 1));
        IndexerLink link(port);
        QCOMPARE(transact(link, "D?").text, QStringLiteral("D:R\r"));

        // Killed while a transaction waits: a timeout, and the port closes itself.
        QVERIFY(sim->control("silent on").startsWith("ok"));
        QTimer::singleShot(50, [&] { sim->kill(); });
        QVERIFY(transact(link, "B?").timedOut);
        QTRY_VERIFY(!port.isOpen());
        // A killed simulator leaves its link behind, pointing at a pty number that another
        // program may get next; the device is gone.
        QFile::remove(linkPath);

        // No busy loop after the loss: one second costs next to no CPU.
        const double before = cpuSeconds();
        QTest::qWait(1000);
        const double used = cpuSeconds() - before;
        QVERIFY2(used < 0.2, qPrintable(QString::number(used)));
        QVERIFY(transact(link, "B?").timedOut);

        // Back again: a later transaction reopens the device.
        sim = std::make_unique<SimProcess>();
        sim->setLinkPath(linkPath);
        QVERIFY(sim->start());
        QString reply;
        for (int attempt = 0; attempt < 30 && reply != QLatin1String("B:1\r"); ++attempt) {
            reply = transact(link, "B?").text;
            if (reply != QLatin1String("B:1\r"))
                QTest::qWait(100);
        }
        QCOMPARE(reply, QStringLiteral("B:1\r"));
        QVERIFY(port.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestSerialSim)
#include "tst_serial_sim.moc"
