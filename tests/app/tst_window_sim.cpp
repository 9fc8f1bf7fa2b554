// The main window end to end: real QSerialPort through a pseudo-terminal against rv360-sim.
#include "indexerlink.h"
#include "lamp.h"
#include "pockettable.h"
#include "settings.h"
#include "simwindow.h"
#include "verticalspin.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>

class TestWindowSim : public QObject
{
    Q_OBJECT

    SimWindow f;
    SimProcess &sim = f.sim;
    frmMain *window = nullptr;

    QString state(const QString &key)
    {
        const QString line = sim.control("state");
        const QRegularExpression re(key + QStringLiteral("=([^ ]+)"));
        return re.match(line).captured(1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(f.start({"--move-ms", "150"}));
        window = f.window.get();
    }

    void pollShowsThePocketAndLamps()
    {
        QVERIFY(sim.control("pocket 2").startsWith("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(window->lblPocket->text(), QStringLiteral("2"), 5000);
        QTRY_VERIFY(window->ledReady->isOn());
        QVERIFY(!window->ledMoving->isOn());
        QCOMPARE(window->spnMove->spinValue(), 2);
        QCOMPARE(window->lblComm->text(), QStringLiteral("Ready"));
    }

    void moveFromTwoToSixArrives()
    {
        // The simulator reports the pocket it is passing; the poll must not send it back there.
        window->spnMove->setSpinValue(6);
        bool sawMoving = false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 8000 && !(state("pocket") == "6" && state("moving") == "0")) {
            sawMoving = sawMoving || window->ledMoving->isOn();
            QTest::qWait(50);
        }
        QCOMPARE(state("pocket"), QStringLiteral("6"));
        QCOMPARE(state("target"), QStringLiteral("6"));
        QTRY_COMPARE_WITH_TIMEOUT(window->lblPocket->text(), QStringLiteral("6"), 3000);
        QTRY_VERIFY(window->ledReady->isOn());
        QVERIFY(sawMoving);
        QCOMPARE(window->lblMove->text(), QStringLiteral("6"));
    }

    void controlSourceAndSwitches()
    {
        QTest::mouseClick(window->cmdControl[0], Qt::LeftButton);
        QTRY_VERIFY(window->optManAuto[0]->isChecked());
        QTest::mouseClick(window->optManAuto[1], Qt::LeftButton);
        QTest::mouseClick(window->cmdControl[1], Qt::LeftButton);
        QTRY_COMPARE(state("control"), QStringLiteral("1"));

        QVERIFY(sim.control("switches 0 200").startsWith("ok"));
        QTest::mouseClick(window->cmdSwitches, Qt::LeftButton);
        QTRY_COMPARE(window->lblSwitch->text(), QStringLiteral("0"));
        QTest::mouseClick(window->optSwitch[1], Qt::LeftButton);
        QTest::mouseClick(window->cmdSwitches, Qt::LeftButton);
        QTRY_COMPARE(window->lblSwitch->text(), QStringLiteral("C8"));
    }

    void layoutSentAndReadBack()
    {
        PocketTable &table = *window->pocketTable;
        const QList<QPair<int, int>> layout = {{0, 0}, {1, 45}, {2, 135}, {0, 359}, {1, 7}};
        for (int row = 0; row < 8; ++row) {
            table.setType(row, row < layout.size() ? layout[row].first : int(NotUsed));
            table.setPosition(row, row < layout.size() ? layout[row].second : 0);
        }
        QTest::mouseClick(window->cmdCustom[1], Qt::LeftButton);
        QTRY_COMPARE(state("count"), QStringLiteral("5"));
        QTRY_VERIFY(!window->link().isBusy());
        for (int row = 0; row < 8; ++row) {
            table.setType(row, NotUsed);
            table.setPosition(row, 0);
        }
        QTest::mouseClick(window->cmdCustom[0], Qt::LeftButton);
        QTRY_COMPARE(table.type(0), layout[0].first);
        QTRY_VERIFY(!window->link().isBusy());
        for (int row = 0; row < 8; ++row) {
            QCOMPARE(table.type(row), row < layout.size() ? layout[row].first : int(NotUsed));
            QCOMPARE(table.position(row), row < layout.size() ? layout[row].second : 0);
        }
    }
};

QTEST_MAIN(TestWindowSim)
#include "tst_window_sim.moc"
