// The main window on a fake port. Most cases are transcripts, one line each, read left to right:
//   CMD=REPLY    the indexer's answer to CMD from now on ("%XX" a byte in hex, "%0D" the CR;
//                "_" a blank; nothing after "=": no answer)
//   delay=MS     answers come MS later
//   tick         one status poll      up, down   the spin's arrows   key:Up, key:Down, wheel
//   at:N         the indexer at pocket and speed N and ready, polled once, the traffic forgotten
//   spin=N       the value set as a program would            click:NAME   a mouse click
//   clear        forget what was written so far        type:NAME=TEXT   text typed into a box
//   CommPort:N   the setting, as start-up left it      ports:1,2   the devices that exist
//   closeport    the port closed (never failed)
//   sent:A,B     the commands written so far ("_" a blank)
//   NAME==TEXT   what a control shows: a label's, box's or frame's text, an option's or lamp's
//                1 or 0, the spin's value; CommPort==N the setting
// Checks first wait until the link is idle (and a display frame for what it shows).
#include "cFileDialog.h"
#include "controls.h"
#include "frmComm.h"
#include "lamp.h"
#include "mainfixture.h"
#include "pockettable.h"
#include "verticalspin.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

namespace
{
QRect subControl(VerticalSpin *spin, QStyle::SubControl which)
{
    QStyleOptionSlider option;
    option.initFrom(spin);
    option.orientation = Qt::Vertical;
    option.minimum = spin->minimum();
    option.maximum = spin->maximum();
    option.sliderPosition = spin->sliderPosition();
    option.sliderValue = spin->value();
    option.pageStep = 1;
    option.subControls = QStyle::SC_All;
    return spin->style()->subControlRect(QStyle::CC_ScrollBar, &option, which, spin);
}

// Counts the paint events of the widgets it filters.
struct PaintCount : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

QString shownBy(QWidget *widget)
{
    if (auto *spin = qobject_cast<VerticalSpin *>(widget))
        return QString::number(spin->spinValue());
    if (auto *lamp = qobject_cast<Lamp *>(widget))
        return QString::number(lamp->isOn());
    if (auto *option = qobject_cast<QRadioButton *>(widget))
        return QString::number(option->isChecked());
    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        return frame->title();
    if (auto *label = qobject_cast<QLabel *>(widget)) // without the line break chances
        return label->text().remove(QChar(0x200B));
    if (auto *box = qobject_cast<QLineEdit *>(widget))
        return box->text();
    if (auto *list = qobject_cast<QComboBox *>(widget))
        return list->currentText();
    return QStringLiteral("?");
}

// Runs one transcript on the window; the first step that does not hold fails the test.
void play(MainFixture &f, const QString &transcript)
{
    frmMain *w = f.window.get();
    VerticalSpin *spin = control<VerticalSpin>(w, "spnMove");
    const auto unescape = [](const QString &text) {
        return QByteArray::fromPercentEncoding(text.toLatin1().replace('_', ' '));
    };
    for (const QString &step : transcript.split(u' ', Qt::SkipEmptyParts)) {
        const QString arg = step.section(u':', 1);
        if (step.startsWith(QLatin1String("CommPort=="))) {
            QVERIFY(f.idle());
            QCOMPARE(CommPort, qint16(step.mid(10).toInt()));
        } else if (step.startsWith(QLatin1String("CommPort:"))) {
            CommPort = qint16(arg.toInt());
        } else if (step.startsWith(QLatin1String("ports:"))) {
            f.port.existingPorts.clear();
            for (const QString &n : arg.split(u','))
                f.port.existingPorts << n.toInt();
        } else if (step.startsWith(QLatin1String("type:"))) {
            auto *box = w->findChild<QLineEdit *>(arg.section(u'=', 0, 0));
            QVERIFY2(box, qPrintable(step));
            box->setText(QString::fromLatin1(unescape(arg.section(u'=', 1))));
        } else if (step.contains(QLatin1String("=="))) {
            QVERIFY(f.idle());
            QWidget *widget = w->findChild<QWidget *>(step.section(QLatin1String("=="), 0, 0));
            QVERIFY2(widget, qPrintable(step));
            // The status word may take a display frame to reach the label.
            const QString expected = QString::fromLatin1(unescape(step.section("==", 1)));
            QString shown;
            const bool same =
                QTest::qWaitFor([&] { return (shown = shownBy(widget)) == expected; }, 100);
            QVERIFY2(same, qPrintable(step + QStringLiteral(" but shows ") + shown));
        } else if (step.startsWith(QLatin1String("sent:"))) {
            QVERIFY(f.idle());
            const QString sent = f.port.commands().join(u',');
            QVERIFY2(sent == QString::fromLatin1(unescape(arg)),
                     qPrintable(step + QStringLiteral(" but sent ") + sent));
        } else if (step.startsWith(QLatin1String("delay="))) {
            f.port.replyDelayMs = step.mid(6).toInt();
        } else if (step.startsWith(QLatin1String("spin="))) {
            spin->setSpinValue(step.mid(5).toInt());
        } else if (step.contains(u'=')) {
            f.replies[QString::fromLatin1(unescape(step.section(u'=', 0, 0)))] =
                unescape(step.section(u'=', 1));
        } else if (step.startsWith(QLatin1String("at:"))) {
            for (const char *query : {"B?", "C?"})
                f.replies[query] = query[0] + (':' + arg.toLatin1()) + '\r';
            for (const QString &move :
                 QStringLiteral("B1 B2 B3 B4 B5 B6 B7 B8 C1 C2 C3 C4 C5 C6 C7 C8").split(u' '))
                f.replies.insert(move, "ok\r"); // moves answered, unless a step says otherwise
            f.replies["D?"] = "D:R\r";
            w->tmrUpdate_Timer();
            QVERIFY(f.idle());
            f.port.written.clear();
        } else if (step == QLatin1String("tick")) {
            w->tmrUpdate_Timer();
        } else if (step == QLatin1String("closeport")) {
            f.port.close();
        } else if (step == QLatin1String("clear")) {
            QVERIFY(f.idle());
            f.port.written.clear();
        } else if (step == QLatin1String("up") || step == QLatin1String("down")) {
            const auto arrow =
                step == u"up" ? QStyle::SC_ScrollBarSubLine : QStyle::SC_ScrollBarAddLine;
            QTest::mouseClick(spin, Qt::LeftButton, {}, subControl(spin, arrow).center());
        } else if (step.startsWith(QLatin1String("key:"))) {
            spin->setFocus();
            QTest::keyClick(spin, arg == u"Up" ? Qt::Key_Up : Qt::Key_Down);
        } else if (step == QLatin1String("wheel")) {
            const QPoint at = spin->rect().center();
            QWheelEvent wheel(at, spin->mapToGlobal(at), {}, QPoint(0, 120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(spin, &wheel);
        } else if (step.startsWith(QLatin1String("click:"))) {
            auto *widget = w->findChild<QWidget *>(arg);
            QVERIFY2(widget, qPrintable(step));
            QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() / 2));
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
}
} // namespace

class TestFrmMain : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainFixture> f;
    frmMain *w = nullptr;

private Q_SLOTS:
    void init()
    {
        f = std::make_unique<MainFixture>();
        w = f->window.get();
        control<QTimer>(w, "tmrUpdate")->stop(); // ticks are run by hand
        w->show();
        QVERIFY(f->idle());
    }
    void cleanup() { f.reset(); }

    void transcript_data()
    {
        QTest::addColumn<QString>("steps");
        const auto row = [](const char *name, const char *steps) {
            QTest::newRow(name) << QString::fromLatin1(steps);
        };
        // The poll: the value query of the mode, then "D?"; the display follows the indexer but
        // nothing is sent; no pocket shows "?".
        row("pocket 1", "B?=B:1%0D D?=D:M%0D tick sent:B?,D? lblPocket==1 spnMove==1 lblMove==1 "
                        "ledReady==0 ledMoving==1");
        row("pocket 8", "B?=B:8%0D D?=D:R%0D tick sent:B?,D? lblPocket==8 spnMove==8 ledReady==1");
        for (const char *reply : {"B:0", "B:9", "B:x", "B"})
            QTest::addRow("pocket reply %s", reply)
                << "at:5 B?=" + QString::fromLatin1(reply) +
                       "%0D tick lblPocket==? spnMove==5 ledReady==1";
        row("timeouts", "B?= D?= tick sent:B?,D? lblPocket==? ledReady==0 ledMoving==0 "
                        "lblComm==Timeout");
        row("motion m or short", "D?=D:m%0D tick ledReady==0 ledMoving==0 D?=D%0D tick "
                                 "ledReady==0 ledMoving==0");
        row("speed 1 and 8", "click:optMove_1 C?=C:1%0D tick sent:C?,D? spnMove==1 lblPocket==? "
                             "C?=C:8%0D tick spnMove==8 lblMove==8 fraMove==Speed");
        row("speed 9 or timeout", "click:optMove_1 C?=C:3%0D D?=D:R%0D tick C?=C:9%0D tick "
                                  "spnMove==3 C?= tick spnMove==3 lblComm==Ready");
        // Manual move: arrows, keys and the wheel step by one; the command goes out and the
        // display follows; the ends of the range send nothing; a mode change sends nothing.
        row("arrows", "at:5 up sent:B6 lblMove==6 down down sent:B6,B5,B4");
        row("speed arrow", "at:5 click:optMove_1 up sent:C6 lblMove==6");
        row("keys and wheel", "at:5 key:Up sent:B6 key:Down key:Down wheel sent:B6,B5,B5");
        row("top end", "at:8 up key:Up sent: spnMove==8");
        row("bottom end", "at:1 down key:Down sent: spnMove==1");
        row("mode change", "at:5 click:optMove_1 click:optMove_0 sent: lblMove==5 fraMove==Move");
        row("changes while waiting", "at:5 delay=60 B6=ok%0D spin=6 spin=7 sent:B6,B7 lblMove==7");
        // A move into a line that timed out and does not drain is never sent: the display
        // goes back to the indexer's value.
        row("unsent move", "at:5 A?= D?= click:cmdControl_0 up spnMove==5 lblMove==5");
        // Control and switches.
        row("control read", "A?=A:1%0D click:cmdControl_0 sent:A? optManAuto_1==1 A?=A:0%0D "
                            "click:cmdControl_0 optManAuto_0==1 A?=A:2%0D click:cmdControl_0 "
                            "optManAuto_0==1 A?= click:cmdControl_0 optManAuto_0==1");
        row("control send", "click:cmdControl_1 sent: click:optManAuto_1 click:cmdControl_1 "
                            "click:optManAuto_0 click:cmdControl_1 sent:A1,A0");
        row("front switches", "I=I:%00%05%0D click:cmdSwitches lblSwitch==0 "
                              "I=I:%0A%05%0D click:cmdSwitches lblSwitch==A "
                              "I=I:%FF%05%0D click:cmdSwitches lblSwitch==FF "
                              "I= click:cmdSwitches lblSwitch==FF");
        row("rear switches", "click:optSwitch_1 I=I:%01%C8%0D click:cmdSwitches lblSwitch==C8 "
                             "I=I:%0D click:cmdSwitches lblSwitch==C8 I=I:%01%02 "
                             "click:cmdSwitches lblSwitch==C8");
        // Each button has its own latest request: a send does not replace a waiting read.
        row("read, then send", "click:optManAuto_0 delay=40 A?=A:1%0D B?=B:6%0D tick "
                               "click:cmdControl_0 click:cmdControl_1 sent:B?,D?,A?,A0");
        // A tick while a command waits polls behind it, and once only while its poll waits; a
        // button during a poll gets its own reply.
        row("tick while busy", "delay=50 A?=A:1%0D click:cmdControl_0 tick tick sent:A?,B?,D?");
        // The setup dialog as a client of the window's link.
        row("dialog send", "click:cmdComm type:txtSend=_G1_0_045_ _G1_0_045_=G:OK%0D "
                           "click:cmdSend txtRcv==G:OK\\r type:txtSend= click:cmdSend "
                           "txtRcv==Timeout_ sent:_G1_0_045_,");
        row("dialog choice", "CommPort:3 click:cmdComm optComPort_3==1 cboDevice==/dev/ttyS2 "
                             "sent: CommPort==3");
        row("dialog on Ethernet", "CommPort:5 closeport click:cmdComm lblPortError== "
                                  "optCommPort_5==1 click:optComPort_1 click:cmdFind CommPort==1");
        row("dialog missing port", "ports:1 click:cmdComm click:optComPort_4 click:cmdFind "
                                   "txtRcv==Timeout_ lblPortError==COM4_(/dev/ttyS3)_not_found "
                                   "CommPort==4 sent:");
        row("button during a poll", "delay=40 B?=B:6%0D D?=D:R%0D A?=A:1%0D tick "
                                    "click:cmdControl_0 sent:B?,D?,A? lblPocket==6 "
                                    "optManAuto_1==1 ledReady==1");
    }
    void transcript()
    {
        QFETCH(QString, steps);
        play(*f, steps);
    }

    void windowIsCentredAndNothingIsCutOff()
    {
        const QPoint offset =
            w->frameGeometry().center() - w->screen()->availableGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QString::number(offset.x())));
        QCOMPARE(w->windowTitle(), QStringLiteral("RV-360 Crucible Indexer - V1.01"));
        for (QWidget *widget : w->findChildren<QWidget *>()) {
            const QString name = widget->objectName();
            if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
                continue;
            QVERIFY2(widget->parentWidget()->rect().contains(widget->geometry()), qPrintable(name));
            QString text;
            if (auto *button = qobject_cast<QAbstractButton *>(widget))
                text = button->text().remove(QLatin1Char('&'));
            else if (auto *label = qobject_cast<QLabel *>(widget))
                text = label->text();
            const int room = widget->width() - (qobject_cast<QRadioButton *>(widget) ? 20 : 4);
            QVERIFY2(widget->fontMetrics().horizontalAdvance(text) <= room, qPrintable(name));
        }
        for (const char *name : {"cmdExit", "cmdComm", "lblComm", "lblPocket", "ledReady",
                                 "lblbMoving", "spnMove", "cmdCustom_3", "cboLocation_7"})
            QVERIFY2(w->findChild<QWidget *>(name), name);
    }

    // Scripts that keep the line busy: the poll is served every tick, the display follows the
    // indexer within a poll period and a transaction, and the operator's move goes out.
    void scriptsDoNotStarveThePoll()
    {
        f->replies = {{"B?", "B:2\r"}, {"D?", "D:R\r"}, {"A?", "A:1\r"}, {"B8", "B:OK\r"}};
        f->port.replyDelayMs = 20;
        QObject scripts; // sixteen, each asking again once answered (or soon after a refusal)
        std::function<void()> ask = [&] {
            w->link().SendCommand(
                "A?", &scripts,
                [&](const IndexerLink::Reply &r) {
                    QTimer::singleShot(r.timedOut * 10, &scripts, ask);
                },
                IndexerLink::Lane::Script);
        };
        for (int i = 0; i < 16; ++i)
            ask();
        control<QTimer>(w, "tmrUpdate")->start();
        QTest::qWait(1600); // start-up's poll and three or four ticks
        QVERIFY(f->port.written.count("$B?\r\n") >= 4);
        f->replies["B?"] = "B:7\r";
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(w, "lblPocket")->text(), QStringLiteral("7"),
                                  1000);
        control<VerticalSpin>(w, "spnMove")->setSpinValue(8);
        QTRY_VERIFY(f->port.commands().contains("B8"));
    }

    // Start-up: the port opens and the poll starts at once; a port that fails brings the setup
    // dialog beside the window, an Ethernet choice that cannot be opened too.
    void startUp()
    {
        const std::pair<QByteArray, bool> cases[] = {
            {{}, true}, {{}, false}, {"[Application]\r\nCommPort=5\r\n", true}};
        for (const auto &[settings, portExists] : cases) {
            const bool polling = portExists && settings.isEmpty();
            f.reset();
            f = std::make_unique<MainFixture>(false);
            w = f->window.get();
            if (!settings.isEmpty())
                QVERIFY(ReplaceFileAtomically(SettingsFilePath(), settings));
            if (!portExists)
                f->port.existingPorts.clear();
            f->replies["B?"] = "B:4\r";
            w->show();
            w->Form_Load();
            QCOMPARE(control<QLabel>(w, "lblComm")->text(), QStringLiteral("Busy"));
            QCOMPARE(control<QTimer>(w, "tmrUpdate")->isActive(), polling);
            QCOMPARE(control<QTimer>(w, "tmrUpdate")->interval(), 500);
            QCOMPARE(frmComm::instance() != nullptr, !polling);
            if (!polling)
                QVERIFY(frmComm::instance()->x() > w->x() + w->width() / 2);
            QVERIFY(f->port.written.isEmpty());
            // The first look at the indexer comes on the next turn of the event loop.
            QTest::qWait(100);
            QCOMPARE(f->port.commands(), polling ? (QStringList{"B?", "D?"}) : QStringList());
            QCOMPARE(control<QLabel>(w, "lblPocket")->text(),
                     polling ? QStringLiteral("4") : QStringLiteral("?"));
        }
    }

    // Close writes the settings and closes the setup dialog first; Exit writes nothing. A
    // command that waits meanwhile is dropped, not called back; the poll stays off.
    void ending_data()
    {
        QTest::addColumn<bool>("exit");
        QTest::newRow("close") << false;
        QTest::newRow("Exit") << true;
    }
    void ending()
    {
        QFETCH(bool, exit);
        control<QTimer>(w, "tmrUpdate")->start();
        QTest::mouseClick(control<QPushButton>(w, "cmdComm"), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(w, "cmdComm"), Qt::LeftButton);
        const QPointer<frmComm> dialog = frmComm::instance();
        QVERIFY(dialog && !control<QTimer>(w, "tmrUpdate")->isActive());
        QCOMPARE(w->findChildren<frmComm *>().size(), 1);
        bool mainVisibleWhenDialogClosed = false;
        connect(dialog, &QDialog::finished, w,
                [&] { mainVisibleWhenDialogClosed = w->isVisible(); });
        play(*f, "delay=50 I=I:AB%0D click:cmdSwitches");
        CommPort = 3;
        if (exit)
            QTest::mouseClick(control<QPushButton>(w, "cmdExit"), Qt::LeftButton);
        else
            QVERIFY(w->close());
        QCOMPARE(f->exits, exit ? 1 : 0);
        QCOMPARE(contentsOf(SettingsFilePath()),
                 exit ? QByteArray("[Application]\r\n")
                      : QByteArray("[Application]\r\nCommPort=3\r\nEPort=-1"
                                   "\r\nEAddr=0.0.0.0\r\nConfigFile="
                                   "RV360.cfg\r\n"));
        QCOMPARE(mainVisibleWhenDialogClosed, !exit);
        QVERIFY(f->home.messages.isEmpty());
        QVERIFY(!control<QTimer>(w, "tmrUpdate")->isActive());
        QTest::qWait(100);
        QCOMPARE(control<QLabel>(w, "lblSwitch")->text(), QString());
        w->cmdControl_Click(0);
        QCOMPARE(f->port.commands(), QStringList{"I"});
    }

    // Close closes the other windows first: one that refuses gives one message and the program
    // still ends; a hidden one is left alone.
    void otherWindowsOnClose_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::newRow("shown") << true;
        QTest::newRow("hidden") << false;
    }
    void otherWindowsOnClose()
    {
        QFETCH(bool, shown);
        struct Stubborn : QWidget {
            void closeEvent(QCloseEvent *event) override { event->ignore(); }
        } stubborn;
        stubborn.setWindowTitle(QStringLiteral("Stubborn"));
        stubborn.setVisible(shown);
        QVERIFY(w->close());
        QCOMPARE(f->home.messages,
                 shown ? QStringList{"CloseForms: Error: 75. The window \"Stubborn\" "
                                     "could not be closed."}
                       : QStringList());
    }

    // A lamp that changes is painted again, in its new colour.
    void lampRepaintsOnChange()
    {
        PaintCount count;
        QVERIFY(QTest::qWaitForWindowExposed(w));
        control<Lamp>(w, "ledMoving")->installEventFilter(&count);
        QTest::qWait(50);
        count.paints = 0;
        control<Lamp>(w, "ledMoving")->setOn(true);
        QTRY_VERIFY(count.paints > 0);
        const QImage image = control<Lamp>(w, "ledMoving")->grab().toImage();
        QCOMPARE(image.pixelColor(image.rect().center()), Lamp::onColor());
        QCOMPARE(control<Lamp>(w, "ledMoving")->accessibleDescription(),
                 QStringLiteral("on")); // screen readers
    }

    // A drag sends once, at release, even when a poll comes while the thumb is held.
    void thumbDragSendsOnceAtRelease()
    {
        play(*f, "at:2");
        VerticalSpin *spin = control<VerticalSpin>(w, "spnMove");
        // A short thumb between arrows of the style's size: eight values fit the travel.
        const QRect thumb = subControl(spin, QStyle::SC_ScrollBarSlider);
        QVERIFY(thumb.height() <= 8 && subControl(spin, QStyle::SC_ScrollBarSubLine).height() > 8);
        QStringList shown{control<QLabel>(w, "lblMove")->text()};
        QTest::mousePress(spin, Qt::LeftButton, {}, thumb.center());
        QPoint at = thumb.center();
        while (spin->spinPosition() < 6 && at.y() > 0) {
            at.ry() -= 1;
            QMouseEvent move(QEvent::MouseMove, at, spin->mapToGlobal(at), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(spin, &move);
            if (shown.last() != control<QLabel>(w, "lblMove")->text())
                shown << control<QLabel>(w, "lblMove")->text();
        }
        play(*f, "tick clear"); // the mouse rests through a poll that reports pocket 2
        QTest::mouseRelease(spin, Qt::LeftButton, {}, at);
        QCOMPARE(shown.join(' '), QStringLiteral("2 3 4 5 6"));
        play(*f, "sent:B6 lblMove==6");
    }

    // Screen readers and UI automation read and set the value the operator sees.
    void spinAccessibleValue()
    {
        play(*f, "at:2");
        QAccessibleInterface *spin =
            QAccessible::queryAccessibleInterface(control<VerticalSpin>(w, "spnMove"));
        QAccessibleValueInterface *value = spin ? spin->valueInterface() : nullptr;
        QVERIFY(value);
        QCOMPARE(value->currentValue().toInt(), 2);
        QCOMPARE(value->minimumValue().toInt(), 1);
        QCOMPARE(value->maximumValue().toInt(), 8);
        QCOMPARE(spin->text(QAccessible::Value), QStringLiteral("2"));
        QVERIFY(spin->actionInterface()); // the widget's own interfaces are kept
        value->setCurrentValue(4);
        play(*f, "sent:B4 lblMove==4");
    }

    // Read fills the table from the indexer and Send sends it; presses while a transfer waits
    // are ignored.
    void transfers()
    {
        QString dialogs; // o: open, s: save
        cFileDialog::SetShowHandler([&dialogs](cFileDialog &, bool fOpen) {
            dialogs += fOpen ? u'o' : u's';
            return false;
        });
        play(*f, "delay=40 F?=F:2%0D G1?=G:0_10%0D G2?=G:2_200%0D click:cmdCustom_0 "
                 "click:cmdCustom_0 click:cmdCustom_1 click:cmdCustom_2 click:cmdCustom_3 "
                 "sent:F?,G1?,G2? clear");
        QCOMPARE(dialogs, QString());
        QCOMPARE(control<PocketTable>(w, "pocketTable")->cboMode[1]->currentText(),
                 QStringLiteral("End Banana"));
        QCOMPARE(control<PocketTable>(w, "pocketTable")->type(8), -1); // there is no ninth pocket
        play(*f, "click:cmdCustom_1 sent:F2,G1_0_010,G2_2_200 click:cmdCustom_2 click:cmdCustom_3");
        QCOMPARE(dialogs, QStringLiteral("os"));
        cFileDialog::SetShowHandler({});
    }

    // With no capture installed, the program's own message box shows the error.
    void errorMessageBox()
    {
        SetErrorMessageHandler({});
        QString seen;
        QTimer::singleShot(0, w, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            seen = box->windowTitle() + u'|' + box->text();
            box->done(0);
        });
        ShowErrorMessage(QStringLiteral("SaveConfigFile"), 75, QStringLiteral("disk full"));
        QCOMPARE(seen, QStringLiteral("SaveConfigFile|Error: 75. disk full"));
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
