// The supervisor's state in the words the window's strip uses, shared by the strip and the
// surfaces that tell it as text.
#include "motionsupervisor.h"

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

QString MotionSupervisor::EventWords(const Event &event)
{
    const QString target = PocketWithName(event.target, event.name);
    const QString &state = event.state;
    if (state == QLatin1String("started"))
        return QStringLiteral("Moving to %1 (%2)").arg(target, kind(event.source));
    if (state == QLatin1String("failed") || state == QLatin1String("arrived") ||
        state == QLatin1String("late") || state == QLatin1String("external"))
        return capitalised(event.message);
    return QStringLiteral("Move to %1: %2 (%3)").arg(target, event.message, kind(event.source));
}

QString MotionSupervisor::InhibitWords(const Inhibit &inhibit)
{
    return QStringLiteral("Moves inhibited: %1 (%2)").arg(inhibit.reason, kind(inhibit.source));
}

QStringList MotionSupervisor::words() const
{
    QStringList words;
    if (!m_alarm.isEmpty())
        words << capitalised(m_alarm);
    if (m_inhibit)
        words << InhibitWords(*m_inhibit);
    if (!m_answering)
        words << QStringLiteral("Indexer not answering");
    if (m_move)
        words << EventWords(
            {QStringLiteral("started"), m_move->target, m_move->source, 0, {}, m_move->name});
    else if (m_lastResult && m_alarm.isEmpty())
        words << EventWords(*m_lastResult);
    return words;
}
