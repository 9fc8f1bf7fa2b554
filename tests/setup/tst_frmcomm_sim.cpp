// The setup dialog through the real serial layer against the simulator on a pseudo-terminal.
#include "commport.h"
#include "frmComm.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "settings.h"
#include "simprocess.h"
#include "systemserialport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestFrmCommSim : public QObject
{
    Q_OBJECT

    QTemporaryDir programDir;
    QTemporaryDir linkDir;
    QString linkPath;
    QString missingPath;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(programDir.isValid());
        QVERIFY(linkDir.isValid());
        SetProgramDirectoryOverride(programDir.path());
        linkPath =
            linkDir.filePath(QStringLiteral("ttySIM-%1").arg(QCoreApplication::applicationPid()));
        missingPath = linkDir.filePath(QStringLiteral("missing"));
        QFile ini(programDir.filePath(QStringLiteral("RV360.INI")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Ports]\r\nCOM1=" + linkPath.toUtf8() + "\r\nCOM2=" + missingPath.toUtf8() +
                  "\r\n");
    }
    void cleanupTestCase() { SetProgramDirectoryOverride({}); }

    void findShowsTheIdentification()
    {
        SimProcess sim;
        sim.setLinkPath(linkPath);
        QVERIFY(sim.start());
        SystemSerialPort port;
        IndexerLink link(port);
        QWidget main;
        main.show();
        CommPort = 1;
        QVERIFY(OpenCommPort(port, CommPort));

        const QPointer<frmComm> dialog = frmComm::ShowDialog(link, &main);
        QVERIFY(dialog);
        QCOMPARE(dialog->lblDevice->toolTip(), QStringLiteral("COM1: ") + linkPath);
        dialog->cmdFind->click();
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("@:RV-360 indexer simulator 1.0\\r"));
        QVERIFY(dialog->lblPortError->text().isEmpty());

        dialog->txtSend->setText(QStringLiteral("B?"));
        dialog->cmdSend->click();
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("B:1\\r"));

        QSignalSpy finished(dialog.data(), &QDialog::finished);
        dialog->cmdOK->click();
        QCOMPARE(finished.size(), 1);
        QTRY_VERIFY(dialog.isNull());
    }

    void switchingToAMissingDeviceAndBack()
    {
        SimProcess sim;
        sim.setLinkPath(linkPath);
        QVERIFY(sim.start());
        SystemSerialPort port;
        IndexerLink link(port);
        QWidget main;
        main.show();
        // The port failed at start-up: the dialog comes up beside the main window.
        CommPort = 2;
        QVERIFY(!OpenCommPort(port, CommPort));

        const QPointer<frmComm> dialog = frmComm::ShowDialog(link, &main, true);
        QCOMPARE(dialog->lblPortError->text(),
                 QStringLiteral("COM2 (") + missingPath + QStringLiteral(") not found"));
        dialog->cmdFind->click();
        QTRY_COMPARE(dialog->txtRcv->text(), QStringLiteral("Timeout "));
        QCOMPARE(dialog->lblPortError->text(),
                 QStringLiteral("COM2 (") + missingPath + QStringLiteral(") not found"));

        dialog->optComPort[1]->click();
        QCOMPARE(dialog->lblDevice->toolTip(), QStringLiteral("COM1: ") + linkPath);
        dialog->cmdFind->click();
        QCOMPARE(int(CommPort), 1);
        QVERIFY(port.isOpen());
        QTRY_VERIFY(dialog->txtRcv->text().startsWith(QStringLiteral("@:RV-360")));
        QVERIFY(dialog->lblPortError->text().isEmpty());
        dialog->close();
        QTRY_VERIFY(dialog.isNull());
    }
};

QTEST_MAIN(TestFrmCommSim)
#include "tst_frmcomm_sim.moc"
