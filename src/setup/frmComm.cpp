#include "frmComm.h"

#include "commandset.h"
#include "fittext.h"
#include "indexerlink.h"
#include "named.h"
#include "serialdevices.h"
#include "settings.h"
#include "twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <algorithm>

namespace
{

// The one open dialog; cleared as it closes, so that a closed dialog awaiting deletion is never
// brought forward again.
QPointer<frmComm> s_instance;

// The designed client area, grown at the bottom by the device and open-failure lines.
constexpr int kClientWidth = 3276;
constexpr int kClientHeight = 3960;

QString PortLabel(int portNumber)
{
    return QStringLiteral("COM%1").arg(portNumber);
}

// The device list: refreshed each time it opens, so that an adapter plugged in meanwhile shows;
// what the operator typed stays.
class DeviceList : public QComboBox
{
public:
    using QComboBox::QComboBox;

    void refresh()
    {
        const QString typed = currentText();
        clear();
        for (const SerialDevice &device : SerialDevices()) {
            addItem(device.path);
            setItemData(count() - 1, device.details, Qt::ToolTipRole);
        }
        setEditText(typed);
    }
    void showPopup() override
    {
        refresh();
        QComboBox::showPopup();
    }
};

} // namespace

QString OpenFailureText(int portNumber, const QString &device, LinePort::OpenFailure failure,
                        const QString &errorText)
{
    const QString which = (portNumber >= 5 ? QStringLiteral("Ethernet") : PortLabel(portNumber)) +
                          QStringLiteral(" (") + device + QStringLiteral(")");
    switch (failure) {
    case LinePort::OpenFailure::NotFound:
        return which + QStringLiteral(" not found");
    case LinePort::OpenFailure::InUse:
        // errorText names the program holding it, where its lock file says.
        return which + QStringLiteral(" in use by another program") +
               (errorText.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(errorText));
    case LinePort::OpenFailure::NoPermission:
        return which + QStringLiteral(" no permission (add your user to the dialout group, "
                                      "then log in again)");
    case LinePort::OpenFailure::SystemConsole:
        return which + QStringLiteral(" is the system console: not opened");
    case LinePort::OpenFailure::None:
    case LinePort::OpenFailure::Other:
        break;
    }
    return errorText.isEmpty() ? which + QStringLiteral(" could not be opened")
                               : which + QStringLiteral(": ") + errorText;
}

frmComm *frmComm::instance()
{
    return s_instance.data();
}

frmComm *frmComm::ShowDialog(IndexerLink &link, QWidget &mainWindow, bool besideMain)
{
    frmComm *dialog = s_instance.data();
    if (dialog) {
        dialog->show();
        dialog->raise();
    } else {
        dialog = new frmComm(link, &mainWindow);
        s_instance = dialog;
        dialog->Form_Load();
        dialog->placeBeside(mainWindow, besideMain);
        dialog->show();
    }
    dialog->activateWindow();
    return dialog;
}

frmComm::frmComm(IndexerLink &link, QWidget *mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint),
      m_link(link)
{
    setObjectName(QStringLiteral("frmComm"));
    setWindowTitle(QStringLiteral("Comm Setup"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFixedSize(twips(0, 0, kClientWidth, kClientHeight).size());
    buildControls();
}

void frmComm::buildControls()
{
    cmdOK = named(new QPushButton(QStringLiteral("&Close"), this), QStringLiteral("cmdOK"),
                  QStringLiteral("Close setup form."), twips(2340, 180, 792, 312));
    QFont bold = cmdOK->font();
    bold.setBold(true);
    cmdOK->setFont(bold);
    cmdFind =
        named(new QPushButton(QStringLiteral("&Find"), this), QStringLiteral("cmdFind"),
              QStringLiteral("Search for indexer on selected port."), twips(2340, 600, 792, 312));

    buildPortFrame();
    buildHostBoxes();
    buildCommandLines();
    buildDeviceLines();

    // Return in a text box must neither close the dialog nor send by surprise.
    for (QPushButton *button : {cmdOK, cmdFind, cmdSend})
        button->setAutoDefault(false);

    connect(cmdOK, &QPushButton::clicked, this, &frmComm::cmdOK_Click);
    connect(cmdFind, &QPushButton::clicked, this, &frmComm::cmdFind_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmComm::cmdSend_Click);
}

// The four serial ports and the Ethernet choice.
void frmComm::buildPortFrame()
{
    Frame1 = named(new QGroupBox(QStringLiteral("Comm Port"), this), QStringLiteral("Frame1"), {},
                   twips(120, 60, 2064, 1788));
    const QRect optGeometry[5] = {{},
                                  twips(180, 240, 936, 252),
                                  twips(180, 540, 936, 252),
                                  twips(1080, 240, 936, 252),
                                  twips(1080, 540, 936, 252)};
    for (int i = 1; i <= 4; ++i) {
        optComPort[i] = named(new QRadioButton(QStringLiteral("COM &%1").arg(i), Frame1),
                              QStringLiteral("optComPort_%1").arg(i),
                              QStringLiteral("Computer comm port to use."), optGeometry[i]);
        optComPort[i]->setStatusTip(PortLabel(i) + QStringLiteral(": ") + PortDeviceName(i));
        // toggled, not clicked: a choice made by Form_Load counts as a click too.
        connect(optComPort[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (!on)
                return;
            optComPort_Click(i);
            showDevice();
        });
    }
    // The indexer through a serial device server: the address and port boxes name it.
    optCommPort_5 =
        named(new QRadioButton(QStringLiteral("Ethernet"), Frame1), QStringLiteral("optCommPort_5"),
              QStringLiteral("Ethernet communications to indexer."), twips(180, 840, 1032, 252));
    connect(optCommPort_5, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            nPort = 5;
        // The device list is the serial ports' business.
        cboDevice->setEnabled(!on);
    });
    // Nothing stands to its right: room for the caption in any font.
    optCommPort_5->resize(qMax(optCommPort_5->width(), optCommPort_5->sizeHint().width()),
                          optCommPort_5->height());
}

// In the port frame, under the Ethernet choice: the address and port it uses.
void frmComm::buildHostBoxes()
{
    lblHostAdd = named(new QLabel(QStringLiteral("Address:"), Frame1), QStringLiteral("lblHostAdd"),
                       {}, twips(180, 1080, 732, 192));
    txtHostAddress = named(new QLineEdit(QStringLiteral("192.168.1.100"), Frame1),
                           QStringLiteral("txtHostAddress"),
                           QStringLiteral("Indexer ethernet address."), twips(180, 1320, 972, 312));
    // Room up to the port label, so that the caption is never cut in a wider font.
    lblHostAdd->resize(qMax(lblHostAdd->width(), lblHostAdd->sizeHint().width()),
                       lblHostAdd->height());
    lblHostPort = named(new QLabel(QStringLiteral("Port:"), Frame1), QStringLiteral("lblHostPort"),
                        {}, twips(1320, 1080, 492, 192));
    // The design's address whole, in any font; the start of a longer one.
    FitFontToText(txtHostAddress, txtHostAddress->text());
    txtHostAddress->setCursorPosition(0);
    txtHostPort = named(
        new QLineEdit(QStringLiteral("1001"), Frame1), QStringLiteral("txtHostPort"),
        QStringLiteral("Computer ethernet port (usually 1001)."), twips(1260, 1320, 612, 312));
    // Any TCP port whole: five digits.
    FitFontToText(txtHostPort, QStringLiteral("65535"));
}

// The command typed by hand and the indexer's response.
void frmComm::buildCommandLines()
{
    Label2 = named(new QLabel(QStringLiteral("Command:"), this), QStringLiteral("Label2"), {},
                   twips(120, 1980, 1272, 192));
    txtSend = named(new QLineEdit(this), QStringLiteral("txtSend"),
                    QStringLiteral("Command to send to indexer."), twips(120, 2220, 2052, 288));
    cmdSend = named(new QPushButton(QStringLiteral("Send"), this), QStringLiteral("cmdSend"),
                    QStringLiteral("Send command to indexer."), twips(2340, 2220, 792, 312));
    Label3 = named(new QLabel(QStringLiteral("Response"), this), QStringLiteral("Label3"), {},
                   twips(120, 2580, 912, 192));
    txtRcv = named(new QLineEdit(this), QStringLiteral("txtRcv"),
                   QStringLiteral("Response from indexer."), twips(120, 2820, 3012, 288));
    txtRcv->setReadOnly(true);
    connect(txtRcv, &QLineEdit::textChanged, this,
            [this] { TipWhenCut(txtRcv, QStringLiteral("Response from indexer.")); });
    QPalette face = txtRcv->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    txtRcv->setPalette(face);
}

// The device of the chosen port and why it did not open.
void frmComm::buildDeviceLines()
{
    lblDevice = named(new QLabel(QStringLiteral("&Device:"), this), QStringLiteral("lblDevice"), {},
                      twips(120, 3180, 720, 225));
    auto *devices = new DeviceList(this);
    devices->setEditable(true);
    devices->setInsertPolicy(QComboBox::NoInsert);
    cboDevice = named(devices, QStringLiteral("cboDevice"),
                      QStringLiteral("Device that the chosen port opens; a path may be typed."),
                      twips(840, 3135, 2292, 312));
    devices->refresh();
    // A long path (a by-id name) shows its start, and whole as the tool tip.
    connect(devices, &QComboBox::editTextChanged, this, [devices] {
        TipWhenCut(devices->lineEdit(),
                   QStringLiteral("Device that the chosen port opens; a path may be typed."));
    });
    lblDevice->setBuddy(cboDevice);
    // After the port options, before the Ethernet boxes.
    setTabOrder(optCommPort_5, cboDevice);
    setTabOrder(cboDevice, txtHostAddress);
    lblPortError =
        named(new QLabel(this), QStringLiteral("lblPortError"), {}, twips(120, 3480, 3012, 420));
    // Two lines: a reason with a long device path still fits the fixed width.
    lblPortError->setWordWrap(true);
    lblPortError->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void frmComm::placeBeside(const QWidget &mainWindow, bool besideMain)
{
    // Not shown yet, the dialog has no frame: assume one like the main window's.
    const QRect main = mainWindow.frameGeometry();
    const QSize size = frameGeometry().size() + main.size() - mainWindow.size();
    QPoint topLeft = besideMain ? QPoint(main.right() + 1, main.top())
                                : main.center() - QPoint(size.width() / 2, size.height() / 2);
    if (const QScreen *screen = mainWindow.screen()) {
        const QRect room = screen->availableGeometry();
        topLeft.setX(std::clamp(topLeft.x(), room.left(),
                                std::max(room.left(), room.right() + 1 - size.width())));
        topLeft.setY(std::clamp(topLeft.y(), room.top(),
                                std::max(room.top(), room.bottom() + 1 - size.height())));
    }
    move(topLeft);
}

void frmComm::Form_Load()
{
    // The port the settings name (the window keeps them with the link's), the stored endpoint
    // when it is one, else the design's texts.
    const PortChoice stored = StoredPortChoice();
    if (UsableEndpoint(stored.host, stored.tcpPort)) {
        txtHostAddress->setText(stored.host);
        txtHostPort->setText(QString::number(stored.tcpPort));
        FitFontToText(txtHostAddress, stored.host);
        txtHostAddress->setCursorPosition(0);
    }
    const LinePort &port = m_link.port();
    // Shown beside the main window after a failed start-up open: say why at once.
    const bool opened = port.isOpen() || port.lastOpenFailure() == LinePort::OpenFailure::None;
    if (stored.ethernet()) {
        optCommPort_5->setChecked(true);
        showOpenFailure(opened);
        return;
    }
    const int index = stored.number >= 1 ? stored.number : 1;
    if (optComPort[index]->isChecked()) {
        optComPort_Click(index);
        showDevice();
    } else {
        optComPort[index]->setChecked(true);
    }
    showOpenFailure(opened);
}

void frmComm::optComPort_Click(int Index)
{
    nPort = static_cast<qint16>(Index);
}

void frmComm::showDevice()
{
    cboDevice->setEditText(PortDeviceName(nPort));
    cboDevice->lineEdit()->setCursorPosition(0);
}

void frmComm::showOpenFailure(bool opened)
{
    if (opened) {
        lblPortError->clear();
        lblPortError->setToolTip({});
        return;
    }
    const LinePort &port = m_link.port();
    const PortChoice &choice = port.choice();
    const QString text =
        OpenFailureText(choice.number, choice.name(), port.lastOpenFailure(), port.errorText());
    // A device path has no blanks: a break is allowed after each "/" so that the line wraps
    // rather than being cut off, and the dialog grows at the bottom for the lines it takes.
    QString shown = text;
    shown.replace(u'/', QStringLiteral("/\u200B"));
    lblPortError->setText(shown);
    lblPortError->setToolTip(text);
    const int lines = lblPortError->heightForWidth(lblPortError->width());
    if (lines > lblPortError->height()) {
        lblPortError->resize(lblPortError->width(), lines);
        setFixedHeight(lblPortError->geometry().bottom() + 1 + twips(0, 0, 0, 60).height());
    }
}

void frmComm::cmdFind_Click()
{
    SendTestCommand(Indexer::kProbe);
}

void frmComm::cmdSend_Click()
{
    // Typed text goes out only where a motion supervisor watches the link (it refuses text that
    // could command motion): without one, nothing typed is sent.
    if (!m_link.motionAuthority()) {
        txtRcv->setText(QStringLiteral("Refused: moves are not supervised"));
        return;
    }
    SendTestCommand(txtSend->text());
}

void frmComm::cmdOK_Click()
{
    close();
}

void frmComm::SendTestCommand(const QString &command)
{
    PortChoice choice;
    choice.number = nPort;
    // Ethernet: the boxes must name an endpoint, else nothing is sent.
    if (choice.ethernet()) {
        const QString address = txtHostAddress->text().trimmed();
        bool numeric = false;
        const int port = txtHostPort->text().trimmed().toInt(&numeric);
        QString wrong;
        if (!numeric || port < 1 || port > 65535)
            wrong = QStringLiteral("Ethernet: the port must be a number from 1 to 65535");
        else if (!UsableEndpoint(address, port))
            wrong = QStringLiteral("Ethernet: \"%1\" is no address or host name").arg(address);
        if (!wrong.isEmpty()) {
            lblPortError->setText(wrong);
            lblPortError->setToolTip(wrong);
            return;
        }
        choice.host = address;
        choice.tcpPort = port;
    } else {
        // A device chosen or typed for this number opens in place of the one it had.
        const QString device = cboDevice->currentText().trimmed();
        choice.device = device.isEmpty() ? PortDeviceName(nPort) : device;
    }
    // The busy pointer over the dialog only: the main window stays usable meanwhile.
    setCursor(Qt::WaitCursor);
    cmdSend->setEnabled(false);
    cmdFind->setEnabled(false);

    // Queued ahead of the command: a new choice switches the port, the same one retries a port
    // that failed to open or was lost, rather than time out on a closed port.
    Q_EMIT portChosen(choice);

    txtSend->setText(command);
    txtRcv->clear();
    // Bound to the dialog: a dialog closed meanwhile is not called back.
    const auto shown = [this](const IndexerLink::Reply &reply) {
        const LinePort &port = m_link.port();
        showOpenFailure(port.isOpen() || port.lastOpenFailure() == LinePort::OpenFailure::None);
        txtRcv->setText(reply.unsent == IndexerLink::Unsent::Refused
                            ? QStringLiteral("Refused: ") + reply.refusal
                            : VisibleControls(reply.text));
        cmdSend->setEnabled(true);
        cmdFind->setEnabled(true);
        unsetCursor();
    };
    m_link.SendCommand(command, this, shown);
}

void frmComm::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    s_instance = nullptr;
}

void frmComm::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    QDialog::closeEvent(event);
}

void frmComm::done(int r)
{
    Form_Unload();
    QDialog::done(r);
}
