// The setup dialog on a fake port with a real link, offscreen.
#include "commport.h"
#include "fakeserialport.h"
#include "frmComm.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

namespace
{

QRect twips(int left, int top, int width, int height)
{
    return QRect(qRound(left / 15.0), qRound(top / 15.0), qRound(width / 15.0),
                 qRound(height / 15.0));
}

// The fake port, with one device number that refuses to open for a chosen reason.
class RefusingPort : public FakeSerialPort
{
public:
    using FakeSerialPort::FakeSerialPort;

    int refusedPort = 0;
    OpenFailure refusal = OpenFailure::Other;
    QString refusalText;

    bool open() override
    {
        m_refused = refusedPort != 0 && portNumber() == refusedPort;
        return !m_refused && FakeSerialPort::open();
    }
    OpenFailure lastOpenFailure() const override
    {
        return m_refused ? refusal : FakeSerialPort::lastOpenFailure();
    }
    QString errorText() const override { return m_refused ? refusalText : QString(); }

private:
    bool m_refused = false;
};

// A main window, its poll timer and a link over the fake port; the program directory holds a
// settings file that maps COM2 to a device of its own.
struct Fixture {
    QTemporaryDir dir;
    RefusingPort port;
    IndexerLink link{port};
    QWidget main;
    // finished() of each dialog shown: where the main window turns its poll back on.
    int finishedCount = 0;
    const QByteArray settings = "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM2=/dev/ttyUSB7\r\n";

    Fixture()
    {
        SetProgramDirectoryOverride(dir.path());
        QFile ini(dir.filePath(QStringLiteral("RV360.INI")));
        if (ini.open(QIODevice::WriteOnly))
            ini.write(settings);
        CommPort = 1;
        main.setGeometry(60, 50, 410, 324);
        main.show();
    }
    ~Fixture()
    {
        if (frmComm *open = frmComm::instance())
            open->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SetProgramDirectoryOverride({});
    }

    frmComm *show(bool besideMain = false)
    {
        const bool opening = frmComm::instance() == nullptr;
        frmComm *dialog = frmComm::ShowDialog(link, &main, besideMain);
        if (opening)
            QObject::connect(dialog, &QDialog::finished, &main, [this] { ++finishedCount; });
        return dialog;
    }
    // Opens the port as a successful start-up does and forgets what that did.
    bool openAtStartUp(qint16 number = 1)
    {
        CommPort = number;
        const bool ok = OpenCommPort(port, number);
        port.calls.clear();
        port.written.clear();
        return ok;
    }
    QByteArray settingsFile() const
    {
        QFile ini(dir.filePath(QStringLiteral("RV360.INI")));
        return ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
    }
};

enum class CloseWay { CloseButton, CloseCall, Escape, CloseAllWindows };

} // namespace

Q_DECLARE_METATYPE(CloseWay)
Q_DECLARE_METATYPE(SerialPort::OpenFailure)

class TestFrmComm : public QObject
{
    Q_OBJECT

    std::unique_ptr<Fixture> f;

private Q_SLOTS:
    void init() { f = std::make_unique<Fixture>(); }
    void cleanup() { f.reset(); }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QRect>("geometry");
        const auto row = [](const char *name, const char *cls, const QString &text, const char *tip,
                            QRect geometry) {
            QTest::newRow(name) << QString(name) << QString(cls) << text << QString(tip)
                                << geometry;
        };
        const char *radio = "QRadioButton";
        const char *port = "Computer comm port to use.";
        row("cmdOK", "QPushButton", "&Close", "Close setup form.", twips(2340, 180, 792, 312));
        row("cmdFind", "QPushButton", "&Find", "Search for indexer on selected port.",
            twips(2340, 600, 792, 312));
        row("Frame1", "QGroupBox", "Comm Port", "", twips(120, 60, 2064, 1788));
        row("optComPort_1", radio, "COM &1", port, twips(180, 240, 936, 252));
        row("optComPort_2", radio, "COM &2", port, twips(180, 540, 936, 252));
        row("optComPort_3", radio, "COM &3", port, twips(1080, 240, 936, 252));
        row("optComPort_4", radio, "COM &4", port, twips(1080, 540, 936, 252));
        row("optCommPort_5", radio, "Ethernet", "Ethernet communications to indexer.",
            twips(180, 840, 1032, 252));
        row("lblHostAdd", "QLabel", "Address:", "", twips(180, 1080, 732, 192));
        row("txtHostAddress", "QLineEdit", "192.168.1.100", "Indexer ethernet address.",
            twips(180, 1320, 972, 312));
        row("lblHostPort", "QLabel", "Port:", "", twips(1320, 1080, 492, 192));
        row("txtHostPort", "QLineEdit", "1001", "Computer ethernet port (usually 1001).",
            twips(1260, 1320, 612, 312));
        row("Label2", "QLabel", "Command:", "", twips(120, 1980, 1272, 192));
        row("txtSend", "QLineEdit", "", "Command to send to indexer.", twips(120, 2220, 2052, 288));
        row("cmdSend", "QPushButton", "Send", "Send command to indexer.",
            twips(2340, 2220, 792, 312));
        row("Label3", "QLabel", "Response", "", twips(120, 2580, 912, 192));
        row("txtRcv", "QLineEdit", "", "Response from indexer.", twips(120, 2820, 3012, 288));
    }
    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, text);
        QFETCH(QString, toolTip);
        QFETCH(QRect, geometry);
        frmComm *dialog = f->show();
        const auto *widget = dialog->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString(widget->metaObject()->className()), className);
        QCOMPARE(widget->property(className == "QGroupBox" ? "title" : "text").toString(), text);
        QCOMPARE(widget->toolTip(), toolTip);
        // The Ethernet option and the address caption may grow to the right, where nothing
        // stands, to fit their captions.
        if (name == "optCommPort_5" || name == "lblHostAdd") {
            QCOMPARE(widget->pos(), geometry.topLeft());
            QCOMPARE(widget->height(), geometry.height());
            QVERIFY(widget->width() >= qMax(geometry.width(), widget->sizeHint().width()));
        } else {
            QCOMPARE(widget->geometry(), geometry);
        }
        QVERIFY(widget->isVisible());
    }

    void window()
    {
        frmComm *dialog = f->show();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Comm Setup"));
        // Fixed size: the designed width, the designed height plus the two status lines.
        QCOMPARE(dialog->width(), 218);
        QVERIFY(dialog->height() >= 215 && dialog->height() <= 215 + 50);
        QCOMPARE(dialog->minimumSize(), dialog->size());
        QCOMPARE(dialog->maximumSize(), dialog->size());
        const Qt::WindowFlags flags = dialog->windowFlags();
        QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!dialog->isModal());
        QCOMPARE(dialog->parentWidget(), &f->main);
        QVERIFY(dialog->txtRcv->isReadOnly());

        // The two status lines below the designed controls fit in the window.
        for (const QLabel *extra : {dialog->lblDevice, dialog->lblPortError}) {
            QVERIFY(dialog->rect().contains(extra->geometry()));
            QVERIFY(extra->y() >= dialog->txtRcv->geometry().bottom());
        }
    }

    void initialChoice_data()
    {
        QTest::addColumn<int>("commPort");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QString>("device");
        QTest::newRow("2, named in the settings") << 2 << 2 << "COM2: /dev/ttyUSB7";
        QTest::newRow("3") << 3 << 3 << "COM3: /dev/ttyS2";
        QTest::newRow("5") << 5 << 1 << "COM1: /dev/ttyS0";
        QTest::newRow("0") << 0 << 1 << "COM1: /dev/ttyS0";
        QTest::newRow("-1") << -1 << 1 << "COM1: /dev/ttyS0";
    }
    void initialChoice()
    {
        QFETCH(int, commPort);
        QFETCH(int, chosen);
        QFETCH(QString, device);
        CommPort = static_cast<qint16>(commPort);
        frmComm *dialog = f->show();
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(dialog->optComPort[i]->isChecked(), i == chosen);
        QVERIFY(!dialog->optCommPort_5->isChecked());
        QCOMPARE(int(dialog->nPort), chosen);
        QCOMPARE(dialog->lblDevice->text(), device);
        QCOMPARE(dialog->optComPort[chosen]->statusTip(), device);
        // Choosing is not switching: the port and CommPort stay as they were.
        QCOMPARE(int(CommPort), commPort);
        QVERIFY(f->port.calls.isEmpty());
    }

    void findOnANewPort()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$@\r\n", "@:RV-360\r", 40);
        frmComm *dialog = f->show();
        dialog->txtRcv->setText(QStringLiteral("old"));
        dialog->optComPort[2]->click();
        QCOMPARE(dialog->lblDevice->text(), QStringLiteral("COM2: /dev/ttyUSB7"));
        QCOMPARE(int(CommPort), 1);

        // What the operator sees while the reply is awaited.
        bool checked = false;
        QTimer::singleShot(10, dialog, [&] {
            checked = true;
            QVERIFY(dialog->txtRcv->text().isEmpty());
            QVERIFY(!dialog->cmdFind->isEnabled() && !dialog->cmdSend->isEnabled());
            QCOMPARE(dialog->cursor().shape(), Qt::WaitCursor);
            // Over the dialog only: the main window stays usable.
            QCOMPARE(QApplication::overrideCursor(), nullptr);
        });
        dialog->cmdFind->click();
        QTRY_VERIFY(checked);
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("@:RV-360\\r"));
        QCOMPARE(dialog->cursor().shape(), Qt::ArrowCursor);

        const QStringList &calls = f->port.calls;
        QVERIFY2(!calls.isEmpty() && calls.first() == "close 1", qPrintable(calls.join(", ")));
        QVERIFY(calls.indexOf("line 19200,N,8,1") > calls.indexOf("select 2"));
        QCOMPARE(calls.last(), QStringLiteral("open 2"));
        QCOMPARE(int(CommPort), 2);
        QCOMPARE(dialog->txtSend->text(), QStringLiteral("@"));
        QCOMPARE(f->port.written, QByteArrayList{"$@\r\n"});
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("@:RV-360\\r"));
        QVERIFY(dialog->cmdFind->isEnabled() && dialog->cmdSend->isEnabled());
        // The settings file is the main window's business.
        QCOMPARE(f->settingsFile(), f->settings);
    }

    // Another modal dialog open while Find waits: the reply is shown as it comes.
    void findReplyShownWhileAModalDialogIsOpen()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$@\r\n", "@:RV-360\r", 30);
        frmComm *dialog = f->show();
        bool shown = false, closed = false;
        QTimer::singleShot(0, &f->main, [&] {
            QMessageBox box(QMessageBox::NoIcon, "modal", "modal", QMessageBox::Ok, &f->main);
            QTimer::singleShot(0, &box, [&] {
                shown = QTest::qWaitFor(
                    [&] {
                        return dialog->txtRcv->text() == QLatin1String("@:RV-360\\r") &&
                               dialog->cmdFind->isEnabled() &&
                               dialog->cursor().shape() == Qt::ArrowCursor;
                    },
                    3000);
                box.done(0);
            });
            box.exec();
            closed = true;
        });
        dialog->cmdFind->click();
        QTRY_VERIFY(closed);
        QVERIFY(shown);
    }

    // What Send writes and what the reply field then shows; a missing reply times out.
    void send_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown");
        const auto row = [](const char *name, const char *typed, const QByteArray &reply,
                            const QString &shown) {
            QTest::newRow(name) << QString(typed) << reply << shown;
        };
        row("empty", "", "OK\r", "OK\\r");
        row("blanks kept", " G1 0 045 ", "OK\r", "OK\\r");
        row("timeout", "@", "", "Timeout ");
        row("timeout after part of a line", "@", "@:R", "Timeout @:R");
        row("CR LF", "I", "A:1\r\n", "A:1\\r\\n");
        row("NUL", "I", QByteArray("I:\0\x01\r", 5), "I:\\0\\x01\\r");
        row("ESC, US, DEL", "I", "x\x1B\x1Fy\x7F\r", "x\\x1B\\x1Fy\\x7F\\r");
        row("backslash", "I", "a\\b\r", "a\\\\b\\r");
        row("high bytes", "I", "\xC8\xE9\xFF\r", QString::fromUtf8("\u00C8\u00E9\u00FF\\r"));
    }
    void send()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        QVERIFY(f->openAtStartUp(1));
        const QByteArray frame = "$" + typed.toLatin1() + "\r\n";
        if (!reply.isEmpty())
            f->port.setReply(frame, reply);
        frmComm *dialog = f->show();
        dialog->txtSend->setText(typed);
        QElapsedTimer clock;
        clock.start();
        dialog->cmdSend->click();
        QTRY_VERIFY(dialog->cmdSend->isEnabled());
        if (shown.startsWith("Timeout"))
            QVERIFY(clock.elapsed() >= IndexerLink::kTimeoutMs - 10);
        QCOMPARE(f->port.written, QByteArrayList{frame});
        QCOMPARE(dialog->txtSend->text(), typed);
        QCOMPARE(dialog->txtRcv->text(), shown);
        QVERIFY(dialog->cmdFind->isEnabled() && dialog->cmdSend->isEnabled());
    }

    // Each way of closing, at rest or while Find or Send waits for its reply: the poll comes
    // back on, the dialog is gone, the port is as it was, and a new dialog works as usual.
    void closing_data()
    {
        QTest::addColumn<CloseWay>("way");
        QTest::addColumn<QString>("waiting");
        QTest::newRow("Close button") << CloseWay::CloseButton << "";
        QTest::newRow("close box") << CloseWay::CloseCall << "";
        QTest::newRow("Escape") << CloseWay::Escape << "";
        QTest::newRow("main window shutdown") << CloseWay::CloseAllWindows << "";
        QTest::newRow("close box while Find waits") << CloseWay::CloseCall << "Find";
        QTest::newRow("shutdown while Send waits") << CloseWay::CloseAllWindows << "Send";
    }
    void closing()
    {
        QFETCH(CloseWay, way);
        QFETCH(QString, waiting);
        QVERIFY(f->openAtStartUp(1));
        const QPointer<frmComm> dialog = f->show();
        QSignalSpy accepted(dialog.data(), &QDialog::accepted);
        const auto closeIt = [&] {
            if (way == CloseWay::CloseButton)
                QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
            else if (way == CloseWay::CloseCall)
                QVERIFY(dialog->close());
            else if (way == CloseWay::Escape)
                QTest::keyClick(dialog->txtSend, Qt::Key_Escape);
            else
                QApplication::closeAllWindows();
            QVERIFY(!dialog || !dialog->isVisible());
            QCOMPARE(frmComm::instance(), nullptr);
            QCOMPARE(f->finishedCount, 1);
        };
        if (waiting.isEmpty()) {
            // A port chosen but not tried with Find changes nothing.
            dialog->optComPort[3]->click();
            closeIt();
        } else {
            f->port.setReply("$@\r\n", "@:late\r", 150);
            dialog->txtSend->setText(QStringLiteral("@"));
            QTimer::singleShot(30, &f->main, closeIt);
            (waiting == "Find" ? dialog->cmdFind : dialog->cmdSend)->click();
        }
        QTRY_VERIFY(dialog.isNull());
        QCOMPARE(f->finishedCount, 1);
        QCOMPARE(accepted.size(), 0);
        QCOMPARE(int(CommPort), 1);
        QVERIFY(f->port.isOpen());
        QCOMPARE(f->port.portNumber(), 1);
        QVERIFY(f->port.calls.isEmpty());
        QCOMPARE(f->port.written, waiting.isEmpty() ? QByteArrayList() : QByteArrayList{"$@\r\n"});
        QCOMPARE(f->settingsFile(), f->settings);
        // A reply for a closed dialog goes nowhere.
        QTest::qWait(waiting.isEmpty() ? 0 : 200);

        f->port.setReply("$@\r\n", "@:again\r");
        frmComm *again = f->show();
        again->cmdFind->click();
        QTRY_COMPARE(again->txtRcv->text(), QStringLiteral("@:again\\r"));
        QCOMPARE(f->finishedCount, 1);
    }

    void showTwiceBringsTheSameDialogForward()
    {
        frmComm *first = f->show();
        first->txtSend->setText(QStringLiteral("A?"));
        first->optComPort[4]->click();
        frmComm *second = f->show(true);
        QCOMPARE(second, first);
        QCOMPARE(f->main.findChildren<frmComm *>().size(), 1);
        // No second start-up: nothing reset, the poll not stopped again.
        QCOMPARE(second->txtSend->text(), QStringLiteral("A?"));
        QCOMPARE(int(second->nPort), 4);
        QCOMPARE(f->finishedCount, 0);
    }

    void reopenStartsAfresh()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$@\r\n", "@:3\r");
        frmComm *dialog = f->show();
        dialog->txtSend->setText(QStringLiteral("A?"));
        dialog->optComPort[3]->click();
        // Ethernet keeps the last serial port for Find.
        QTest::mouseClick(dialog->optCommPort_5, Qt::LeftButton);
        QVERIFY(dialog->optCommPort_5->isChecked());
        QCOMPARE(int(dialog->nPort), 3);
        dialog->cmdFind->click();
        QCOMPARE(int(CommPort), 3);
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("@:3\\r"));
        dialog->txtHostAddress->setText(QStringLiteral("10.0.0.7"));
        dialog->txtHostPort->setText(QStringLiteral("2002"));
        dialog->close();

        frmComm *again = f->show();
        QVERIFY(again->isVisible());
        QCOMPARE(again->txtHostAddress->text(), QStringLiteral("192.168.1.100"));
        QCOMPARE(again->txtHostPort->text(), QStringLiteral("1001"));
        QVERIFY(again->txtSend->text().isEmpty());
        QVERIFY(again->optComPort[3]->isChecked());
        QTRY_COMPARE(f->main.findChildren<frmComm *>().size(), 1);
        QCOMPARE(f->settingsFile(), f->settings);
    }

    // Find on the port of CommPort: kept open when it is, opened again when start-up failed.
    void findOnTheStartUpPort_data()
    {
        QTest::addColumn<bool>("failedAtStartUp");
        QTest::newRow("open") << false;
        QTest::newRow("failed at start-up") << true;
    }
    void findOnTheStartUpPort()
    {
        QFETCH(bool, failedAtStartUp);
        if (failedAtStartUp)
            f->port.existingPorts.clear();
        QCOMPARE(f->openAtStartUp(3), !failedAtStartUp);
        f->port.existingPorts = {1, 2, 3, 4};
        f->port.setReply("$@\r\n", "@:x\r");
        frmComm *dialog = f->show(failedAtStartUp);
        // Shown beside the main window after the failed open: the reason is there at once.
        QCOMPARE(dialog->lblPortError->text(),
                 failedAtStartUp ? QStringLiteral("COM3 (/dev/fake3) not found") : QString());

        dialog->cmdFind->click();
        const QStringList &calls = f->port.calls;
        if (failedAtStartUp)
            QVERIFY(calls.contains("line 19200,N,8,1") && calls.last() == "open 3");
        else
            QVERIFY2(calls.isEmpty(), qPrintable(calls.join(", ")));
        QVERIFY(f->port.isOpen());
        QCOMPARE(f->port.written, QByteArrayList{"$@\r\n"});
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("@:x\\r"));
        QVERIFY(dialog->lblPortError->text().isEmpty());
    }

    void openFailureShown_data()
    {
        QTest::addColumn<SerialPort::OpenFailure>("failure");
        QTest::addColumn<QString>("errorText");
        QTest::addColumn<QString>("shown");
        using F = SerialPort::OpenFailure;
        const QString dev = QStringLiteral("COM2 (/dev/fake2)");
        QTest::newRow("not found") << F::NotFound << "" << dev + " not found";
        QTest::newRow("in use") << F::InUse << "" << dev + " in use by another program";
        QTest::newRow("no permission")
            << F::NoPermission << "" << dev + " no permission (add the user to the dialout group)";
        QTest::newRow("other with a reason")
            << F::Other << "Input/output error" << dev + ": Input/output error";
        QTest::newRow("other without a reason") << F::Other << "" << dev + " could not be opened";
    }
    void openFailureShown()
    {
        QFETCH(SerialPort::OpenFailure, failure);
        QFETCH(QString, errorText);
        QFETCH(QString, shown);
        QVERIFY(f->openAtStartUp(1));
        f->port.refusedPort = 2;
        f->port.refusal = failure;
        f->port.refusalText = errorText;
        frmComm *dialog = f->show();
        QVERIFY(dialog->lblPortError->text().isEmpty());
        dialog->optComPort[2]->click();
        dialog->cmdFind->click();
        QCOMPARE(dialog->lblPortError->text(), shown);
        QVERIFY(dialog->lblPortError->isVisible());
        QCOMPARE(int(CommPort), 2);
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("Timeout "));
        QVERIFY(f->port.written.isEmpty());

        // A port that opens clears the reason.
        dialog->optComPort[3]->click();
        dialog->cmdFind->click();
        QVERIFY(dialog->lblPortError->text().isEmpty());
    }

    void placement()
    {
        frmComm *dialog = f->show();
        const QPoint offset = dialog->frameGeometry().center() - f->main.frameGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QString::number(offset.x())));
        dialog->close();
        QTRY_VERIFY(!frmComm::instance());

        dialog = f->show(true);
        QCOMPARE(dialog->frameGeometry().topLeft(),
                 QPoint(f->main.frameGeometry().right() + 1, f->main.frameGeometry().top()));
        dialog->close();

        // Beside, but kept on the screen.
        const QRect room = f->main.screen()->availableGeometry();
        f->main.move(room.right() - f->main.width() - 10, room.bottom() - 100);
        dialog = f->show(true);
        QVERIFY(room.contains(dialog->frameGeometry()));
    }
};

QTEST_MAIN(TestFrmComm)
#include "tst_frmcomm.moc"
