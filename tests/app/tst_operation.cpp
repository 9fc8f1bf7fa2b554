// Status poll, manual move, control mode and switches, on a fake port.
#include "cFileDialog.h"
#include "indexerlink.h"
#include "lamp.h"
#include "mainfixture.h"
#include "pockettable.h"
#include "verticalspin.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

namespace
{
// Puts the spin control at a value as the poll does (nothing is sent), then forgets the traffic.
void settleSpin(MainFixture &f, int value)
{
    f.replies["B?"] = "B:" + QByteArray::number(value) + "\r";
    f.replies["C?"] = "C:" + QByteArray::number(value) + "\r";
    f.window->tmrUpdate_Timer();
    QVERIFY(f.idle());
    QCOMPARE(f.window->spnMove->spinValue(), value);
    f.port.written.clear();
}

QRect subControl(VerticalSpin *spin, QStyle::SubControl which)
{
    QStyleOptionSlider option;
    option.initFrom(spin);
    option.orientation = Qt::Vertical;
    option.minimum = spin->minimum();
    option.maximum = spin->maximum();
    option.sliderPosition = spin->sliderPosition();
    option.sliderValue = spin->value();
    option.singleStep = spin->singleStep();
    option.pageStep = spin->pageStep();
    option.upsideDown = spin->invertedAppearance();
    option.subControls = QStyle::SC_All;
    return spin->style()->subControlRect(QStyle::CC_ScrollBar, &option, which, spin);
}

QPoint lastDrag;
// A move with the left button held (QTest's own move carries no button for widgets).
void dragTo(QWidget *widget, QPoint pos)
{
    lastDrag = pos;
    QMouseEvent move(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

void clickArrow(VerticalSpin *spin, bool up)
{
    const QRect arrow =
        subControl(spin, up ? QStyle::SC_ScrollBarSubLine : QStyle::SC_ScrollBarAddLine);
    QTest::mouseClick(spin, Qt::LeftButton, {}, arrow.center());
}
} // namespace

class TestOperation : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainFixture> f;

private Q_SLOTS:
    void init()
    {
        f = std::make_unique<MainFixture>();
        f->window->tmrUpdate.stop(); // ticks are run by hand
        f->window->show();
    }
    void cleanup() { f.reset(); }

    void pollTick_data()
    {
        QTest::addColumn<bool>("speedMode");
        QTest::addColumn<QByteArray>("valueReply"); // empty: no answer
        QTest::addColumn<QByteArray>("motionReply");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("pocket");
        QTest::addColumn<int>("spin");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<bool>("moving");
        const QStringList pocketTick = {"B?", "D?"};
        const QStringList speedTick = {"C?", "D?"};
        QTest::newRow("pocket unchanged") << false << QByteArray("B:5\r") << QByteArray("D:R\r")
                                          << pocketTick << "5" << 5 << true << false;
        QTest::newRow("pocket changed, no move sent")
            << false << QByteArray("B:3\r") << QByteArray("D:M\r") << pocketTick << "3" << 3
            << false << true;
        QTest::newRow("pocket 0") << false << QByteArray("B:0\r") << QByteArray("D:R\r")
                                  << pocketTick << "?" << 5 << true << false;
        QTest::newRow("pocket 9") << false << QByteArray("B:9\r") << QByteArray("D:R\r")
                                  << pocketTick << "?" << 5 << true << false;
        QTest::newRow("pocket letter") << false << QByteArray("B:x\r") << QByteArray("D:R\r")
                                       << pocketTick << "?" << 5 << true << false;
        QTest::newRow("pocket timeout, motion timeout")
            << false << QByteArray() << QByteArray() << pocketTick << "?" << 5 << false << false;
        QTest::newRow("lower-case m") << false << QByteArray("B:5\r") << QByteArray("D:m\r")
                                      << pocketTick << "5" << 5 << false << false;
        QTest::newRow("short motion reply") << false << QByteArray("B:5\r") << QByteArray("D\r")
                                            << pocketTick << "5" << 5 << false << false;
        QTest::newRow("speed changed") << true << QByteArray("C:4\r") << QByteArray("D:R\r")
                                       << speedTick << "5" << 4 << true << false;
        QTest::newRow("speed 9") << true << QByteArray("C:9\r") << QByteArray("D:R\r") << speedTick
                                 << "5" << 5 << true << false;
        QTest::newRow("speed timeout") << true << QByteArray() << QByteArray("D:M\r") << speedTick
                                       << "5" << 5 << false << true;
    }
    void pollTick()
    {
        QFETCH(bool, speedMode);
        QFETCH(QByteArray, valueReply);
        QFETCH(QByteArray, motionReply);
        QFETCH(QStringList, commands);
        QFETCH(QString, pocket);
        QFETCH(int, spin);
        QFETCH(bool, ready);
        QFETCH(bool, moving);

        settleSpin(*f, 5);
        if (speedMode)
            QTest::mouseClick(f->window->optMove[1], Qt::LeftButton);
        f->replies.clear();
        if (!valueReply.isEmpty())
            f->replies[speedMode ? "C?" : "B?"] = valueReply;
        if (!motionReply.isEmpty())
            f->replies["D?"] = motionReply;
        f->window->tmrUpdate_Timer();
        QVERIFY(f->idle());

        QCOMPARE(f->port.commands(), commands);
        QCOMPARE(f->window->lblPocket->text(), pocket);
        QCOMPARE(f->window->spnMove->spinValue(), spin);
        QCOMPARE(f->window->lblMove->text(), QString::number(spin));
        QCOMPARE(f->window->ledReady->isOn(), ready);
        QCOMPARE(f->window->ledMoving->isOn(), moving);
        QCOMPARE(f->window->ledMoving->fillColor(),
                 moving ? Lamp::onColor() : f->window->palette().color(QPalette::Button));
    }

    void tickDuringAButtonTransactionDoesNothing()
    {
        f->port.setReply("$A?\r\n", "A:1\r", 100);
        QTimer::singleShot(30, f->window.get(), [this] { f->window->tmrUpdate_Timer(); });
        f->window->cmdControl_Click(0);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), QStringList{"A?"});
        QVERIFY(f->window->optManAuto[1]->isChecked());
    }

    void buttonDuringAPollGetsItsOwnReply()
    {
        f->port.setReply("$B?\r\n", "B:6\r", 80);
        f->port.setReply("$D?\r\n", "D:R\r", 10);
        f->port.setReply("$A?\r\n", "A:0\r", 10);
        QTimer::singleShot(20, f->window.get(),
                           [this] { QTest::mouseClick(f->window->cmdControl[0], Qt::LeftButton); });
        f->window->tmrUpdate_Timer();
        QTRY_VERIFY(f->window->optManAuto[0]->isChecked());
        QCOMPARE(f->window->lblPocket->text(), QStringLiteral("6"));
        QVERIFY(f->window->ledReady->isOn());
        // The button's command waited for the poll's requests, and each got its own reply.
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), (QStringList{"B?", "D?", "A?"}));
    }

    // A modal dialog (a message box, the file dialog) opened while the poll waits: replies that
    // come meanwhile are shown at once, and nothing older is shown after it closes.
    void modalDialogDuringAPollWaitLeavesTheNewestReply()
    {
        f->port.setReply("$B?\r\n", "B:3\r", 50);
        f->replies["D?"] = "D:R\r";
        bool sawThree = false, sawSix = false, closed = false;
        QTimer::singleShot(0, f->window.get(), [&] {
            QMessageBox box(QMessageBox::NoIcon, "modal", "modal", QMessageBox::Ok,
                            f->window.get());
            QTimer::singleShot(0, &box, [&] {
                const auto shows = [&](const char *text) {
                    return QTest::qWaitFor(
                        [&] {
                            return f->window->lblPocket->text() == QLatin1String(text) &&
                                   !f->window->link().isBusy();
                        },
                        3000);
                };
                sawThree = shows("3");
                f->port.setReply("$B?\r\n", "B:6\r", 10);
                f->window->tmrUpdate_Timer();
                sawSix = shows("6");
                box.done(0);
            });
            box.exec();
            closed = true;
        });
        f->window->tmrUpdate_Timer();
        QTRY_VERIFY(closed);
        QVERIFY(sawThree);
        QVERIFY(sawSix);
        QTest::qWait(100);
        QCOMPARE(f->window->lblPocket->text(), QStringLiteral("6"));
        QCOMPARE(f->window->spnMove->spinValue(), 6);
    }

    // Screen readers and UI automation read and set the value the operator sees.
    void spinAccessibleValue()
    {
        settleSpin(*f, 2);
        QAccessibleInterface *spin = QAccessible::queryAccessibleInterface(f->window->spnMove);
        QVERIFY(spin && spin->valueInterface());
        QAccessibleValueInterface *value = spin->valueInterface();
        QCOMPARE(value->currentValue().toInt(), 2);
        QCOMPARE(value->minimumValue().toInt(), 1);
        QCOMPARE(value->maximumValue().toInt(), 8);
        QCOMPARE(spin->text(QAccessible::Value), QStringLiteral("2"));
        value->setCurrentValue(4);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), QStringList{"B4"});
        QCOMPARE(f->window->lblMove->text(), QStringLiteral("4"));
        QCOMPARE(value->currentValue().toInt(), 4);
        for (int row = 0; row < 8; ++row) {
            QCOMPARE(f->window->pocketTable->cboMode[row]->accessibleName(),
                     QStringLiteral("Pocket %1 type").arg(row + 1));
            QCOMPARE(f->window->pocketTable->cboLocation[row]->accessibleName(),
                     QStringLiteral("Pocket %1 degrees").arg(row + 1));
        }
    }

    void transferPressesWhileOneWaitsAreIgnored()
    {
        f->port.setReply("$F?\r\n", "F:1\r", 80);
        f->port.setReply("$G1?\r\n", "G:0 10\r", 10);
        int dialogs = 0;
        cFileDialog::SetShowHandler([&dialogs](cFileDialog &, bool) { return ++dialogs < 0; });
        QTimer::singleShot(20, f->window.get(), [this] {
            for (int i = 0; i < 4; ++i)
                QTest::mouseClick(f->window->cmdCustom[i], Qt::LeftButton);
        });
        QTest::mouseClick(f->window->cmdCustom[0], Qt::LeftButton);
        QTRY_COMPARE(f->window->pocketTable->position(0), 10);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), (QStringList{"F?", "G1?"}));
        QCOMPARE(dialogs, 0);
        cFileDialog::SetShowHandler({});
        // Once it has ended, the next press is served.
        f->window->pocketTable->setType(0, NotUsed);
        QTest::mouseClick(f->window->cmdCustom[0], Qt::LeftButton);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands().size(), 4);
    }

    void startUpMoveState()
    {
        QCOMPARE(f->window->fraMove->title(), QStringLiteral("Move"));
        QCOMPARE(f->window->spnMove->spinValue(), 1);
        QCOMPARE(f->window->lblMove->text(), QStringLiteral("1"));
        QVERIFY(f->port.written.isEmpty());
    }

    void arrowClicks_data()
    {
        QTest::addColumn<bool>("speedMode");
        QTest::addColumn<int>("from");
        QTest::addColumn<bool>("up");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<int>("to");
        QTest::newRow("up from 3") << false << 3 << true << QStringList{"B4"} << 4;
        QTest::newRow("down from 3") << false << 3 << false << QStringList{"B2"} << 2;
        QTest::newRow("speed up from 3") << true << 3 << true << QStringList{"C4"} << 4;
        QTest::newRow("up past 8") << false << 8 << true << QStringList{} << 8;
        QTest::newRow("down past 1") << false << 1 << false << QStringList{} << 1;
    }
    void arrowClicks()
    {
        QFETCH(bool, speedMode);
        QFETCH(int, from);
        QFETCH(bool, up);
        QFETCH(QStringList, commands);
        QFETCH(int, to);
        if (speedMode)
            QTest::mouseClick(f->window->optMove[1], Qt::LeftButton);
        settleSpin(*f, from);
        f->replies.clear();
        clickArrow(f->window->spnMove, up);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), commands);
        QCOMPARE(f->window->spnMove->spinValue(), to);
        QCOMPARE(f->window->lblMove->text(), QString::number(to));
    }

    void keysRaiseAndLower()
    {
        settleSpin(*f, 3);
        f->window->spnMove->setFocus();
        QTest::keyClick(f->window->spnMove, Qt::Key_Up);
        QTest::keyClick(f->window->spnMove, Qt::Key_Down);
        QTest::keyClick(f->window->spnMove, Qt::Key_Down);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), (QStringList{"B4", "B3", "B2"}));
        // The wheel turned up raises the value, one step a notch.
        const QPoint centre = f->window->spnMove->rect().center();
        QWheelEvent up(centre, f->window->spnMove->mapToGlobal(centre), {}, QPoint(0, 120),
                       Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(f->window->spnMove, &up);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands().last(), QStringLiteral("B3"));
    }

    void thumbDragSendsOnceAtRelease()
    {
        settleSpin(*f, 2);
        VerticalSpin *spin = f->window->spnMove;
        const QRect thumb = subControl(spin, QStyle::SC_ScrollBarSlider);
        const QRect groove = subControl(spin, QStyle::SC_ScrollBarGroove);
        QStringList shown;
        QTest::mousePress(spin, Qt::LeftButton, {}, thumb.center());
        for (int y = thumb.center().y(); y >= groove.top(); --y) {
            dragTo(spin, QPoint(thumb.center().x(), y));
            if (shown.isEmpty() || shown.last() != f->window->lblMove->text())
                shown << f->window->lblMove->text();
            if (spin->spinPosition() == 6)
                break;
        }
        QTest::mouseRelease(spin, Qt::LeftButton, {}, lastDrag);
        QVERIFY(f->idle());
        QCOMPARE(shown, (QStringList{"2", "3", "4", "5", "6"}));
        QCOMPARE(f->port.commands(), QStringList{"B6"});
        QCOMPARE(f->window->lblMove->text(), QStringLiteral("6"));
    }

    void changesDuringAWaitGoOutInOrder()
    {
        settleSpin(*f, 3);
        f->port.replyDelayMs = 60;
        f->port.responder = [](const QByteArray &) { return QByteArray("B:OK\r"); };
        QTimer::singleShot(20, f->window.get(), [this] { clickArrow(f->window->spnMove, true); });
        clickArrow(f->window->spnMove, true);
        QTRY_COMPARE(f->port.commands(), (QStringList{"B4", "B5"}));
        QTRY_COMPARE(f->window->lblMove->text(), QStringLiteral("5"));
    }

    void modeChangeSendsNothing()
    {
        settleSpin(*f, 4);
        QTest::mouseClick(f->window->optMove[1], Qt::LeftButton);
        QCOMPARE(f->window->fraMove->title(), QStringLiteral("Speed"));
        QTest::mouseClick(f->window->optMove[0], Qt::LeftButton);
        QCOMPARE(f->window->fraMove->title(), QStringLiteral("Move"));
        QCOMPARE(f->window->lblMove->text(), QStringLiteral("4"));
        QVERIFY(f->port.written.isEmpty());
    }

    void controlRead_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("io");
        QTest::addColumn<bool>("comm");
        QTest::newRow("1 selects Comm") << QByteArray("A:1\r") << false << true;
        QTest::newRow("0 selects I/O") << QByteArray("A:0\r") << true << false;
        QTest::newRow("2 changes nothing") << QByteArray("A:2\r") << true << false;
        QTest::newRow("short reply") << QByteArray("A\r") << true << false;
        QTest::newRow("timeout") << QByteArray() << true << false;
    }
    void controlRead()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, io);
        QFETCH(bool, comm);
        f->window->optManAuto[0]->setChecked(true);
        if (!reply.isEmpty())
            f->replies["A?"] = reply;
        QTest::mouseClick(f->window->cmdControl[0], Qt::LeftButton);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), QStringList{"A?"});
        QCOMPARE(f->window->optManAuto[0]->isChecked(), io);
        QCOMPARE(f->window->optManAuto[1]->isChecked(), comm);
    }

    void controlSend()
    {
        QTest::mouseClick(f->window->cmdControl[1], Qt::LeftButton);
        QVERIFY(f->port.written.isEmpty());
        QTest::mouseClick(f->window->optManAuto[1], Qt::LeftButton);
        QTest::mouseClick(f->window->cmdControl[1], Qt::LeftButton);
        QTest::mouseClick(f->window->optManAuto[0], Qt::LeftButton);
        QTest::mouseClick(f->window->cmdControl[1], Qt::LeftButton);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), (QStringList{"A1", "A0"}));
    }

    void switches_data()
    {
        QTest::addColumn<bool>("rear");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("front NUL") << false << QByteArray("I:\0\x05\r", 5) << "0";
        QTest::newRow("front 0x0A") << false << QByteArray("I:\x0A\x05\r") << "A";
        QTest::newRow("front 255") << false << QByteArray("I:\xFF\x05\r") << "FF";
        QTest::newRow("rear 200") << true << QByteArray("I:\x01\xC8\r") << "C8";
        QTest::newRow("rear, three characters") << true << QByteArray("I:\r") << "old";
        QTest::newRow("front, timeout") << false << QByteArray() << "old";
        QTest::newRow("rear, partial reply timeout") << true << QByteArray("I:\x01\x02") << "old";
    }
    void switches()
    {
        QFETCH(bool, rear);
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        f->window->lblSwitch->setText("old");
        if (rear)
            QTest::mouseClick(f->window->optSwitch[1], Qt::LeftButton);
        if (!reply.isEmpty())
            f->replies["I"] = reply;
        QTest::mouseClick(f->window->cmdSwitches, Qt::LeftButton);
        QVERIFY(f->idle());
        QCOMPARE(f->port.commands(), QStringList{"I"});
        QCOMPARE(f->window->lblSwitch->text(), shown);
    }
};

QTEST_MAIN(TestOperation)
#include "tst_operation.moc"
