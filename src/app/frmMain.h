#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <utility>

class IndexerLink;
class Lamp;
class MotionStrip;
class MotionSupervisor;
class PocketLayout;
class PocketTable;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class VerticalSpin;
class LinePort;
struct PortChoice;

// The program's main window: the indexer's state, manual move, control mode and switches, the
// pocket table, and the link. It owns everything that lives for the whole run; tests give it a
// fake port in place of the program's own.
class frmMain : public QWidget
{
    Q_OBJECT
public:
    explicit frmMain(LinePort *port = nullptr, QWidget *parent = nullptr);
    ~frmMain() override;

    // Start-up: caption, timers, pocket table, settings, then the port and the status poll.
    void Form_Load();

    // The one link to the indexer: every command of the window goes through its queue.
    IndexerLink &link() { return *m_link; }
    // Every move passes it: the spin control's, and scripts'.
    MotionSupervisor &motion() { return *m_motion; }
    // The status strip under the controls.
    MotionStrip &strip() { return *motionStrip; }
    // The pocket table's layout, names included.
    PocketLayout layout() const;

    // What Exit does to end the program; tests replace it.
    void setExitHandler(std::function<void()> handler) { m_exitHandler = std::move(handler); }

    // Handlers.
    void cmdExit_Click();
    void cmdComm_Click();
    void tmrUpdate_Timer();
    void spnMove_Scroll();
    void spnMove_Change();
    void optMove_Click(int Index);
    void cmdControl_Click(int Index);
    void cmdSwitches_Click();
    void cmdCustom_Click(int Index);

    static QString versionCaption();

Q_SIGNALS:
    // Close has begun: nothing new should reach the link from now on.
    void closing();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Controls; tests reach them by objectName.
    QPushButton *cmdExit = nullptr;
    QPushButton *cmdComm = nullptr;
    QLabel *lblComm = nullptr;
    QGroupBox *fraPocket = nullptr;
    QLabel *lblPocket = nullptr;
    // The name of the pocket at the working position, under its number.
    QLabel *lblPocketName = nullptr;
    Lamp *ledReady = nullptr;
    Lamp *ledMoving = nullptr;
    QLabel *lblReady = nullptr;
    QLabel *lblbMoving = nullptr;
    QGroupBox *fraMove = nullptr;
    VerticalSpin *spnMove = nullptr;
    std::array<QRadioButton *, 2> optMove{};
    QLabel *lblMove = nullptr;
    std::array<QGroupBox *, 1> fraControl{};
    std::array<QPushButton *, 2> cmdControl{};
    std::array<QRadioButton *, 2> optManAuto{};
    QGroupBox *fraSwitches = nullptr;
    QPushButton *cmdSwitches = nullptr;
    std::array<QRadioButton *, 2> optSwitch{};
    QLabel *lblSwitch = nullptr;
    QGroupBox *fraConfig = nullptr;
    std::array<QPushButton *, 4> cmdCustom{};
    PocketTable *pocketTable = nullptr;
    MotionStrip *motionStrip = nullptr;
    // The status poll, every 500 ms while the port is open and the setup dialog closed.
    QTimer tmrUpdate{this};

    void buildControls();
    // A frame and its controls, at the place buildControls gives it.
    void buildPocket(const QRect &frame);
    void buildMove(const QRect &frame);
    void buildControl(const QRect &frame);
    void buildSwitches(const QRect &frame);
    void buildConfig(const QRect &frame);
    // Shows the setup dialog; the status poll is off until it reports finished().
    void showCommDialog(bool besideMain);
    // The port change, through the link's queue; the settings take the choice once it has run.
    void selectPort(const PortChoice &choice, std::function<void(bool opened)> then = {});
    void showPocket(const QString &reply);
    void showSpeed(const QString &reply);
    void showMotion(const QString &reply);
    void setSpinFromIndexer(int value);
    // The table's names to the supervisor and the displays.
    void namesChanged();
    // lblMove's tool tip: the name of the pocket the spin control selects.
    void showMoveName();

    IndexerLink *m_link = nullptr;
    MotionSupervisor *m_motion = nullptr;
    std::function<void()> m_exitHandler;
    bool m_closing = false;
    bool m_centred = false;
    // Set while the poll puts the indexer's value into spnMove: that change sends nothing.
    bool m_spinFromPoll = false;
    bool m_transferBusy = false;
    // The names kept from the last run are in the table: a change from now on is saved.
    bool m_namesLoaded = false;
    // The poll's requests that have not had their result yet.
    int m_pollWaiting = 0;
    // What the poll last read from the indexer: whether a speed (else a pocket), and the value.
    std::optional<std::pair<bool, int>> m_indexerValue;
    // The status word reaches the label at most once a display frame, the latest one.
    QTimer m_statusFrame;
    // The pocket the indexer last reported, for its name under the number.
    int m_shownPocket = 0;
};
