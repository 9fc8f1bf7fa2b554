// The setup dialog on a fake port with a real link, offscreen.
#include "commandset.h"
#include "controls.h"
#include "fakeserialport.h"
#include "frmComm.h"
#include "indexerlink.h"
#include "serialdevices.h"
#include "settings.h"
#include "testhome.h"
#include "transact.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

class TestFrmComm : public QObject
{
    Q_OBJECT

    TestHome home;
    TestAuthority supervisor; // outlives the link that may ask it
    FakeSerialPort port;
    IndexerLink link{port};
    QWidget main;
    // What the system reports: a built-in port and a USB adapter.
    QList<SerialDeviceReport> reported = {
        {"/dev/ttyS0", "", "", ""},
        {home.dir.filePath("ttyUSB0"), "FT232R USB UART", "FTDI", "A1B2"}};

private Q_SLOTS:
    // Shown with Ethernet stored and a port that has not failed: no reason. The device list:
    // the devices reported now, by their stable names where they have one, details as tool
    // tips, refreshed as it opens; what is typed stays. A command: Find and Send off and the
    // busy pointer over the dialog only until the reply, which cannot be edited. A device typed
    // for the number in use is stored for it and opened in place of the old one.
    void dialog()
    {
        // A reply as shown: control characters and the backslash escaped.
        QCOMPARE(VisibleControls(QString::fromLatin1("A:1\r\n\0\x01\x1B\x1F\x7F a\\b\xC8~", 16)),
                 QString::fromUtf8("A:1\\r\\n\\0\\x01\\x1B\\x1F\\x7F a\\\\b\u00C8~"));
        QTemporaryDir byId;
        const QString stable = byId.filePath(QStringLiteral("usb-FTDI_FT232R_A1B2-if00-port0"));
        QFile(reported[1].systemLocation).open(QIODevice::WriteOnly);
        QVERIFY(QFile::link(reported[1].systemLocation, stable));
        // A second name for the same adapter: the first by name is the one shown.
        QVERIFY(QFile::link(reported[1].systemLocation, byId.filePath("usb-other-name")));
        SetSerialDeviceSource([this] { return reported; }, byId.path());
        QVERIFY(ReplaceFileAtomically(SettingsFilePath(), "[Ports]\r\nCOM2=/dev/ttyUSB7\r\n"));
        CommPort = 0; // no port number: COM1 shown
        QVERIFY(
            control<QRadioButton>(frmComm::ShowDialog(link, main), "optComPort_1")->isChecked());
        delete frmComm::instance();
        CommPort = 5;
        frmComm *dialog = frmComm::ShowDialog(link, main);
        // As the main window takes a choice: to the link, then to the settings.
        connect(dialog, &frmComm::portChosen, this, [this](const PortChoice &choice) {
            link.selectPort(choice, this, [choice](bool) { StorePortChoice(choice); });
        });
        QVERIFY(control<QRadioButton>(dialog, "optCommPort_5")->isChecked());
        QCOMPARE(control<QLabel>(dialog, "lblPortError")->text(), QString());
        QComboBox *list = control<QComboBox>(dialog, "cboDevice");
        QCOMPARE(list->itemText(0) + u' ' + list->itemText(1), "/dev/ttyS0 " + stable);
        QCOMPARE(list->itemData(1, Qt::ToolTipRole).toString(), "FT232R USB UART, FTDI, A1B2");
        reported.append({"/dev/ttyACM3", "", "", ""});
        control<QRadioButton>(dialog, "optComPort_2")->click();
        list->showPopup();
        list->hidePopup();
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyUSB7"));

        control<QRadioButton>(dialog, "optComPort_1")->click();
        list->setEditText(stable); // too long to show whole: its start, and whole as the tip
        QVERIFY(list->lineEdit()->cursorPosition() == 0 && list->lineEdit()->toolTip() == stable);
        QVERIFY(port.open(PortChoice::serial(1, "/dev/ttyS0")));
        port.replyDelayMs = 40;
        port.responder = [](const QByteArray &) { return "A:1\r"; };
        auto *reply = control<QLineEdit>(dialog, "txtRcv");
        auto *find = control<QPushButton>(dialog, "cmdFind"),
             *send = control<QPushButton>(dialog, "cmdSend");
        control<QLineEdit>(dialog, "txtSend")->setText(QStringLiteral("A?"));
        // Typed text goes nowhere while no motion supervisor watches the link.
        send->click();
        QCOMPARE(reply->text(), QStringLiteral("Refused: moves are not supervised"));
        link.setMotionAuthority(&supervisor);
        send->click();
        QVERIFY(reply->text().isEmpty() && !find->isEnabled() && !send->isEnabled());
        QCOMPARE(dialog->cursor().shape(), Qt::WaitCursor);
        QCOMPARE(QApplication::activeModalWidget(), nullptr); // the main window stays usable
        QTRY_VERIFY(find->isEnabled() && send->isEnabled());
        QTest::keyClicks(reply, QStringLiteral("x"));
        QCOMPARE(reply->text(), QStringLiteral("A:1\\r"));
        QCOMPARE(dialog->cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(port.calls, (QStringList{"open 1", "close 1", "open 1"}));
        SaveSettings();
        QVERIFY(contentsOf(SettingsFilePath()).contains("\nCOM1=" + QFile::encodeName(stable)));
        // The highest TCP port is tried (the fake port has no Ethernet); a device lost during a
        // command is no failure to open.
        auto *why = control<QLabel>(dialog, "lblPortError");
        control<QRadioButton>(dialog, "optCommPort_5")->click();
        control<QLineEdit>(dialog, "txtHostAddress")->setText(QStringLiteral("127.0.0.1"));
        control<QLineEdit>(dialog, "txtHostPort")->setText(QStringLiteral("65535"));
        find->click();
        QTRY_COMPARE(why->text(), QStringLiteral("Ethernet (127.0.0.1:65535) not found"));
        port.responder = [this](const QByteArray &) { return port.close(), QByteArray(); };
        control<QRadioButton>(dialog, "optComPort_1")->click();
        find->click();
        QTRY_VERIFY(find->isEnabled() && why->text().isEmpty() && !port.isOpen());
    }
};

QTEST_MAIN(TestFrmComm)
#include "tst_frmcomm.moc"
