#include "motionstrip.h"

#include "named.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

namespace
{

// "script uid=1000 pid=4242" is a script to the operator.
QString kind(const QString &source)
{
    return source.section(u' ', 0, 0);
}

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
    lblMotion->setAccessibleName(QStringLiteral("Move status"));
    lblMotion->setGeometry(8, 2, 304, 22);
    cmdAcknowledge = named(new QPushButton(QStringLiteral("Acknowledge"), this),
                           QStringLiteral("cmdAcknowledge"), QStringLiteral("Clear the alert."));
    cmdAcknowledge->setAccessibleName(QStringLiteral("Acknowledge move alert"));
    cmdAcknowledge->setGeometry(316, 2, 86, 22);
    cmdAcknowledge->hide();
    chkInhibit =
        named(new QCheckBox(QStringLiteral("Inhibit moves"), this), QStringLiteral("chkInhibit"),
              QStringLiteral("Refuse every move and speed change, from any source."));
    chkInhibit->setGeometry(8, 28, 110, 20);
    lblInhibit = named(new QLabel(this), QStringLiteral("lblInhibit"));
    lblInhibit->setAccessibleName(QStringLiteral("Inhibit status"));
    lblInhibit->setGeometry(120, 28, 282, 20);

    connect(cmdAcknowledge, &QPushButton::clicked, this, [this] {
        m_alert.clear();
        refresh();
    });
    connect(chkInhibit, &QCheckBox::toggled, this, [this](bool on) {
        m_motion.setInhibit(on, QStringLiteral("operator"), MotionSupervisor::windowSource());
    });
    connect(&m_motion, &MotionSupervisor::moveEvent, this, &MotionStrip::onMove);
    connect(&m_motion, &MotionSupervisor::inhibitChanged, this,
            [this](bool on, const QString &reason, const QString &source) {
                const QSignalBlocker quiet(chkInhibit);
                chkInhibit->setChecked(on);
                lblInhibit->setText(
                    on ? QStringLiteral("Moves inhibited: %1 (%2)").arg(reason, kind(source))
                       : QString());
            });
    connect(&m_motion, &MotionSupervisor::recordFailed, this,
            [this](const QString &why) { setLast(QStringLiteral("Move record: ") + why); });
}

void MotionStrip::onMove(const MotionSupervisor::Event &event)
{
    const QString target = (QString::number(event.target) + u' ' + event.name).trimmed();
    const QString state = event.state;
    if (state == QLatin1String("started")) {
        m_moving = QStringLiteral("Moving to %1 (%2)").arg(target, kind(event.source));
        return refresh();
    }
    m_moving.clear();
    if (state == QLatin1String("failed")) {
        // A newer failure takes the alert's place; it rings once.
        m_alert = capitalised(event.message);
        QApplication::beep();
        setLast(m_alert);
    } else if (state == QLatin1String("arrived")) {
        setLast(capitalised(event.message));
    } else {
        setLast(
            QStringLiteral("Move to %1: %2 (%3)").arg(target, event.message, kind(event.source)));
    }
}

void MotionStrip::setLast(const QString &last)
{
    m_last = last;
    refresh();
}

void MotionStrip::refresh()
{
    const bool alert = !m_alert.isEmpty();
    lblMotion->setText(alert ? m_alert : !m_moving.isEmpty() ? m_moving : m_last);
    lblMotion->setStyleSheet(alert ? QStringLiteral("color: red; font-weight: bold;") : QString());
    cmdAcknowledge->setVisible(alert);
}
