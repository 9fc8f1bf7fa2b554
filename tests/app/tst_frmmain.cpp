// The main window on a fake port. Most cases are transcripts, one line each, read left to right:
//   CMD=REPLY    the indexer's answer to CMD from now on ("%XX" a byte in hex, "%0D" the CR;
//                "_" a blank; nothing after "=": no answer)
//   delay=MS     answers come MS later
//   tick         one status poll      up, down, pageup   the spin's keys
//   at:N         the indexer at pocket and speed N and ready, polled once, the traffic forgotten
//   spin=N       the value set as a program would            click:NAME   a mouse click
//   clear        forget what was written so far
//   NAME==TEXT   what a control shows: a label's or frame's text, an option's, check box's or
//                lamp's 1 or 0, whether a button is shown, the spin's value; CommPort==N the
//                setting; sent==A,B the commands written so far ("_" a blank); NAME^=TEXT what
//                it shows begins so; NAME.tip==TEXT its tool tip; said==TEXT the reply the
//                last message names; NAME.heard==TEXT its accessible name, what a screen
//                reader says of it. A label's text that its accessible name leaves out shows
//                as "?TEXT".
//   limit:S      the moves' time limit          wait:MS   time passes
//   inhibit:R    a script inhibits moves for reason R     port:P, off:WHY  the instrument port at
//                P, or off for a setting's reason WHY
//   port:P, holder:W, clients:A,B   the instrument port listens at P, W holds control, A and B
//                are connected          web:URL, weboff:WHY  the web page at URL, or off for WHY
//   type:NAME:T  T typed into a text box, then the box left
// Checks first wait until the link is idle (and a display frame for what it shows).
#include "cFileDialog.h"
#include "controls.h"
#include "fakeserialport.h"
#include "frmComm.h"
#include "frmMain.h"
#include "indexerlink.h"
#include "instrumentport.h"
#include "instrumentsettings.h"
#include "lamp.h"
#include "modFormUtil.h"
#include "motionstrip.h"
#include "motionsupervisor.h"
#include "pockettable.h"
#include "settings.h"
#include "testhome.h"
#include "verticalspin.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStyleOptionSlider>
#include <QTest>
#include <csignal>
#include <sys/wait.h>

namespace
{
// A main window on a fake port, in a program directory of its own, shown and loaded as the
// program does. Replies come from a table of command -> reply bytes.
struct MainFixture {
    TestHome home;
    FakeSerialPort port;
    std::unique_ptr<frmMain> window;
    QHash<QString, QByteArray> replies;
    int exits = 0;

    explicit MainFixture(bool portExists = true)
    {
        CommPort = 1;
        if (!portExists)
            port.existingPorts.clear();
        port.responder = [this](const QByteArray &frame) {
            return replies.value(QString::fromLatin1(frame.mid(1, frame.size() - 3)));
        };
        window = std::make_unique<frmMain>(&port);
        window->setExitHandler([this] { ++exits; });
        window->show();
        window->Form_Load();
    }
};

// Counts the timer events of every object while installed on the application.
struct Wakes : QObject {
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::Timer;
        return false;
    }
};

// A window that refuses to close.
struct Stubborn : QWidget {
    void closeEvent(QCloseEvent *event) override { event->ignore(); }
};

QString shownBy(MainFixture &f, const QString &name)
{
    frmMain *w = f.window.get();
    if (name == u"sent")
        return f.port.commands().join(u',');
    if (name == u"CommPort")
        return QString::number(CommPort);
    if (name == u"said") // the reply the last message names
        return f.home.messages.value(f.home.messages.size() - 1).section(u'"', 1, 1);
    if (name.endsWith(u".tip"))
        return control<QWidget>(w, name.chopped(4))->toolTip();
    const auto heard = [](QWidget *widget) {
        return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
    };
    if (name.endsWith(u".heard"))
        return heard(control<QWidget>(w, name.chopped(6)));
    QWidget *widget = control<QWidget>(w, name);
    if (auto *spin = qobject_cast<VerticalSpin *>(widget))
        return QString::number(spin->spinValue());
    if (auto *lamp = qobject_cast<Lamp *>(widget)) { // as painted; screen readers are told so
        const QImage shown = w->screen()->grabWindow(w->winId()).toImage();
        const bool on = shown.pixelColor(lamp->mapTo(w, lamp->rect().center())) == Lamp::onColor();
        return lamp->accessibleDescription() == (on ? u"on" : u"off") ? QString::number(on) : "?";
    }
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) // a push button: whether shown
        return QString::number(button->isCheckable() ? button->isChecked() : button->isVisible());
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return edit->text();
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        return combo->currentText();
    if (auto *label = qobject_cast<QLabel *>(widget)) {           // without the line break chances
        const QString text = label->text().remove(QChar(0x200B)); // cut ("..."), the rest heard
        const QString said = heard(label).remove(QChar(0x200B));
        return said.contains(QString(text).remove(QChar(0x2026))) ? text : u'?' + text;
    }
    return qobject_cast<QGroupBox *>(widget)->title();
}

// Runs one transcript on the window; the first step that does not hold fails the test.
void play(MainFixture &f, const QString &transcript)
{
    frmMain *w = f.window.get();
    VerticalSpin *spin = control<VerticalSpin>(w, "spnMove");
    // Every queued command has had its result: the link is idle again.
    const auto idle = [w] { return QTest::qWaitFor([w] { return !w->link().isBusy(); }, 5000); };
    const auto unescape = [](const QString &text) {
        return QString::fromLatin1(
            QByteArray::fromPercentEncoding(text.toLatin1().replace('_', ' ')));
    };
    const QHash<QString, Qt::Key> keys = {
        {"up", Qt::Key_Up}, {"down", Qt::Key_Down}, {"pageup", Qt::Key_PageUp}};
    for (const QString &step : transcript.split(u' ', Qt::SkipEmptyParts)) {
        const QString arg = step.section(u':', 1);
        const QString check = step.contains(u"^=") ? "^=" : "==";
        if (step.contains(check)) {
            QVERIFY(idle());
            // The status word may take a display frame to reach the label.
            const QString expected = unescape(step.section(check, 1));
            QString shown;
            const auto holds = [&] {
                shown = shownBy(f, step.section(check, 0, 0));
                return check == u"^=" ? shown.startsWith(expected) : shown == expected;
            };
            QVERIFY2(QTest::qWaitFor(holds, 100), qPrintable(step + " but shows " + shown));
        } else if (step.startsWith(QLatin1String("inhibit:"))) {
            w->motion().setInhibit(true, unescape(arg), QStringLiteral("script uid=1000 pid=4242"));
        } else if (step.startsWith(QLatin1String("port:"))) {
            w->motion().setRemotePort(arg);
        } else if (step.startsWith(QLatin1String("off:"))) {
            w->motion().setRemotePort({}, unescape(arg));
        } else if (step.startsWith(QLatin1String("web:"))) {
            w->strip().showWebPage(arg, {});
        } else if (step.startsWith(QLatin1String("weboff:"))) {
            w->strip().showWebPage({}, unescape(arg));
        } else if (step.startsWith(QLatin1String("holder:"))) {
            w->motion().takeRemote(&f, arg);
        } else if (step.startsWith(QLatin1String("clients:"))) {
            w->motion().setRemoteClients(arg.split(u','));
        } else if (step.startsWith(QLatin1String("limit:"))) {
            w->motion().setTimeLimit(arg.toInt());
        } else if (step.startsWith(QLatin1String("type:"))) {
            auto *edit = control<QLineEdit>(w, arg.section(u':', 0, 0));
            edit->setText(unescape(arg.section(u':', 1)));
            QFocusEvent leave(QEvent::FocusOut);
            QCoreApplication::sendEvent(edit, &leave);
        } else if (step.startsWith(QLatin1String("wait:"))) {
            QTest::qWait(arg.toInt());
        } else if (step.startsWith(QLatin1String("delay="))) {
            f.port.replyDelayMs = step.mid(6).toInt();
        } else if (step.startsWith(QLatin1String("spin="))) {
            spin->setSpinValue(step.mid(5).toInt());
        } else if (step.contains(u'=')) {
            f.replies[step.section(u'=', 0, 0)] = unescape(step.section(u'=', 1)).toLatin1();
        } else if (step.startsWith(QLatin1String("at:"))) {
            for (const QString &move :
                 QStringLiteral("B1 B2 B3 B4 B5 B6 B7 B8 C1 C2 C3 C4 C5 C6 C7 C8").split(u' '))
                f.replies.insert(move, "ok\r"); // moves answered, unless a step says otherwise
            play(f, "B?=B:" + arg + "%0D C?=C:" + arg + "%0D D?=D:R%0D tick clear");
        } else if (step == QLatin1String("tick")) {
            w->tmrUpdate_Timer();
        } else if (step == QLatin1String("clear")) {
            QVERIFY(idle());
            f.port.written.clear();
        } else if (keys.contains(step)) {
            QTest::keyClick(spin, keys[step]);
        } else if (step.startsWith(QLatin1String("click:"))) {
            QWidget *widget = control<QWidget>(w, arg);
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
    }
    void cleanup() { f.reset(); }

    void transcript_data()
    {
        QTest::addColumn<QString>("steps");
        const auto row = [](const char *name, const QByteArray &steps) {
            QTest::newRow(name) << QString::fromLatin1(steps);
        };
        // The poll: the value query of the mode, then "D?"; the display follows the indexer but
        // nothing is sent; no pocket shows "?" and leaves the spin, and a motion other than M or R
        // lights no lamp.
        row("pocket",
            "B?=B:8%0D D?=D:M%0D tick sent==B?,D? lblPocket==8 spnMove==8 ledReady==0 ledMoving==1 "
            "D?=D:R%0D tick ledReady==1 ledMoving==0 D?=D%0D tick ledReady==0 ledMoving==0 B?= D?= "
            "tick lblPocket==? spnMove==8 lblComm==Timeout");
        row("speed",
            "click:optMove_1 C?=C:3%0D D?=D:R%0D tick sent==C?,D? lblPocket==? spnMove==3 "
            "lblMove==3 C?=C:9%0D tick spnMove==3 C?=C:1%0D tick spnMove==1 lblComm==Ready");
        // Manual move: the arrows step by one; the command goes out and the display
        // follows; a mode change sends nothing; quick changes while the line is slow send the
        // latest. A move into a line that timed out and does not drain is never sent: the display
        // goes back to the indexer's value, the strip says why (cut, whole in its tool tip).
        row("move", "at:5 up sent==B6 lblMove==6 down down sent==B6,B5,B4 pageup sent==B6,B5,B4,B5 "
                    "click:optMove_1 fraMove==Speed clear up sent==C6 click:optMove_0 sent==C6 "
                    "fraMove==Move at:5 delay=60 spin=6 spin=8 spin=7 sent==B6,B7 lblMove==7 at:5 "
                    "A?= D?= click:cmdControl_0 up spnMove==5 lblMove==5 lblMotion.heard==Move_"
                    "status:_Move_to_6:_\"B6\"_not_sent:_the_line_has_not_answered_since_a_timeout_"
                    "(window)");
        // Supervised moves in the strip: the move in progress, its arrival; one that does not
        // arrive in time is an alert, and so is its late arrival, until acknowledged, then the
        // last result; while moves are inhibited the spin control goes back to the indexer's
        // pocket and nothing is sent. What a screen reader hears ("heard").
        const QByteArray hv = "HV_on_while_the_chamber_is_vented_for_the_crucible_change_and_the_"
                              "cooling_water_is_off";
        row("supervised",
            "at:5 up lblMotion==Moving_to_6_(window) B?=B:6%0D tick lblMotion^=At_6_in_0. "
            "limit:1 up wait:1200 cmdAcknowledge==1 cmdAcknowledge.heard==Acknowledge "
            "lblMotion.heard==Move_status:_Pocket_7_not_reached_in_1_s:_at_6,_ready B?=B:7%0D "
            "tick wait:1000 tick lblMotion.heard^=Move_status:_Pocket_7_reached_after_1. "
            "click:cmdAcknowledge cmdAcknowledge==0 lblMotion^=Pocket_7_reached click:chkInhibit "
            "lblInhibit==Moves_inhibited:_operator_(window) clear up sent== spnMove==7 "
            "lblMotion==Move_to_8:_moves_inhibited:_operator_(window) click:chkInhibit "
            "lblInhibit== chkInhibit==0 up sent==B8 inhibit:" +
                hv + " chkInhibit==1 lblInhibit.heard==Inhibit_status:_Moves_inhibited:_" + hv +
                "_(script) lblInhibit.tip==Moves_inhibited:_" + hv +
                "_(script) click:chkInhibit lblInhibit.tip==");
        // The names: the pocket's under its number, kept over a Read from the indexer (which
        // gives no names), in the strip.
        row("names", "at:5 type:txtName_4:Ag lblPocketName==Ag F?=F:0%0D click:cmdCustom_0 "
                     "txtName_4==Ag B?=B:3%0D tick lblPocketName== type:txtName_3:Ti up up "
                     "lblMotion==Moving_to_5_Ag_(window) lblMove.tip==Ag down lblMove.tip==Ti "
                     "click:optMove_1 lblMove.tip==");
        // A Read answered with anything but a count 0 to 8, or a pocket's type and position,
        // fails naming the reply and leaves the table as it was; a pocket that does not answer
        // keeps its row, the others are read.
        row("read refused",
            "F?=F:3%0D G1?=G:0_10%0D G2?=G:1_20%0D G3?=G:2_30%0D click:cmdCustom_0 "
            "cboMode_2==End_Banana F?=?:ERR%0D click:cmdCustom_0 said==?:ERR\\r F?=D:R%0D "
            "click:cmdCustom_0 said==D:R\\r F?=F:X%0D click:cmdCustom_0 said==F:X\\r F?=E%0D "
            "click:cmdCustom_0 said==E\\r F?=F:3%0D G1?=G:2_999%0D click:cmdCustom_0 "
            "said==G:2_999\\r G1?=G:1%0D click:cmdCustom_0 said==G:1\\r "
            "cboMode_0==Discrete cboLocation_0==10 cboMode_2==End_Banana cboLocation_2==30 G1?= "
            "G2?=G:0_50%0D click:cmdCustom_0 cboLocation_0==10 cboLocation_1==50");
        // Remote control: offered once the instrument port listens, shown while a client holds
        // it, taken back by Local, which forbids it until the operator allows it again.
        row("remote",
            "click:chkRemote chkRemote==0 lblRemote==Instrument_port_off lblRemote.tip== off:bad "
            "lblRemote.tip^=Instrument_port_off:_bad port:127.0.0.1:5025 "
            "lblRemote==Instrument_port_127.0.0.1:5025 lblRemote.tip==No_clients_connected "
            "clients:127.0.0.2,127.0.0.3 lblRemote.tip==Connected:_127.0.0.2,_127.0.0.3 "
            "click:chkRemote chkRemote==1 holder:127.0.0.2 cmdLocal.heard==Local "
            "lblRemote.heard==Remote_control_status:_Remote:_127.0.0.2_has_control click:cmdLocal "
            "chkRemote==0 lblRemote==Instrument_port_127.0.0.1:5025 holder:127.0.0.2 cmdLocal==0");
        // The web page: nothing without it, its address (a link), or why a setting keeps it off.
        row("web", "lblWeb== weboff:bad_address lblWeb==Web_page_off:_check_[Web] "
                   "lblWeb.tip==Web_page_off:_bad_address_([Web]_in_RV360.INI) "
                   "web:http://127.0.0.1:8080/ lblWeb.tip== "
                   "lblWeb.heard==Web_page_status:_Web_page_http://127.0.0.1:8080/");
        // Control and switches: the source read and set, a switch byte read from either panel; no
        // reply or no byte leaves what is shown.
        row("control and switches",
            "click:cmdControl_1 sent== A?=A:0%0D click:cmdControl_0 sent==A? optManAuto_0==1 clear "
            "click:optManAuto_1 click:cmdControl_1 click:optManAuto_0 click:cmdControl_1 "
            "sent==A1,A0 I=I:%FF%05%0D click:cmdSwitches lblSwitch==FF I= click:cmdSwitches "
            "lblSwitch==FF click:optSwitch_1 I=I:%01%C8%0D click:cmdSwitches lblSwitch==C8 I=I:%0D "
            "click:cmdSwitches lblSwitch==C8");
        // Each button has its own latest request, which gets its own reply: a send does not
        // replace a waiting read, nor a button a poll. A tick while a command waits polls behind
        // it, and once only while any of its poll waits.
        row("busy",
            "click:optManAuto_0 delay=40 A?=A:1%0D B?=B:6%0D D?=D:R%0D tick click:cmdControl_0 "
            "click:cmdControl_1 sent==B?,D?,A?,A0 lblPocket==6 optManAuto_1==1 ledReady==1 clear "
            "click:cmdControl_0 tick tick sent==A?,B?,D? clear delay=150 tick wait:225 tick "
            "sent==B?,D?");
        // The setup dialog as a client of the window's link: text typed there that could move
        // the turntable never reaches the line (moves go through the move control); the port
        // chosen goes to the settings even when it does not open.
        row("dialog", "click:cmdComm type:txtSend:B6 click:cmdSend "
                      "txtRcv==Refused:_text_that_could_command_motion type:txtSend:A? "
                      "click:cmdSend sent==A? click:optCommPort_5 click:cmdFind "
                      "lblPortError==Ethernet_(192.168.1.100:1001)_not_found CommPort==5 sent==A?");
    }
    void transcript()
    {
        QFETCH(QString, steps);
        play(*f, steps);
    }

    // Start-up: centred; the port opens and the first poll comes at once, not a whole period
    // later. A port that fails brings the setup dialog beside the window, saying why.
    void startUp()
    {
        for (const bool portExists : {false, true}) {
            f.reset();
            f = std::make_unique<MainFixture>(portExists);
            w = f->window.get();
            QVERIFY((w->frameGeometry().center() - w->screen()->availableGeometry().center())
                        .manhattanLength() <= 2);
            QCOMPARE(control<QTimer>(w, "tmrUpdate")->isActive(), portExists);
            QCOMPARE(control<QTimer>(w, "tmrUpdate")->interval(), 500);
            QVERIFY(portExists ? !frmComm::instance()
                               : frmComm::instance()->x() > w->x() + w->width() / 2);
            play(*f, portExists ? "B?=B:4%0D D?=D:R%0D wait:100 sent==B?,D?"
                                : "optComPort_1==1 lblPortError==COM1_(/dev/ttyS0)_not_found");
        }
        // The pocket and the move target large; idle, the window wakes for its poll, not for each
        // display frame.
        for (const char *name : {"lblPocket", "lblMove"})
            QVERIFY(control<QLabel>(w, name)->font().pointSize() >= 2 * w->font().pointSize());
        Wakes wakes;
        qApp->installEventFilter(&wakes);
        QTest::qWait(1000);
        QVERIFY2(wakes.count < 10, qPrintable(QString::number(wakes.count)));
        // A record that cannot be written is said in the strip, after the words of the move (here
        // one at the indexer's panel) whose line it could not take.
        w->motion().setRecordFile(f->home.dir.filePath(QStringLiteral("none/moves.csv")));
        play(*f, "at:5 lblMotion==Move_record:_No_such_file_or_directory");
    }

    // Close writes the settings and closes the setup dialog with the window, and leaves hidden
    // windows alone; Exit writes nothing. A command that waits meanwhile is dropped, not called
    // back; the poll stays off.
    void ending()
    {
        for (const bool exit : {false, true}) {
            cleanup(), init();
            Stubborn hidden;
            control<QTimer>(w, "tmrUpdate")->start();
            play(*f, "click:cmdComm click:cmdComm delay=50 I=I:AB%0D click:cmdSwitches");
            const QPointer<frmComm> dialog = frmComm::instance();
            QVERIFY(dialog && !control<QTimer>(w, "tmrUpdate")->isActive());
            QCOMPARE(w->findChildren<frmComm *>().size(), 1);
            CommPort = 3;
            play(*f, "type:txtName_0:Ti");
            play(*f, exit ? "click:cmdExit" : "");
            QVERIFY(exit || w->close());
            QCOMPARE(f->exits, exit ? 1 : 0);
            QCOMPARE(contentsOf(SettingsFilePath()).contains("CommPort=3\r\n"), !exit);
            QVERIFY(contentsOf(SettingsFilePath()).contains("Name1=Ti\r\n"));
            QCOMPARE(!dialog.isNull() && dialog->isVisible(), exit);
            QVERIFY(f->home.messages.isEmpty() && !control<QTimer>(w, "tmrUpdate")->isActive());
            play(*f, "wait:100 lblSwitch==");
            w->cmdControl_Click(0);
            QCOMPARE(f->port.commands(), QStringList{"I"});
        }
    }

    // A window that refuses to close: the program's own message box says so, and the program
    // still ends.
    void stubbornWindowOnClose()
    {
        Stubborn stubborn;
        stubborn.setWindowTitle(QStringLiteral("Stubborn"));
        stubborn.show();
        SetErrorMessageHandler({});
        QString seen;
        QTimer::singleShot(0, w, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            seen = box->windowTitle() + u'|' + box->text();
            box->done(0);
        });
        QVERIFY(w->close());
        QCOMPARE(seen, "CloseForms|Error: 75. The window \"Stubborn\" could not be closed.");
        // With no other window left open, the given one is closed too.
        stubborn.hide();
        QWidget last;
        last.show();
        CloseForms(&last);
        QVERIFY(!last.isVisible());
    }

    // A drag sends once, at release, even when a poll comes while the thumb is held; the value
    // under the thumb shows on the way (the thumb is short: the eight values fit its travel).
    // Screen readers and UI automation read and set the value the operator sees.
    void thumbDragAndAccessibleValue()
    {
        play(*f, "at:2");
        VerticalSpin *spin = control<VerticalSpin>(w, "spnMove");
        QStyleOptionSlider thumb; // where the style lays the thumb out
        thumb.initFrom(spin);
        thumb.orientation = Qt::Vertical;
        thumb.minimum = spin->minimum();
        thumb.maximum = spin->maximum();
        thumb.sliderPosition = spin->sliderPosition();
        const auto part = [&](QStyle::SubControl control) {
            return spin->style()->subControlRect(QStyle::CC_ScrollBar, &thumb, control, spin);
        };
        QPoint at = part(QStyle::SC_ScrollBarSlider).center();
        QVERIFY(part(QStyle::SC_ScrollBarSlider).height() * 2 <
                part(QStyle::SC_ScrollBarGroove).height());
        QTest::mousePress(spin, Qt::LeftButton, {}, at);
        while (spin->spinPosition() < 6 && at.y() > 0)
            QTest::mouseMove(spin, at -= QPoint(0, 1));
        play(*f, "lblMove==6 tick sent==B?,D? lblMove==6 clear"); // a poll reports pocket 2
        QTest::mouseRelease(spin, Qt::LeftButton, {}, at);
        play(*f, "sent==B6 lblMove==6");
        QAccessibleInterface *access = QAccessible::queryAccessibleInterface(spin);
        QAccessibleValueInterface *value = access->valueInterface();
        QVERIFY(value && access->actionInterface()); // the widget's own interfaces are kept
        QVERIFY(!QAccessible::queryAccessibleInterface(w)->valueInterface()); // only the spin's
        QCOMPARE(QStringList({value->currentValue().toString(), value->minimumValue().toString(),
                              value->maximumValue().toString(), access->text(QAccessible::Value)}),
                 QStringList({"6", "1", "8", "6"}));
        value->setCurrentValue(4);
        play(*f, "sent==B6,B4 lblMove==4");
    }

    // The names are kept in the settings file: written as each is taken (a kill right after
    // loses none) and as the window closes (one still being typed too), shown after a restart;
    // a second of the same name (letter case ignored) is not taken.
    void namesKept()
    {
        play(*f, "type:txtName_0:Ti type:txtName_4:Au");
        if (::fork() == 0) // killed the moment after its name is taken
            play(*f, "type:txtName_2:Ni"), ::kill(::getpid(), SIGKILL);
        int status = 0;
        QVERIFY(::wait(&status) > 0 && WIFSIGNALED(status));
        QVERIFY(contentsOf(SettingsFilePath()).endsWith("Name1=Ti\r\nName5=Au\r\nName3=Ni\r\n"));
        play(*f, "type:txtName_2:Ni");
        control<QLineEdit>(w, "txtName_7")->setText(QStringLiteral("Cu")); // still in its box
        w->close();
        const QByteArray saved = contentsOf(SettingsFilePath());
        QVERIFY(saved.endsWith("[Pockets]\r\nName1=Ti\r\nName5=Au\r\nName3=Ni\r\nName8=Cu\r\n"));
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(), saved + "Name2=tI\r\n"));
        f->window = std::make_unique<frmMain>(&f->port);
        w = f->window.get();
        w->Form_Load();
        play(*f, "txtName_0==Ti txtName_1== txtName_4==Au at:5 lblPocketName==Au");
    }

    // Every INI example of the documents, pasted as written, is taken by the surfaces' readers:
    // no comment ends up inside a value.
    void iniExamples()
    {
        QStringList files = QDir(RV360_SOURCE_DIR "/docs").entryList({"*.md"}), examples;
        for (QString &file : files << "../README.md")
            for (const QString &block :
                 QString::fromUtf8(contentsOf(RV360_SOURCE_DIR "/docs/" + file))
                     .split(QRegularExpression("\n\\s*\n|```\\w*")))
                if (block.trimmed().startsWith(u'[') && !block.contains(u'('))
                    examples << block;
        QVERIFY(!examples.isEmpty());
        for (const QString &example : examples) {
            QVERIFY(ReplaceFileAtomically(SettingsFilePath(), example.toUtf8()));
            const InstrumentSettings instrument = InstrumentSettings::Read();
            QHostAddress address;
            quint16 port = 0;
            QString why;
            QVERIFY2((instrument.listen.isEmpty() ||
                      ParseListen(instrument.listen, &address, &port, &why)) &&
                         InstrumentPort(w->motion()).setAllowed(instrument.allow, &why) &&
                         !PortDeviceName(1).contains(u' ') && !PortDeviceName(2).contains(u' '),
                     qPrintable(example + why));
        }
    }

    // Read fills the table from the indexer and Send sends it; presses while a transfer waits
    // are ignored (no file dialog either). Save writes the table to the file chosen, which Open
    // then reads.
    void transfers()
    {
        // The start-up table (eight Not Used pockets) sends nothing: the indexer's layout stays.
        play(*f, "click:cmdCustom_1 sent==");
        QString dialogs, chosen = QStringLiteral("saved.cfg"); // o: open, s: save
        cFileDialog::SetShowHandler([&](cFileDialog &dialog, bool fOpen) {
            dialogs += fOpen ? u'o' : u's';
            dialog.setFileName(ProgramDirectory() + chosen);
            return true;
        });
        // What was read is sent back; saved, then read from an indexer that holds no pocket: every
        // row "Not Used".
        play(*f, "delay=40 F?=F:2%0D G1?=G:0_10%0D G2?=G:2_200%0D click:cmdCustom_0 "
                 "click:cmdCustom_0 click:cmdCustom_1 click:cmdCustom_2 click:cmdCustom_3 "
                 "sent==F?,G1?,G2? clear click:cmdCustom_1 sent==F2,G1_0_010,G2_2_200 "
                 "click:cmdCustom_3 F?=F:0%0D click:cmdCustom_0 sent==F2,G1_0_010,G2_2_200,F?");
        QCOMPARE(ConfigFile, QStringLiteral("saved.cfg"));
        QCOMPARE(control<PocketTable>(w, "pocketTable")->layout(), PocketLayout());
        play(*f, "click:cmdCustom_2");
        QCOMPARE(dialogs, QStringLiteral("so"));
        QCOMPARE(control<PocketTable>(w, "pocketTable")->type(1), int(EndBanana));
        // A file that is not there is remembered; the table and a refused name's note stay.
        chosen = QStringLiteral("gone.cfg");
        play(*f, "type:txtName_0:Ti type:txtName_1:ti click:cmdCustom_2 lblNameNote^=Pocket_2 "
                 "cboMode_1==End_Banana");
        QCOMPARE(ConfigFile, chosen);
        cFileDialog::SetShowHandler({});
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
