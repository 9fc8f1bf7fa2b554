// Fault drills through a pseudo-terminal against rv360-sim: a flooding line, late replies.
#include "indexerlink.h"
#include "simwindow.h"
#include "transact.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

namespace
{
// Resident memory of this process in kB.
qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression re(QStringLiteral("VmRSS:\\s+(\\d+)"));
    return re.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}
} // namespace

class TestFaultsSim : public QObject
{
    Q_OBJECT

    SimWindow f;
    SimProcess &sim = f.sim;
    frmMain *window = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(f.start());
        window = f.window.get();
    }

    void floodWithoutCarriageReturn()
    {
        QTest::qWait(1500); // let the poll settle
        const qint64 before = residentKb();
        QVERIFY(sim.control("flood on").startsWith("ok"));
        QElapsedTimer clock;
        clock.start();
        // The window stays live: a button press made during the flood reaches the indexer.
        QTimer::singleShot(5000, window, [this] {
            QTest::mouseClick(window->optManAuto[1], Qt::LeftButton);
            QTest::mouseClick(window->cmdControl[1], Qt::LeftButton);
        });
        while (clock.elapsed() < 10000)
            QTest::qWait(100);
        QVERIFY(sim.control("flood off").startsWith("ok"));
        const qint64 growth = residentKb() - before;
#ifndef __SANITIZE_ADDRESS__
        // (AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing.)
        QVERIFY2(growth < 4096, qPrintable(QStringLiteral("grew by %1 kB").arg(growth)));
#else
        Q_UNUSED(growth);
#endif
        QVERIFY(sim.control("state").contains("control=1"));
        // Once the line is quiet, the poll is back.
        QTest::qWait(300);
        QTRY_COMPARE_WITH_TIMEOUT(window->lblComm->text(), QStringLiteral("Ready"), 3000);
    }

    void lateReplyIsNotTakenForTheNextCommand()
    {
        window->tmrUpdate.stop();
        QTest::qWait(600);
        IndexerLink &link = window->link();
        QVERIFY(sim.control("late 300").startsWith("ok"));
        QVERIFY(transact(link, "A?").timedOut);
        QTest::qWait(100); // the late "A:" line arrives now, before the next command starts
        QVERIFY(sim.control("late 0").startsWith("ok"));
        QTest::qWait(150);
        const QString reply = transact(link, "D?").text;
        QVERIFY2(reply.startsWith("D:"), qPrintable(reply));
        window->tmrUpdate.start();
    }
};

QTEST_MAIN(TestFaultsSim)
#include "tst_faults_sim.moc"
