#pragma once

#include "indexerlink.h"
#include "lineport.h"

#include <QDialog>
#include <array>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// Why a port did not open, in the operator's terms: "COM2 (/dev/ttyUSB0) not found".
QString OpenFailureText(int portNumber, const QString &device, LinePort::OpenFailure failure,
                        const QString &errorText);

// The communications setup dialog "Comm Setup": choose the serial port, probe the indexer and
// send any command by hand. Modeless and single. It is a client of the link like any other: its
// commands wait their turn in the link's queue. The port it shows is the link's; a port chosen
// goes out through portChosen(), which the main window hands to the link's queued port change,
// before the dialog's command. The main window stops its status poll while the dialog is open
// and starts it again on finished().
class frmComm : public QDialog
{
    Q_OBJECT
public:
    // Shows the one dialog: creates it and runs its start-up when none is open, otherwise brings
    // the open one forward unchanged. besideMain places a new dialog beside the main window
    // (start-up after a failed open) instead of centred.
    static frmComm *ShowDialog(IndexerLink &link, QWidget &mainWindow, bool besideMain = false);
    // The open dialog, or null.
    static frmComm *instance();

    void Form_Load();
    void optComPort_Click(int Index);
    void cmdFind_Click();
    void cmdSend_Click();
    void cmdOK_Click();

Q_SIGNALS:
    // Find or Send with this port chosen: a new choice switches to it, the same one retries a
    // port that failed to open or was lost.
    void portChosen(const PortChoice &choice);

protected:
    void closeEvent(QCloseEvent *event) override;
    // Escape, the close box and the Close button all end here, and finished() follows.
    void done(int r) override;

private:
    // The port number chosen; controls, which tests reach by objectName.
    qint16 nPort = 1;

    QPushButton *cmdOK = nullptr;
    QPushButton *cmdFind = nullptr;
    QPushButton *cmdSend = nullptr;
    QGroupBox *Frame1 = nullptr;
    // Indexes 1..4 are COM1..COM4; [0] does not exist.
    std::array<QRadioButton *, 5> optComPort{};
    QRadioButton *optCommPort_5 = nullptr;
    QLabel *lblHostAdd = nullptr;
    QLineEdit *txtHostAddress = nullptr;
    QLabel *lblHostPort = nullptr;
    QLineEdit *txtHostPort = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *txtSend = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *txtRcv = nullptr;
    // "Device:" and the device that the chosen port number opens, with the serial devices found
    // now in its list; a path may be typed.
    QLabel *lblDevice = nullptr;
    QComboBox *cboDevice = nullptr;
    // Why the port did not open; empty while it is open.
    QLabel *lblPortError = nullptr;

    frmComm(IndexerLink &link, QWidget *mainWindow);
    void buildControls();
    // The dialog's parts, top to bottom; the order they are made in is the tab chain's, the
    // device list apart.
    void buildPortFrame();
    void buildHostBoxes();
    void buildCommandLines();
    void buildDeviceLines();
    void placeBeside(const QWidget &mainWindow, bool besideMain);
    void showDevice();
    void showOpenFailure(bool opened);
    void SendTestCommand(const QString &command);
    void Form_Unload();

    IndexerLink &m_link;
    bool m_unloaded = false;
};
