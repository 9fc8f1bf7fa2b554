// The setup dialog on a fake port with a real link, offscreen.
#include "commandset.h"
#include "controls.h"
#include "fakeserialport.h"
#include "frmComm.h"
#include "indexerlink.h"
#include "serialdevices.h"
#include "settings.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace
{
// A main window and a link over the fake port; COM2 names a USB adapter in the settings file.
struct Fixture {
    TestHome home;
    FakeSerialPort port;
    IndexerLink link{port};
    QWidget main;
    const QByteArray settings = "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM2=/dev/ttyUSB7\r\n";

    Fixture()
    {
        ReplaceFileAtomically(SettingsFilePath(), settings);
        CommPort = 1;
        port.open(StoredPortChoice());
        port.calls.clear();
        main.setGeometry(60, 50, 410, 324);
        main.show();
    }
    ~Fixture()
    {
        if (frmComm *open = frmComm::instance())
            open->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SetSerialDeviceSource({});
        for (int n = 1; n <= 4; ++n)
            SetPortDevice(n, {});
    }
    // Shown as the main window shows it: the choice goes to the link, then to the settings.
    frmComm *show()
    {
        frmComm *dialog = frmComm::ShowDialog(link, &main);
        QObject::connect(dialog, &frmComm::portChosen, &main, [this](const PortChoice &choice) {
            link.selectPort(choice, &main, [choice](bool) { StorePortChoice(choice); });
        });
        return dialog;
    }
};
} // namespace

class TestFrmComm : public QObject
{
    Q_OBJECT

    std::unique_ptr<Fixture> f;

private Q_SLOTS:
    void init()
    {
        f.reset();
        f = std::make_unique<Fixture>();
    }
    void cleanup() { f.reset(); }

    // The pure texts: a reply as shown, and why a port did not open.
    void texts()
    {
        // clang-format off
        const std::pair<QByteArray, QString> replies[] = {
            {"A:1\r\n", "A:1\\r\\n"}, {QByteArray("I:\0\x01", 4), "I:\\0\\x01"},
            {"\x1B\x1F\x7F", "\\x1B\\x1F\\x7F"}, {"a\\b", "a\\\\b"},
            {"\xC8\xFF ~", QString::fromUtf8("\u00C8\u00FF ~")}};
        // clang-format on
        for (const auto &[reply, shown] : replies)
            QCOMPARE(VisibleControls(QString::fromLatin1(reply)), shown);
        using F = LinePort::OpenFailure;
        // clang-format off
        const std::tuple<F, QString, QString> failures[] = {
            {F::NotFound, "", " not found"}, {F::InUse, "", " in use by another program"},
            {F::InUse, "minicom, pid 7", " in use by another program (minicom, pid 7)"},
            {F::NoPermission, "", " no permission (add your user to the dialout group, then log in again)"},
            {F::SystemConsole, "", " is the system console: not opened"},
            {F::Other, "I/O error", ": I/O error"}, {F::Other, "", " could not be opened"}};
        // clang-format on
        for (const auto &[failure, errorText, shown] : failures)
            QCOMPARE(OpenFailureText(2, "/dev/x", failure, errorText), "COM2 (/dev/x)" + shown);
        QCOMPARE(OpenFailureText(5, "lab:1001", F::NotFound, {}), "Ethernet (lab:1001) not found");
    }

    // Start-up chooses CommPort's option (COM1 for any other number) without switching.
    // While the reply is awaited: Find and Send off, the busy pointer over the dialog only.
    void busyWhileWaiting()
    {
        f->port.setReply("$@\r\n", "@:RV-360\r", 40);
        frmComm *dialog = f->show();
        QCOMPARE(control<QGroupBox>(dialog, "Frame1")->findChildren<QRadioButton *>().size(), 5);
        control<QLineEdit>(dialog, "txtRcv")->setText(QStringLiteral("old"));
        control<QPushButton>(dialog, "cmdFind")->click();
        QVERIFY(control<QLineEdit>(dialog, "txtRcv")->text().isEmpty());
        QVERIFY(!control<QPushButton>(dialog, "cmdFind")->isEnabled() &&
                !control<QPushButton>(dialog, "cmdSend")->isEnabled());
        QCOMPARE(dialog->cursor().shape(), Qt::WaitCursor);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(QApplication::activeModalWidget(), nullptr); // the main window stays usable
        QTRY_VERIFY(control<QPushButton>(dialog, "cmdFind")->isEnabled() &&
                    control<QPushButton>(dialog, "cmdSend")->isEnabled());
        QTest::keyClicks(control<QLineEdit>(dialog, "txtRcv"),
                         QStringLiteral("x")); // a reply is not edited
        QCOMPARE(control<QLineEdit>(dialog, "txtRcv")->text(), QStringLiteral("@:RV-360\\r"));
        QCOMPARE(dialog->cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(contentsOf(SettingsFilePath()), f->settings); // the main window's business
    }

    // The device list: the devices reported now, by their stable names where they have one,
    // details as tool tips, refreshed as it opens. A device typed for a number is stored for
    // it and opened on Find; the settings keep it under [Ports], every other line as it was.
    void deviceList()
    {
        QTemporaryDir byId;
        const QString adapter = f->home.dir.filePath(QStringLiteral("ttyUSB0"));
        QFile(adapter).open(QIODevice::WriteOnly);
        const QString stable = byId.filePath(QStringLiteral("usb-FTDI_FT232R_A1B2-if00-port0"));
        QVERIFY(QFile::link(adapter, stable));
        // A second name for the same adapter: the first by name is the one shown.
        QVERIFY(QFile::link(adapter, byId.filePath(QStringLiteral("usb-other-name"))));
        QList<SerialDeviceReport> reported = {{"/dev/ttyS0", "", "", ""},
                                              {adapter, "FT232R USB UART", "FTDI", "A1B2"}};
        SetSerialDeviceSource([&reported] { return reported; }, byId.path());
        frmComm *dialog = f->show();
        QComboBox *list = control<QComboBox>(dialog, "cboDevice");
        QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->itemText(0), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(list->itemText(1), stable);
        QCOMPARE(list->itemData(1, Qt::ToolTipRole).toString(), "FT232R USB UART, FTDI, A1B2");
        reported.append({"/dev/ttyACM3", "", "", ""});
        list->showPopup();
        list->hidePopup();
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyS0")); // what was there stays
        control<QRadioButton>(dialog, "optComPort_2")->click();
        QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyUSB7"));

        // The same number, a new device: closed, stored and opened again.
        f->port.setReply("$@\r\n", "@:x\r");
        control<QRadioButton>(dialog, "optComPort_1")->click();
        list->setEditText(stable);
        control<QPushButton>(dialog, "cmdFind")->click();
        QTRY_COMPARE(control<QLineEdit>(dialog, "txtRcv")->text(), QStringLiteral("@:x\\r"));
        QCOMPARE(f->port.calls.first(), QStringLiteral("close 1"));
        QCOMPARE(f->port.calls.last(), QStringLiteral("open 1"));
        QCOMPARE(PortDeviceName(1), stable);
        // COM2 keeps what the file gives: nothing new for it.
        control<QRadioButton>(dialog, "optComPort_2")->click();
        control<QPushButton>(dialog, "cmdFind")->click();
        QTRY_VERIFY(control<QPushButton>(dialog, "cmdFind")->isEnabled());
        SaveSettings();
        QCOMPARE(contentsOf(SettingsFilePath()),
                 "[Application]\r\nCommPort=2\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n"
                 "ConfigFile=RV360.cfg\r\n[Ports]\r\nCOM2=/dev/ttyUSB7\r\nCOM1=" +
                     QFile::encodeName(stable) + "\r\n");
    }
};

QTEST_MAIN(TestFrmComm)
#include "tst_frmcomm.moc"
