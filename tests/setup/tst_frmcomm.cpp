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
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
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

const QString kCrPicture = QStringLiteral("\\r");

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
        if (m_refused) {
            calls << QStringLiteral("open %1 refused").arg(portNumber());
            return false;
        }
        return FakeSerialPort::open();
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
    QTimer tmrUpdate;
    QWidget main;
    QByteArray settings = "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM2=/dev/ttyUSB7\r\n";

    Fixture()
    {
        SetProgramDirectoryOverride(dir.path());
        QFile ini(dir.filePath(QStringLiteral("RV360.INI")));
        if (ini.open(QIODevice::WriteOnly))
            ini.write(settings);
        CommPort = 1;
        tmrUpdate.setInterval(500);
        main.setObjectName(QStringLiteral("frmMain"));
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
        return frmComm::ShowDialog(link, tmrUpdate, &main, besideMain);
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

QString caption(const QWidget *widget)
{
    if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->text();
    if (const auto *group = qobject_cast<const QGroupBox *>(widget))
        return group->title();
    if (const auto *label = qobject_cast<const QLabel *>(widget))
        return label->text();
    if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text();
    return {};
}

int checkedPorts(const frmComm *dialog)
{
    int count = 0;
    for (int i = 1; i <= 4; ++i)
        count += dialog->optComPort[i]->isChecked() ? 1 : 0;
    return count + (dialog->optCommPort_5->isChecked() ? 1 : 0);
}

enum class CloseWay { CloseButton, CloseCall, Escape, Accept, CloseAllWindows, TopLevelLoop };

} // namespace

Q_DECLARE_METATYPE(CloseWay)
Q_DECLARE_METATYPE(SerialPort::OpenFailure)

class TestFrmComm : public QObject
{
    Q_OBJECT

    std::unique_ptr<Fixture> f;

private Q_SLOTS:
    void init() { f = std::make_unique<Fixture>(); }
    void cleanup()
    {
        f.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QRect>("geometry");

        const QString form = QStringLiteral("frmComm");
        const QString frame = QStringLiteral("Frame1");
        const QString port = QStringLiteral("Computer comm port to use.");
        auto row = [](const char *name, const char *cls, const QString &parent, const char *text,
                      const char *tip, QRect geometry) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls) << parent
                                << QString::fromLatin1(text) << QString::fromLatin1(tip)
                                << geometry;
        };
        row("cmdOK", "QPushButton", form, "&Close", "Close setup form.",
            twips(2340, 180, 792, 312));
        row("cmdFind", "QPushButton", form, "&Find", "Search for indexer on selected port.",
            twips(2340, 600, 792, 312));
        row("Frame1", "QGroupBox", form, "Comm Port", "", twips(120, 60, 2064, 1788));
        QTest::newRow("optComPort_1")
            << "optComPort_1"
            << "QRadioButton" << frame << "COM &1" << port << twips(180, 240, 936, 252);
        QTest::newRow("optComPort_2")
            << "optComPort_2"
            << "QRadioButton" << frame << "COM &2" << port << twips(180, 540, 936, 252);
        QTest::newRow("optComPort_3")
            << "optComPort_3"
            << "QRadioButton" << frame << "COM &3" << port << twips(1080, 240, 936, 252);
        QTest::newRow("optComPort_4")
            << "optComPort_4"
            << "QRadioButton" << frame << "COM &4" << port << twips(1080, 540, 936, 252);
        row("optCommPort_5", "QRadioButton", frame, "Ethernet",
            "Ethernet communications to indexer.", twips(180, 840, 1032, 252));
        row("lblHostAdd", "QLabel", frame, "Address:", "", twips(180, 1080, 732, 192));
        row("txtHostAddress", "QLineEdit", frame, "192.168.1.100", "Indexer ethernet address.",
            twips(180, 1320, 972, 312));
        row("lblHostPort", "QLabel", frame, "Port:", "", twips(1320, 1080, 492, 192));
        row("txtHostPort", "QLineEdit", frame, "1001", "Computer ethernet port (usually 1001).",
            twips(1260, 1320, 612, 312));
        row("Label2", "QLabel", form, "Command:", "", twips(120, 1980, 1272, 192));
        row("txtSend", "QLineEdit", form, "", "Command to send to indexer.",
            twips(120, 2220, 2052, 288));
        row("cmdSend", "QPushButton", form, "Send", "Send command to indexer.",
            twips(2340, 2220, 792, 312));
        row("Label3", "QLabel", form, "Response", "", twips(120, 2580, 912, 192));
        row("txtRcv", "QLineEdit", form, "", "Response from indexer.", twips(120, 2820, 3012, 288));
    }
    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QString, text);
        QFETCH(QString, toolTip);
        QFETCH(QRect, geometry);

        frmComm *dialog = f->show();
        const auto *widget = dialog->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        QVERIFY(widget->parentWidget());
        QCOMPARE(widget->parentWidget()->objectName(), parentName);
        QCOMPARE(caption(widget), text);
        QCOMPARE(widget->toolTip(), toolTip);
        // The Ethernet option and the address caption may grow to the right, where nothing
        // stands, to fit their captions.
        if (name == QLatin1String("optCommPort_5") || name == QLatin1String("lblHostAdd")) {
            QCOMPARE(widget->pos(), geometry.topLeft());
            QCOMPARE(widget->height(), geometry.height());
            QVERIFY(widget->width() >= geometry.width());
            QVERIFY(widget->width() >= widget->sizeHint().width());
        } else {
            QCOMPARE(widget->geometry(), geometry);
        }
        QVERIFY(widget->isVisible());
    }

    void membersAreTheNamedControls()
    {
        frmComm *dialog = f->show();
        QCOMPARE(dialog->cmdOK->objectName(), QStringLiteral("cmdOK"));
        QCOMPARE(dialog->cmdFind->objectName(), QStringLiteral("cmdFind"));
        QCOMPARE(dialog->cmdSend->objectName(), QStringLiteral("cmdSend"));
        QCOMPARE(dialog->Frame1->objectName(), QStringLiteral("Frame1"));
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(dialog->optComPort[i]->objectName(), QStringLiteral("optComPort_%1").arg(i));
        QCOMPARE(dialog->optComPort[0], nullptr);
        QCOMPARE(dialog->optCommPort_5->objectName(), QStringLiteral("optCommPort_5"));
        QCOMPARE(dialog->txtHostAddress->objectName(), QStringLiteral("txtHostAddress"));
        QCOMPARE(dialog->txtHostPort->objectName(), QStringLiteral("txtHostPort"));
        QCOMPARE(dialog->txtSend->objectName(), QStringLiteral("txtSend"));
        QCOMPARE(dialog->txtRcv->objectName(), QStringLiteral("txtRcv"));
        QCOMPARE(dialog->lblDevice->objectName(), QStringLiteral("lblDevice"));
        QCOMPARE(dialog->lblPortError->objectName(), QStringLiteral("lblPortError"));
    }

    void window()
    {
        frmComm *dialog = f->show();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Comm Setup"));
        QCOMPARE(dialog->objectName(), QStringLiteral("frmComm"));
        // Fixed size: the designed width, the designed height plus the two status lines.
        QCOMPARE(dialog->width(), 218);
        QVERIFY(dialog->height() >= 215);
        QVERIFY(dialog->height() <= 215 + 50);
        QCOMPARE(dialog->minimumSize(), dialog->size());
        QCOMPARE(dialog->maximumSize(), dialog->size());

        const Qt::WindowFlags flags = dialog->windowFlags();
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
        QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
        QVERIFY(flags.testFlag(Qt::WindowTitleHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(!dialog->isModal());
        // A window of the main window's: no task bar entry of its own.
        QVERIFY(dialog->isWindow());
        QCOMPARE(dialog->parentWidget(), &f->main);

        QVERIFY(dialog->cmdOK->font().bold());
        QVERIFY(!dialog->cmdFind->font().bold());
        QVERIFY(!dialog->cmdSend->font().bold());
        QCOMPARE(dialog->txtRcv->palette().color(QPalette::Base),
                 dialog->palette().color(QPalette::Button));
        QVERIFY(dialog->txtRcv->isReadOnly());
        QVERIFY(!dialog->txtSend->isReadOnly());
        // The main window stays usable.
        QVERIFY(f->main.isEnabled());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
    }

    void extraLinesFitTheWindow()
    {
        frmComm *dialog = f->show();
        const QList<QWidget *> designed = {dialog->cmdOK,  dialog->cmdFind, dialog->Frame1,
                                           dialog->Label2, dialog->txtSend, dialog->cmdSend,
                                           dialog->Label3, dialog->txtRcv};
        for (const QLabel *extra : {dialog->lblDevice, dialog->lblPortError}) {
            QVERIFY(dialog->rect().contains(extra->geometry()));
            for (const QWidget *control : designed)
                QVERIFY2(!extra->geometry().intersects(control->geometry()),
                         qPrintable(extra->objectName() + " over " + control->objectName()));
        }
    }

    void initialChoice_data()
    {
        QTest::addColumn<int>("commPort");
        QTest::addColumn<int>("chosen");
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("2") << 2 << 2;
        QTest::newRow("3") << 3 << 3;
        QTest::newRow("4") << 4 << 4;
        QTest::newRow("5 (Ethernet)") << 5 << 1;
        QTest::newRow("9") << 9 << 1;
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("-1") << -1 << 1;
        QTest::newRow("32767") << 32767 << 1;
    }
    void initialChoice()
    {
        QFETCH(int, commPort);
        QFETCH(int, chosen);
        CommPort = static_cast<qint16>(commPort);
        frmComm *dialog = f->show();
        QVERIFY(dialog->optComPort[chosen]->isChecked());
        QCOMPARE(checkedPorts(dialog), 1);
        QCOMPARE(int(dialog->nPort), chosen);
        // Choosing is not switching: the port and CommPort stay as they were.
        QCOMPARE(int(CommPort), commPort);
        QVERIFY(f->port.calls.isEmpty());
        QVERIFY(f->port.written.isEmpty());
    }

    void deviceOfTheChosenPort()
    {
        frmComm *dialog = f->show();
        QCOMPARE(dialog->lblDevice->text(), QStringLiteral("COM1: /dev/ttyS0"));
        dialog->optComPort[2]->click();
        QCOMPARE(dialog->lblDevice->text(), QStringLiteral("COM2: /dev/ttyUSB7"));
        dialog->optComPort[4]->click();
        QCOMPARE(dialog->lblDevice->text(), QStringLiteral("COM4: /dev/ttyS3"));
        QCOMPARE(dialog->optComPort[1]->statusTip(), QStringLiteral("COM1: /dev/ttyS0"));
        QCOMPARE(dialog->optComPort[2]->statusTip(), QStringLiteral("COM2: /dev/ttyUSB7"));
        QCOMPARE(dialog->optComPort[3]->statusTip(), QStringLiteral("COM3: /dev/ttyS2"));
    }

    void clickingAnOptionSetsNPortOnly()
    {
        QVERIFY(f->openAtStartUp(1));
        frmComm *dialog = f->show();
        for (int i : {3, 2, 4, 1, 3}) {
            QTest::mouseClick(dialog->optComPort[i], Qt::LeftButton);
            QVERIFY(dialog->optComPort[i]->isChecked());
            QCOMPARE(checkedPorts(dialog), 1);
            QCOMPARE(int(dialog->nPort), i);
        }
        dialog->optComPort_Click(2);
        QCOMPARE(int(dialog->nPort), 2);
        QCOMPARE(int(CommPort), 1);
        QVERIFY(f->port.calls.isEmpty());
        QVERIFY(f->port.isOpen());
        QCOMPARE(f->port.portNumber(), 1);
    }

    void findOnANewPort()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$@\r\n", "@:RV-360\r", 40);
        frmComm *dialog = f->show();
        dialog->txtRcv->setText(QStringLiteral("old"));
        dialog->optComPort[2]->click();
        QCOMPARE(int(CommPort), 1);

        // What the operator sees while the reply is awaited.
        bool checked = false;
        QTimer::singleShot(10, dialog, [&] {
            checked = true;
            QVERIFY(dialog->txtRcv->text().isEmpty());
            QCOMPARE(dialog->txtSend->text(), QStringLiteral("@"));
            QVERIFY(!dialog->cmdFind->isEnabled());
            QVERIFY(!dialog->cmdSend->isEnabled());
            QVERIFY(dialog->cmdOK->isEnabled());
            QVERIFY(QApplication::overrideCursor());
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        });
        dialog->cmdFind->click();
        QVERIFY(checked);

        const QStringList &calls = f->port.calls;
        QVERIFY2(!calls.isEmpty() && calls.first() == "close 1", qPrintable(calls.join(", ")));
        QVERIFY(calls.contains("select 2"));
        QVERIFY(calls.contains("line 19200,N,8,1"));
        QVERIFY(calls.indexOf("line 19200,N,8,1") > calls.indexOf("select 2"));
        QCOMPARE(calls.last(), QStringLiteral("open 2"));
        QCOMPARE(int(CommPort), 2);
        QVERIFY(f->port.isOpen());
        QCOMPARE(f->port.portNumber(), 2);

        QCOMPARE(dialog->txtSend->text(), QStringLiteral("@"));
        QCOMPARE(f->port.written, QByteArrayList{"$@\r\n"});
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("@:RV-360") + kCrPicture);
        QVERIFY(dialog->cmdFind->isEnabled());
        QVERIFY(dialog->cmdSend->isEnabled());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(dialog->lblPortError->text().isEmpty());
        // The settings file is the main window's business.
        QCOMPARE(f->settingsFile(), f->settings);
    }

    void findOnTheSamePortKeepsItOpen()
    {
        QVERIFY(f->openAtStartUp(3));
        f->port.setReply("$@\r\n", "@:x\r");
        frmComm *dialog = f->show();
        QCOMPARE(int(dialog->nPort), 3);
        dialog->cmdFind->click();
        QVERIFY2(f->port.calls.isEmpty(), qPrintable(f->port.calls.join(", ")));
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("@:x") + kCrPicture);
    }

    void chooseThenCloseChangesNothing()
    {
        QVERIFY(f->openAtStartUp(1));
        frmComm *dialog = f->show();
        dialog->optComPort[3]->click();
        QCOMPARE(int(dialog->nPort), 3);
        dialog->cmdOK->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(int(CommPort), 1);
        QVERIFY(f->port.isOpen());
        QCOMPARE(f->port.portNumber(), 1);
        QVERIFY(f->port.calls.isEmpty());
        QVERIFY(f->port.written.isEmpty());
        QCOMPARE(f->settingsFile(), f->settings);
    }

    void send_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("empty") << "" << QByteArray("$\r\n");
        QTest::newRow("query") << "B?" << QByteArray("$B?\r\n");
        QTest::newRow("blanks kept") << " G1 0 045 " << QByteArray("$ G1 0 045 \r\n");
    }
    void send()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, frame);
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply(frame, "OK\r");
        frmComm *dialog = f->show();
        dialog->txtSend->setText(typed);
        dialog->cmdSend->click();
        QCOMPARE(f->port.written, QByteArrayList{frame});
        QCOMPARE(dialog->txtSend->text(), typed);
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("OK") + kCrPicture);
    }

    void timeout_data()
    {
        QTest::addColumn<QByteArray>("partial");
        QTest::addColumn<QString>("shown");
        QTest::newRow("silent") << QByteArray() << "Timeout ";
        QTest::newRow("part of a line") << QByteArray("@:R") << "Timeout @:R";
    }
    void timeout()
    {
        QFETCH(QByteArray, partial);
        QFETCH(QString, shown);
        QVERIFY(f->openAtStartUp(1));
        if (!partial.isEmpty())
            f->port.setReply("$@\r\n", partial);
        frmComm *dialog = f->show();
        QElapsedTimer clock;
        clock.start();
        dialog->cmdFind->click();
        QVERIFY(clock.elapsed() >= IndexerLink::kTimeoutMs - 10);
        QCOMPARE(dialog->txtRcv->text(), shown);
        QVERIFY(dialog->cmdFind->isEnabled());
        QVERIFY(dialog->cmdSend->isEnabled());
    }

    void controlCharactersShown_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("CR") << QByteArray("A:1\r") << QStringLiteral("A:1\\r");
        QTest::newRow("CR LF") << QByteArray("A:1\r\n") << QStringLiteral("A:1\\r\\n");
        QTest::newRow("NUL") << QByteArray("I:\0\x01\r", 5) << QStringLiteral("I:\\0\\x01\\r");
        QTest::newRow("ESC, US") << QByteArray("x\x1B\x1Fy\r") << QStringLiteral("x\\x1B\\x1Fy\\r");
        QTest::newRow("TAB") << QByteArray("a\tb\r") << QStringLiteral("a\\x09b\\r");
        QTest::newRow("DEL") << QByteArray("a\x7F\r") << QStringLiteral("a\\x7F\\r");
        QTest::newRow("backslash") << QByteArray("a\\b\r") << QStringLiteral("a\\\\b\\r");
        QTest::newRow("printable") << QByteArray(" ~A\r") << QStringLiteral(" ~A\\r");
        QTest::newRow("high bytes")
            << QByteArray("\xC8\xE9\xFF\r") << QString::fromUtf8("\u00C8\u00E9\u00FF\\r");
    }
    void controlCharactersShown()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$I\r\n", reply);
        frmComm *dialog = f->show();
        dialog->txtSend->setText(QStringLiteral("I"));
        dialog->cmdSend->click();
        QCOMPARE(dialog->txtRcv->text(), shown);
    }

    void pollOffWhileOpen_data()
    {
        QTest::addColumn<CloseWay>("way");
        QTest::addColumn<bool>("pollBefore");
        QTest::newRow("Close button") << CloseWay::CloseButton << true;
        QTest::newRow("Close button, poll was off") << CloseWay::CloseButton << false;
        QTest::newRow("close()") << CloseWay::CloseCall << true;
        QTest::newRow("close(), poll was off") << CloseWay::CloseCall << false;
        QTest::newRow("Escape") << CloseWay::Escape << false;
        QTest::newRow("accept()") << CloseWay::Accept << false;
        QTest::newRow("closeAllWindows") << CloseWay::CloseAllWindows << false;
        QTest::newRow("loop over top-level widgets") << CloseWay::TopLevelLoop << true;
    }
    void pollOffWhileOpen()
    {
        QFETCH(CloseWay, way);
        QFETCH(bool, pollBefore);
        if (pollBefore)
            f->tmrUpdate.start();
        const QPointer<frmComm> dialog = f->show();
        QVERIFY(dialog);
        QVERIFY(!f->tmrUpdate.isActive());

        switch (way) {
        case CloseWay::CloseButton:
            QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
            break;
        case CloseWay::CloseCall:
            QVERIFY(dialog->close());
            break;
        case CloseWay::Escape:
            QTest::keyClick(dialog->txtSend, Qt::Key_Escape);
            break;
        case CloseWay::Accept:
            dialog->accept();
            break;
        case CloseWay::CloseAllWindows:
            QApplication::closeAllWindows();
            break;
        case CloseWay::TopLevelLoop:
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (window != &f->main && window->isVisible())
                    window->close();
            }
            break;
        }
        QVERIFY(f->tmrUpdate.isActive());
        QCOMPARE(f->tmrUpdate.interval(), 500);
        QCOMPARE(frmComm::instance(), nullptr);
        QTRY_VERIFY(dialog.isNull());
        QVERIFY(f->tmrUpdate.isActive());
    }

    void pollOffAgainOnEachShowing()
    {
        frmComm::ShowDialog(f->link, f->tmrUpdate, &f->main)->close();
        QVERIFY(f->tmrUpdate.isActive());
        f->show();
        QVERIFY(!f->tmrUpdate.isActive());
    }

    void showTwiceBringsTheSameDialogForward()
    {
        frmComm *first = f->show();
        first->txtSend->setText(QStringLiteral("A?"));
        first->txtRcv->setText(QStringLiteral("kept"));
        first->optComPort[4]->click();
        QCOMPARE(frmComm::instance(), first);

        frmComm *second = f->show(true);
        QCOMPARE(second, first);
        QCOMPARE(frmComm::instance(), first);
        QCOMPARE(f->main.findChildren<frmComm *>().size(), 1);
        QCOMPARE(second->txtSend->text(), QStringLiteral("A?"));
        QCOMPARE(second->txtRcv->text(), QStringLiteral("kept"));
        QVERIFY(second->optComPort[4]->isChecked());
        QCOMPARE(int(second->nPort), 4);
        QVERIFY(second->isVisible());
    }

    void reopenStartsAfresh()
    {
        frmComm *first = f->show();
        first->txtSend->setText(QStringLiteral("A?"));
        first->optComPort[3]->click();
        first->close();
        frmComm *second = f->show();
        QVERIFY(second != nullptr);
        QVERIFY(second->isVisible());
        QVERIFY(second->txtSend->text().isEmpty());
        QVERIFY(second->optComPort[1]->isChecked());
        QCOMPARE(int(second->nPort), 1);
        QTRY_COMPARE(f->main.findChildren<frmComm *>().size(), 1);
    }

    void ethernetHasNoBehaviour()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$@\r\n", "@:3\r");
        frmComm *dialog = f->show();
        dialog->optComPort[3]->click();
        QTest::mouseClick(dialog->optCommPort_5, Qt::LeftButton);
        QVERIFY(dialog->optCommPort_5->isChecked());
        QCOMPARE(checkedPorts(dialog), 1);
        QCOMPARE(int(dialog->nPort), 3);
        QVERIFY(f->port.calls.isEmpty());

        // Find still uses the last serial port.
        dialog->cmdFind->click();
        QCOMPARE(int(CommPort), 3);
        QCOMPARE(f->port.portNumber(), 3);
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("@:3") + kCrPicture);

        dialog->txtHostAddress->setText(QStringLiteral("10.0.0.7"));
        dialog->txtHostPort->setText(QStringLiteral("2002"));
        dialog->close();
        frmComm *again = f->show();
        QCOMPARE(again->txtHostAddress->text(), QStringLiteral("192.168.1.100"));
        QCOMPARE(again->txtHostPort->text(), QStringLiteral("1001"));
        QVERIFY(!again->optCommPort_5->isChecked());
        QCOMPARE(f->settingsFile(), f->settings);
    }

    void ethernetNumberSendsNothing()
    {
        QVERIFY(f->openAtStartUp(1));
        frmComm *dialog = f->show();
        dialog->txtSend->setText(QStringLiteral("B?"));
        dialog->nPort = 5;
        dialog->cmdSend->click();
        dialog->cmdFind->click();
        QVERIFY(f->port.written.isEmpty());
        QVERIFY(f->port.calls.isEmpty());
        QCOMPARE(int(CommPort), 1);
        QCOMPARE(dialog->txtSend->text(), QStringLiteral("B?"));
        QVERIFY(dialog->cmdFind->isEnabled());
        QVERIFY(dialog->cmdSend->isEnabled());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void findReopensAPortThatFailedAtStartUp()
    {
        f->port.existingPorts.clear();
        QVERIFY(!f->openAtStartUp(1));
        QVERIFY(!f->port.isOpen());
        f->port.existingPorts = {1, 2, 3, 4};
        f->port.setReply("$@\r\n", "@:back\r");

        frmComm *dialog = f->show(true);
        QCOMPARE(int(dialog->nPort), 1);
        // Shown beside the main window after the failed open: the reason is there at once.
        QCOMPARE(dialog->lblPortError->text(), QStringLiteral("COM1 (/dev/fake1) not found"));

        dialog->cmdFind->click();
        QVERIFY(f->port.isOpen());
        QCOMPARE(f->port.portNumber(), 1);
        QCOMPARE(f->port.calls.last(), QStringLiteral("open 1"));
        QVERIFY(f->port.calls.contains("line 19200,N,8,1"));
        QCOMPARE(int(CommPort), 1);
        QCOMPARE(f->port.written, QByteArrayList{"$@\r\n"});
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("@:back") + kCrPicture);
        QVERIFY(dialog->lblPortError->text().isEmpty());
    }

    void openFailureShown_data()
    {
        QTest::addColumn<SerialPort::OpenFailure>("failure");
        QTest::addColumn<QString>("errorText");
        QTest::addColumn<QString>("shown");
        using F = SerialPort::OpenFailure;
        QTest::newRow("not found") << F::NotFound << ""
                                   << "COM2 (/dev/fake2) not found";
        QTest::newRow("in use") << F::InUse << ""
                                << "COM2 (/dev/fake2) in use by another program";
        QTest::newRow("no permission")
            << F::NoPermission << ""
            << "COM2 (/dev/fake2) no permission (add the user to the dialout group)";
        QTest::newRow("other with a reason") << F::Other << "Input/output error"
                                             << "COM2 (/dev/fake2): Input/output error";
        QTest::newRow("other without a reason") << F::Other << ""
                                                << "COM2 (/dev/fake2) could not be opened";
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
        QVERIFY(!f->port.isOpen());
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("Timeout "));
        QVERIFY(f->port.written.isEmpty());

        // A port that opens clears the reason.
        f->port.setReply("$@\r\n", "@:3\r");
        dialog->optComPort[3]->click();
        dialog->cmdFind->click();
        QVERIFY(dialog->lblPortError->text().isEmpty());
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("@:3") + kCrPicture);
    }

    void notFoundFromTheFakesDeviceList()
    {
        f->port.existingPorts = {1, 3, 4};
        QVERIFY(f->openAtStartUp(1));
        frmComm *dialog = f->show();
        dialog->optComPort[2]->click();
        dialog->cmdFind->click();
        QCOMPARE(dialog->lblPortError->text(), QStringLiteral("COM2 (/dev/fake2) not found"));
        QCOMPARE(dialog->txtRcv->text(), QStringLiteral("Timeout "));
        QCOMPARE(int(CommPort), 2);
    }

    void closedWhileFindWaits()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$@\r\n", "@:late\r", 150);
        QPointer<frmComm> dialog = f->show();
        bool closedAtOnce = false;
        QTimer::singleShot(30, &f->main, [&] {
            QVERIFY(dialog);
            QVERIFY(dialog->close());
            closedAtOnce = !dialog || !dialog->isVisible();
            QCOMPARE(frmComm::instance(), nullptr);
            QVERIFY(f->tmrUpdate.isActive());
        });
        dialog->cmdFind->click();
        QVERIFY(closedAtOnce);
        QTRY_VERIFY(dialog.isNull());
        QCOMPARE(frmComm::instance(), nullptr);
        QVERIFY(f->tmrUpdate.isActive());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(f->port.written, QByteArrayList{"$@\r\n"});

        // A new dialog works as usual.
        f->port.setReply("$@\r\n", "@:again\r");
        frmComm *again = f->show();
        QVERIFY(!f->tmrUpdate.isActive());
        again->cmdFind->click();
        QCOMPARE(again->txtRcv->text(), QStringLiteral("@:again") + kCrPicture);
    }

    void mainWindowClosedWhileSendWaits()
    {
        QVERIFY(f->openAtStartUp(1));
        f->port.setReply("$B?\r\n", "B:1\r", 150);
        QPointer<frmComm> dialog = f->show();
        dialog->txtSend->setText(QStringLiteral("B?"));
        QTimer::singleShot(30, &f->main, [] { QApplication::closeAllWindows(); });
        dialog->cmdSend->click();
        QTRY_VERIFY(dialog.isNull());
        QVERIFY(f->tmrUpdate.isActive());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void centredOverTheMainWindow()
    {
        frmComm *dialog = f->show();
        const QPoint offset = dialog->frameGeometry().center() - f->main.frameGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 2,
                 qPrintable(QString("%1,%2").arg(offset.x()).arg(offset.y())));
    }

    void besideTheMainWindow()
    {
        frmComm *dialog = f->show(true);
        QCOMPARE(dialog->frameGeometry().left(), f->main.frameGeometry().right() + 1);
        QCOMPARE(dialog->frameGeometry().top(), f->main.frameGeometry().top());
    }

    void besideButKeptOnScreen()
    {
        const QRect room = f->main.screen()->availableGeometry();
        f->main.move(room.right() - f->main.width() - 10, room.bottom() - 100);
        frmComm *dialog = f->show(true);
        QVERIFY2(room.contains(dialog->frameGeometry()),
                 qPrintable(QString("%1,%2 %3x%4 in %5,%6 %7x%8")
                                .arg(dialog->frameGeometry().x())
                                .arg(dialog->frameGeometry().y())
                                .arg(dialog->frameGeometry().width())
                                .arg(dialog->frameGeometry().height())
                                .arg(room.x())
                                .arg(room.y())
                                .arg(room.width())
                                .arg(room.height())));
    }
};

QTEST_MAIN(TestFrmComm)
#include "tst_frmcomm.moc"
