#include "motionstrip.h"

#include "fittext.h"
#include "named.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

namespace
{

const QString kInhibitStatus = QStringLiteral("Inhibit status");

QString capitalised(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

} // namespace

MotionStrip::MotionStrip(MotionSupervisor &motion, QWidget *parent)
    : QWidget(parent), m_motion(motion)
{
    setObjectName(QStringLiteral("motionStrip"));
    lblMotion = named(new QLabel(this), QStringLiteral("lblMotion"));
    lblMotion->setGeometry(8, 2, 304, 22);
    cmdAcknowledge = named(new QPushButton(QStringLiteral("Acknowledge"), this),
                           QStringLiteral("cmdAcknowledge"), QStringLiteral("Clear the alert."));
    cmdAcknowledge->setGeometry(316, 2, 86, 22);
    cmdAcknowledge->hide();
    chkInhibit =
        named(new QCheckBox(QStringLiteral("Inhibit moves"), this), QStringLiteral("chkInhibit"),
              QStringLiteral("Refuse every move and speed change, from any source."));
    chkInhibit->setGeometry(8, 28, 110, 20);
    lblInhibit = named(new QLabel(this), QStringLiteral("lblInhibit"));
    lblInhibit->setGeometry(120, 28, 282, 20);
    ShowWhole(lblInhibit, kInhibitStatus, QString());
    chkRemote = named(new QCheckBox(QStringLiteral("Allow remote control"), this),
                      QStringLiteral("chkRemote"),
                      QStringLiteral("Let one client of the instrument port move the turntable."));
    chkRemote->setGeometry(8, 52, 150, 20);
    lblRemote = named(new QLabel(this), QStringLiteral("lblRemote"));
    lblRemote->setGeometry(160, 52, 240, 20);
    cmdLocal = named(new QPushButton(QStringLiteral("Local"), this), QStringLiteral("cmdLocal"),
                     QStringLiteral("Take control back from the remote client."));
    cmdLocal->setGeometry(404, 51, 60, 22);
    lblWeb = named(new QLabel(this), QStringLiteral("lblWeb"));
    lblWeb->setGeometry(8, 76, 456, 20);
    lblWeb->setOpenExternalLinks(true);

    connect(cmdAcknowledge, &QPushButton::clicked, &m_motion, &MotionSupervisor::acknowledge);
    connect(&m_motion, &MotionSupervisor::alarmChanged, this, &MotionStrip::refresh);
    connect(chkRemote, &QCheckBox::toggled, &m_motion, &MotionSupervisor::setRemoteAllowed);
    connect(cmdLocal, &QPushButton::clicked, this, [this] { m_motion.setRemoteAllowed(false); });
    connect(&m_motion, &MotionSupervisor::remoteChanged, this, &MotionStrip::refreshRemote);
    refreshRemote();
    connect(chkInhibit, &QCheckBox::toggled, this, [this](bool on) {
        m_motion.setInhibit(on, QStringLiteral("operator"), MotionSupervisor::windowSource());
    });
    connect(&m_motion, &MotionSupervisor::moveEvent, this, &MotionStrip::onMove);
    connect(&m_motion, &MotionSupervisor::inhibitChanged, this, &MotionStrip::refreshInhibit);
    // Queued: the record is written before the move's end is told, whose words would hide it.
    connect(
        &m_motion, &MotionSupervisor::recordFailed, this,
        [this](const QString &why) { setLast(QStringLiteral("Move record: ") + why); },
        Qt::QueuedConnection);
}

void MotionStrip::resizeEvent(QResizeEvent *)
{
    // The texts take the strip's whole width, the buttons at its right end.
    const int right = width() - 8;
    cmdAcknowledge->move(right - cmdAcknowledge->width(), 2);
    lblMotion->resize(cmdAcknowledge->x() - 4 - lblMotion->x(), lblMotion->height());
    lblInhibit->resize(right - lblInhibit->x(), lblInhibit->height());
    cmdLocal->move(right - cmdLocal->width(), 51);
    lblRemote->resize(cmdLocal->x() - 4 - lblRemote->x(), lblRemote->height());
    refresh();
    refreshInhibit();
    refreshRemote();
    lblWeb->resize(right - lblWeb->x(), lblWeb->height());
    refreshWeb();
}

void MotionStrip::refreshInhibit()
{
    const auto &inhibit = m_motion.inhibit();
    const QSignalBlocker quiet(chkInhibit);
    chkInhibit->setChecked(inhibit.has_value());
    ShowWhole(lblInhibit, kInhibitStatus,
              inhibit ? MotionSupervisor::InhibitWords(*inhibit) : QString());
}

void MotionStrip::onMove(const MotionSupervisor::Event &event)
{
    if (event.state == QLatin1String("started")) {
        m_moving = MotionSupervisor::EventWords(event);
        return refresh();
    }
    m_moving.clear();
    // The supervisor keeps a failure as the alarm until acknowledged; it rings once.
    if (event.state == QLatin1String("failed"))
        QApplication::beep();
    setLast(MotionSupervisor::EventWords(event));
}

void MotionStrip::setLast(const QString &last)
{
    m_last = last;
    refresh();
}

void MotionStrip::refresh()
{
    const QString alert = capitalised(m_motion.alarm());
    // Bold before the text is fitted: it takes more room.
    QFont font = lblMotion->font();
    font.setBold(!alert.isEmpty());
    lblMotion->setFont(font);
    lblMotion->setStyleSheet(!alert.isEmpty() ? QStringLiteral("color: red;") : QString());
    ShowWhole(lblMotion, QStringLiteral("Move status"),
              !alert.isEmpty()      ? alert
              : !m_moving.isEmpty() ? m_moving
                                    : m_last);
    cmdAcknowledge->setVisible(!alert.isEmpty());
}

void MotionStrip::refreshRemote()
{
    const QString port = m_motion.remotePort();
    const QString holder = m_motion.remoteHolder();
    {
        const QSignalBlocker quiet(chkRemote);
        chkRemote->setChecked(m_motion.remoteAllowed());
    }
    chkRemote->setEnabled(!port.isEmpty());
    // A setting that keeps the port off says so here, not only on standard error, which nobody
    // reads when the program starts from the desktop.
    const QString whyOff = m_motion.remoteOffReason();
    const bool off = port.isEmpty() && !whyOff.isEmpty();
    const QStringList clients = m_motion.remoteClients();
    lblRemote->setToolTip(QString());
    ShowWhole(lblRemote, QStringLiteral("Remote control status"),
              off                ? QStringLiteral("Instrument port off: check [Instrument]")
              : port.isEmpty()   ? QStringLiteral("Instrument port off")
              : holder.isEmpty() ? QStringLiteral("Instrument port %1").arg(port)
                                 : QStringLiteral("Remote: %1 has control").arg(holder));
    // The whole reason, or who is connected; a label cut short keeps its whole text instead.
    if (off)
        lblRemote->setToolTip(
            QStringLiteral("Instrument port off: %1 ([Instrument] in RV360.INI)").arg(whyOff));
    else if (!port.isEmpty() && lblRemote->toolTip().isEmpty())
        lblRemote->setToolTip(clients.isEmpty() ? QStringLiteral("No clients connected")
                                                : QStringLiteral("Connected: ") +
                                                      clients.join(QStringLiteral(", ")));
    cmdLocal->setVisible(!holder.isEmpty());
}

void MotionStrip::showWebPage(const QString &url, const QString &whyOff)
{
    m_webUrl = url;
    m_webOff = whyOff;
    refreshWeb();
}

void MotionStrip::refreshWeb()
{
    const bool off = m_webUrl.isEmpty() && !m_webOff.isEmpty();
    lblWeb->setToolTip(QString());
    ShowWhole(lblWeb, QStringLiteral("Web page status"),
              off                  ? QStringLiteral("Web page off: check [Web]")
              : m_webUrl.isEmpty() ? QString()
                                   : QStringLiteral("Web page %1").arg(m_webUrl));
    if (off) {
        lblWeb->setToolTip(QStringLiteral("Web page off: %1 ([Web] in RV360.INI)").arg(m_webOff));
    } else if (!m_webUrl.isEmpty()) {
        // The text as shown (cut short when it must be), as a link to the page.
        lblWeb->setTextFormat(Qt::RichText);
        lblWeb->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                            .arg(m_webUrl.toHtmlEscaped(), lblWeb->text().toHtmlEscaped()));
    }
}
