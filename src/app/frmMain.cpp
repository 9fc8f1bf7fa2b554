#include "frmMain.h"

#include "commandset.h"
#include "configfiledialog.h"
#include "configtransfer.h"
#include "errorbox.h"
#include "errormessage.h"
#include "fittext.h"
#include "frmComm.h"
#include "indexerlink.h"
#include "lamp.h"
#include "lineport.h"
#include "modFormUtil.h"
#include "motionstrip.h"
#include "motionsupervisor.h"
#include "named.h"
#include "pockettable.h"
#include "settings.h"
#include "twips.h"
#include "verticalspin.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

namespace
{

QFont bigBold(const QFont &base)
{
    QFont font = base;
    font.setPointSize(24);
    font.setBold(true);
    return font;
}

QLabel *borderedLabel(QWidget *parent, const QString &name, const QString &text)
{
    auto *label = named(new QLabel(text, parent), name);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// One of a frame's like controls: caption, tool tip and place in the frame.
struct ControlRow {
    const char *text;
    const char *toolTip;
    QRect geometry;
};

// Controls made from rows, named "<base>_<index>" as tests and UI automation find them.
template <typename W, std::size_t N>
void makeControls(std::array<W *, N> &controls, const ControlRow (&rows)[N], QWidget *parent,
                  const char *base)
{
    for (std::size_t i = 0; i < N; ++i)
        controls[i] = named(new W(QString::fromLatin1(rows[i].text), parent),
                            QStringLiteral("%1_%2").arg(QLatin1String(base)).arg(i),
                            QString::fromLatin1(rows[i].toolTip), rows[i].geometry);
}

} // namespace

frmMain::frmMain(LinePort *port, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("RV-360 Crucible Indexer"));
    InstallErrorMessageBox();
    m_link = port ? new IndexerLink(*port, this) : new IndexerLink(this);
    m_motion = new MotionSupervisor(*m_link, this);
    buildControls();
    // A "Busy" of a few milliseconds need not reach the screen: the word is painted at most once
    // a display frame, and what the label says is never more than a frame old.
    m_statusFrame.setSingleShot(true);
    m_statusFrame.setInterval(16);
    connect(&m_statusFrame, &QTimer::timeout, this,
            [this] { lblComm->setText(m_link->statusWord()); });
    connect(m_link, &IndexerLink::linkStatusChanged, this, [this](const QString &word) {
        // Back to the word on screen within the frame (a poll's Busy, then Ready): nothing to
        // paint, and no wake-up for it.
        if (word == lblComm->text())
            m_statusFrame.stop();
        else if (!m_statusFrame.isActive())
            m_statusFrame.start();
    });

    tmrUpdate.setObjectName(QStringLiteral("tmrUpdate"));
    tmrUpdate.setTimerType(Qt::PreciseTimer);
    connect(&tmrUpdate, &QTimer::timeout, this, &frmMain::tmrUpdate_Timer);
}

frmMain::~frmMain()
{
    tmrUpdate.stop();
    m_link->shutdown();
}

QString frmMain::versionCaption()
{
    // Major, a point, then minor and revision side by side: 1.0.1 is V1.01.
    return QStringLiteral(" - V%1.%2%3")
        .arg(RV360_VERSION_MAJOR)
        .arg(RV360_VERSION_MINOR)
        .arg(RV360_VERSION_PATCH);
}

void frmMain::buildControls()
{
    // The names' column widens the window (the buttons on the right move with it), the pocket's
    // name under its number and the note under the table make it taller (the frames below the
    // pocket's move down), and the status strip goes below everything.
    const int wider = PocketTable::nameWidth();
    constexpr int taller = PocketTable::kNoteHeight - 4;
    const QSize client = twips(0, 0, 6144, 4860).size() + QSize(wider, taller);
    setFixedSize(client + QSize(0, MotionStrip::kHeight));
    motionStrip = new MotionStrip(*m_motion, this);
    motionStrip->setGeometry(0, client.height(), client.width(), MotionStrip::kHeight);
    const auto right = [wider](const QRect &r) { return r.translated(wider, 0); };
    const auto below = [](const QRect &r) { return r.translated(0, taller); };

    cmdExit = named(new QPushButton(QStringLiteral("E&xit"), this), QStringLiteral("cmdExit"),
                    QStringLiteral("Exit application."), right(twips(5220, 300, 792, 312)));
    cmdComm = named(new QPushButton(QStringLiteral("&Comm"), this), QStringLiteral("cmdComm"),
                    QStringLiteral("Setup communications."), right(twips(5220, 720, 792, 312)));
    lblComm = named(new QLabel(QStringLiteral("Busy"), this), QStringLiteral("lblComm"));
    lblComm->setAlignment(Qt::AlignCenter);
    lblComm->setGeometry(right(twips(5220, 1140, 792, 192)));
    connect(cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(cmdComm, &QPushButton::clicked, this, &frmMain::cmdComm_Click);

    buildPocket(twips(120, 60, 2052, 1092).adjusted(0, 0, 0, taller));
    buildMove(below(twips(120, 1260, 2052, 1092)));
    buildControl(below(twips(120, 2460, 2052, 1092)));
    buildSwitches(below(twips(120, 3660, 2052, 1092)));
    buildConfig(twips(2280, 60, 2772, 4692).adjusted(0, 0, wider, taller + 4));
}

// The number at the working position, its name and the two lamps.
void frmMain::buildPocket(const QRect &frame)
{
    fraPocket = named(new QGroupBox(QStringLiteral("Pocket"), this), QStringLiteral("fraPocket"),
                      {}, frame);
    lblPocket = borderedLabel(fraPocket, QStringLiteral("lblPocket"), QStringLiteral("?"));
    lblPocket->setFont(bigBold(font()));
    lblPocket->setGeometry(6, 22, 42, 46);
    lblPocketName = named(new QLabel(fraPocket), QStringLiteral("lblPocketName"));
    lblPocketName->setGeometry(6, 69, 128, 16);
    ShowWhole(lblPocketName, QStringLiteral("Pocket name"), QString());
    ledReady = named(new Lamp(fraPocket), QStringLiteral("ledReady"));
    ledReady->setAccessibleName(QStringLiteral("Ready"));
    ledReady->setGeometry(56, 27, 13, 13);
    lblReady = named(new QLabel(QStringLiteral("Ready"), fraPocket), QStringLiteral("lblReady"), {},
                     {74, 25, 60, 17});
    ledMoving = named(new Lamp(fraPocket), QStringLiteral("ledMoving"));
    ledMoving->setAccessibleName(QStringLiteral("Moving"));
    ledMoving->setGeometry(56, 49, 13, 13);
    lblbMoving = named(new QLabel(QStringLiteral("Moving"), fraPocket),
                       QStringLiteral("lblbMoving"), {}, {74, 47, 60, 17});
}

// The value, the spin control and the mode.
void frmMain::buildMove(const QRect &frame)
{
    fraMove =
        named(new QGroupBox(QStringLiteral("Move"), this), QStringLiteral("fraMove"), {}, frame);
    lblMove = borderedLabel(fraMove, QStringLiteral("lblMove"), QStringLiteral("1"));
    lblMove->setFont(bigBold(font()));
    lblMove->setGeometry(6, 22, 42, 46);
    spnMove = named(new VerticalSpin(1, 8, fraMove), QStringLiteral("spnMove"));
    spnMove->setGeometry(50, 21, 15, 49);
    static constexpr ControlRow modes[] = {
        {"Pocket", "Select pocket.", {68, 25, 67, 17}},
        {"Speed", "Set continuous pocket sweep speed.", {68, 47, 67, 17}},
    };
    makeControls(optMove, modes, fraMove, "optMove");
    optMove[0]->setChecked(true);
    connect(spnMove, &VerticalSpin::spinChanged, this, &frmMain::spnMove_Change);
    connect(spnMove, &VerticalSpin::spinScrolled, this, &frmMain::spnMove_Scroll);
    for (int i = 0; i < 2; ++i)
        connect(optMove[i], &QRadioButton::clicked, this, [this, i] { optMove_Click(i); });
}

// The automatic control source.
void frmMain::buildControl(const QRect &frame)
{
    fraControl[0] = named(new QGroupBox(QStringLiteral("Control"), this),
                          QStringLiteral("fraControl_0"), {}, frame);
    static constexpr ControlRow sources[] = {
        {"I/O", "Auto control from digital I/O.", {6, 25, 67, 17}},
        {"Comm", "Auto control from RS232/Ethernet.", {6, 47, 67, 17}},
    };
    static constexpr ControlRow transfers[] = {
        {"Read", "Read control configuration.", {74, 22, 57, 22}},
        {"Send", "Set control configuration.", {74, 46, 57, 22}},
    };
    makeControls(optManAuto, sources, fraControl[0], "optManAuto");
    makeControls(cmdControl, transfers, fraControl[0], "cmdControl");
    for (int i = 0; i < 2; ++i)
        connect(cmdControl[i], &QPushButton::clicked, this, [this, i] { cmdControl_Click(i); });
}

// Front or rear panel, read as a hexadecimal byte.
void frmMain::buildSwitches(const QRect &frame)
{
    fraSwitches = named(new QGroupBox(QStringLiteral("Switches"), this),
                        QStringLiteral("fraSwitches"), {}, frame);
    static constexpr ControlRow panels[] = {
        {"Pocket", "Read front panel switches.", {6, 25, 67, 17}},
        {"Select", "Read rear panel pocket swicthes.", {6, 47, 67, 17}},
    };
    makeControls(optSwitch, panels, fraSwitches, "optSwitch");
    optSwitch[0]->setChecked(true);
    cmdSwitches =
        named(new QPushButton(QStringLiteral("Read"), fraSwitches), QStringLiteral("cmdSwitches"),
              QStringLiteral("Read switch settings."), {74, 22, 57, 22});
    lblSwitch = borderedLabel(fraSwitches, QStringLiteral("lblSwitch"), QString());
    lblSwitch->setToolTip(QStringLiteral("See manual for swicth values."));
    lblSwitch->setGeometry(74, 47, 57, 20);
    connect(cmdSwitches, &QPushButton::clicked, this, &frmMain::cmdSwitches_Click);
}

// The pocket table with its four buttons.
void frmMain::buildConfig(const QRect &frame)
{
    fraConfig = named(new QGroupBox(QStringLiteral("Custom Configuration"), this),
                      QStringLiteral("fraConfig"), {}, frame);
    // Read over Send on the left, Open over Save on the right.
    static constexpr ControlRow custom[] = {
        {"Read", "Read indexer configuration.", {30, 22, 60, 22}},
        {"Send", "Save to indexer.", {30, 46, 60, 22}},
        {"Open", "Open configuration file.", {100, 22, 60, 22}},
        {"Save", "Save configuration to file.", {100, 46, 60, 22}},
    };
    makeControls(cmdCustom, custom, fraConfig, "cmdCustom");
    for (int i = 0; i < 4; ++i)
        connect(cmdCustom[i], &QPushButton::clicked, this, [this, i] { cmdCustom_Click(i); });
    pocketTable = new PocketTable(fraConfig, 88);
    pocketTable->setObjectName(QStringLiteral("pocketTable"));
    connect(pocketTable, &PocketTable::namesChanged, this, &frmMain::namesChanged);
}

void frmMain::showEvent(QShowEvent *event)
{
    if (!m_centred) {
        m_centred = true;
        if (const QScreen *s = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(s->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}

void frmMain::Form_Load()
{
    setWindowTitle(windowTitle() + versionCaption());
    tmrUpdate.setInterval(500);
    tmrUpdate.stop();

    pocketTable->FillLocationLists();
    pocketTable->FillModeLists();
    pocketTable->setDefaults();

    LoadSettings();
    // The names kept from the last run, the good ones.
    PocketLayout named = pocketTable->layout();
    named.setNames(PocketNames);
    pocketTable->setLayout(named);
    m_namesLoaded = true;

    // The Ethernet choice as a serial port: an endpoint it cannot use fails to open, with the
    // reason, and nothing is sent.
    selectPort(StoredPortChoice(), [this](bool opened) {
        if (!opened) {
            showCommDialog(true); // beside the main window
            return;
        }
        tmrUpdate.start();
        // The first look at the indexer comes at once, not a whole period after start-up.
        QTimer::singleShot(0, this, [this] {
            if (tmrUpdate.isActive())
                tmrUpdate_Timer();
        });
    });
}

void frmMain::cmdExit_Click()
{
    // Ends the program at once: no settings are written.
    tmrUpdate.stop();
    m_link->shutdown();
    if (m_exitHandler)
        m_exitHandler();
    else
        QCoreApplication::exit(0);
}

void frmMain::cmdComm_Click()
{
    showCommDialog(false);
}

void frmMain::showCommDialog(bool besideMain)
{
    const bool opening = frmComm::instance() == nullptr;
    frmComm *dialog = frmComm::ShowDialog(*m_link, *this, besideMain);
    if (!opening)
        return; // brought forward: the poll is off already
    tmrUpdate.stop();
    connect(dialog, &frmComm::portChosen, this,
            [this](const PortChoice &choice) { selectPort(choice); });
    connect(dialog, &QDialog::finished, this, [this] {
        // However the dialog closed; not when the program is ending.
        if (!m_closing)
            tmrUpdate.start();
    });
}

void frmMain::selectPort(const PortChoice &choice, std::function<void(bool opened)> then)
{
    m_link->selectPort(choice, this, [choice, then = std::move(then)](bool opened) {
        StorePortChoice(choice);
        if (then)
            then(opened);
    });
}

void frmMain::closeEvent(QCloseEvent *) // accepted as it comes
{
    if (!m_closing) {
        m_closing = true;
        Q_EMIT closing();
        pocketTable->takeTypedNames();
        PocketNames = pocketTable->layout().names();
        SaveSettings();
        CloseForms(this);
        tmrUpdate.stop();
        m_link->shutdown();
    }
}

void frmMain::tmrUpdate_Timer()
{
    // The poll goes ahead of scripts' requests; a tick while the last poll still waits adds
    // nothing, so that ticks never pile up.
    if (m_pollWaiting > 0 || m_link->isShutDown())
        return;
    using Reply = IndexerLink::Reply;
    constexpr auto poll = IndexerLink::Lane::Poll;
    const QString *value = optMove[0]->isChecked()   ? &Indexer::kQueryPocket
                           : optMove[1]->isChecked() ? &Indexer::kQuerySpeed
                                                     : nullptr;
    if (value) {
        ++m_pollWaiting;
        m_link->SendCommand(
            *value, this,
            [this, pocket = value == &Indexer::kQueryPocket](const Reply &reply) {
                --m_pollWaiting;
                pocket ? showPocket(reply.text) : showSpeed(reply.text);
            },
            poll);
    }
    ++m_pollWaiting;
    m_link->SendCommand(
        Indexer::kQueryMotion, this,
        [this](const Reply &reply) {
            --m_pollWaiting;
            showMotion(reply.text);
        },
        poll);
}

void frmMain::showPocket(const QString &reply)
{
    // A timeout's text has no pocket in it ("Timeout ": the letter m).
    const auto n = Indexer::pocketOrSpeed(reply);
    m_shownPocket = n.value_or(0);
    ShowWhole(lblPocketName, QStringLiteral("Pocket name"), m_motion->nameOf(m_shownPocket));
    if (n) {
        lblPocket->setText(QString::number(*n));
        setSpinFromIndexer(*n);
    } else {
        lblPocket->setText(QStringLiteral("?"));
    }
}

void frmMain::showSpeed(const QString &reply)
{
    if (const auto n = Indexer::pocketOrSpeed(reply))
        setSpinFromIndexer(*n);
}

void frmMain::showMotion(const QString &reply)
{
    const auto c = Indexer::thirdChar(reply);
    ledMoving->setOn(c == QLatin1Char('M'));
    ledReady->setOn(c == QLatin1Char('R'));
}

void frmMain::setSpinFromIndexer(int value)
{
    m_indexerValue = {optMove[1]->isChecked(), value};
    // A thumb the operator holds is not taken from them: the display follows after release.
    if (spnMove->isSliderDown())
        return;
    // A monitoring poll never commands motion: the display follows, nothing is sent.
    m_spinFromPoll = true;
    spnMove->setSpinValue(value);
    m_spinFromPoll = false;
    lblMove->setText(QString::number(spnMove->spinValue()));
    showMoveName();
}

void frmMain::namesChanged()
{
    m_motion->setNames(pocketTable->layout().names());
    // Kept at once: Exit saves no setting, and a crash none either.
    if (m_namesLoaded) {
        PocketNames = pocketTable->layout().names();
        SavePocketNames();
    }
    ShowWhole(lblPocketName, QStringLiteral("Pocket name"), m_motion->nameOf(m_shownPocket));
    showMoveName();
}

void frmMain::showMoveName()
{
    lblMove->setToolTip(optMove[0]->isChecked() ? m_motion->nameOf(lblMove->text().toInt())
                                                : QString());
}

void frmMain::spnMove_Scroll()
{
    lblMove->setText(QString::number(spnMove->spinPosition()));
    showMoveName();
}

void frmMain::spnMove_Change()
{
    if (m_spinFromPoll)
        return;
    const bool pocket = optMove[0]->isChecked();
    if (!pocket && !optMove[1]->isChecked())
        return;
    const int sent = spnMove->spinValue();
    auto told = [this, sent](const MotionSupervisor::Outcome &outcome) {
        // Never written (moves inhibited, a line not proven to drain, a full queue): the display
        // goes back to what the indexer last reported.
        const bool unsent = !outcome.code.isEmpty();
        const bool speed = optMove[1]->isChecked();
        if (unsent && spnMove->spinValue() == sent && m_indexerValue &&
            m_indexerValue->first == speed) {
            setSpinFromIndexer(m_indexerValue->second);
            return;
        }
        // The value now, not the one sent: after quick changes the display settles on the latest.
        lblMove->setText(QString::number(spnMove->spinValue()));
        showMoveName();
    };
    // Quick changes while the line is slow: only the latest waiting one is sent.
    const QString source = MotionSupervisor::windowSource();
    if (pocket)
        m_motion->move(sent, source, this, told, spnMove);
    else
        m_motion->speed(sent, source, this, told, spnMove);
}

void frmMain::optMove_Click(int Index)
{
    if (Index == 0)
        fraMove->setTitle(QStringLiteral("Move"));
    else if (Index == 1)
        fraMove->setTitle(QStringLiteral("Speed"));
    showMoveName();
}

void frmMain::cmdControl_Click(int Index)
{
    if (Index == 0) {
        m_link->SendLatest(cmdControl[0], Indexer::kQueryControl, this,
                           [this](const IndexerLink::Reply &reply) {
                               if (reply.timedOut)
                                   return;
                               if (const auto source = Indexer::controlSource(reply.text))
                                   optManAuto[*source]->setChecked(true);
                           });
    } else if (Index == 1) {
        for (int source : {0, 1}) {
            if (optManAuto[source]->isChecked())
                return m_link->SendLatest(cmdControl[1], Indexer::controlCommand(source));
        }
    }
}

void frmMain::cmdSwitches_Click()
{
    const bool front = optSwitch[0]->isChecked();
    if (!front && !optSwitch[1]->isChecked())
        return;
    m_link->SendLatest(cmdSwitches, Indexer::kQuerySwitches, this,
                       [this, front](const IndexerLink::Reply &reply) {
                           // A timeout carries no switch byte: its text is not shown as one.
                           if (reply.timedOut)
                               return;
                           if (const auto byte = Indexer::switchByte(reply.text, !front))
                               lblSwitch->setText(Indexer::switchByteText(*byte));
                       });
}

void frmMain::cmdCustom_Click(int Index)
{
    // One transfer at a time: a press while one waits for the indexer is ignored.
    if (m_transferBusy || Index < 0 || Index > 3)
        return;
    m_transferBusy = true;
    switch (Index) {
    case 0:
        ReadConfiguration(*m_link, this, pocketTable->layout(),
                          [this](std::optional<PocketLayout> layout, const TransferOutcome &o) {
                              if (layout)
                                  pocketTable->setLayout(*layout);
                              m_transferBusy = false;
                              if (!o.badReply.isEmpty())
                                  ShowErrorMessage(QStringLiteral("ReadConfiguration"),
                                                   ErrorNumber::DeviceIo, ReadRefusal(o));
                          });
        return;
    case 1:
        SendConfiguration(*m_link, this, pocketTable->layout(),
                          [this](const TransferOutcome &) { m_transferBusy = false; });
        return;
    }
    // The file dialogs are modal; the window may be gone when they return.
    const QPointer<frmMain> self(this);
    QString fileName = ConfigFile;
    if (Index == 2) {
        PocketLayout layout = pocketTable->layout();
        if (OpenConfigFile(layout, fileName, this) && self)
            pocketTable->setLayout(layout);
    } else {
        SaveConfigFile(pocketTable->layout(), fileName, this);
    }
    ConfigFile = fileName;
    if (self)
        m_transferBusy = false;
}

PocketLayout frmMain::layout() const
{
    return pocketTable->layout();
}
