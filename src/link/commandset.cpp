#include "commandset.h"

#include "conversions.h"
#include "motionrequest.h"

QString MotionRequest::command() const
{
    return (m_kind == Kind::Move ? QLatin1Char('B') : QLatin1Char('C')) + QString::number(m_value);
}

namespace Indexer
{

bool isStatusQuery(const QString &command)
{
    return command == kQueryPocket || command == kQuerySpeed || command == kQueryMotion;
}

QString controlCommand(int source)
{
    return QLatin1Char('A') + QString::number(source);
}

QString pocketQuery(int pocket)
{
    return QLatin1Char('G') + QString::number(pocket) + QLatin1Char('?');
}

QString countCommand(int count)
{
    return QLatin1Char('F') + QString::number(count);
}

QString pocketCommand(int pocket, int type, int position)
{
    return QStringLiteral("G%1 %2 %3").arg(pocket).arg(type).arg(position, 3, 10, QLatin1Char('0'));
}

std::optional<QChar> thirdChar(const QString &reply)
{
    if (reply.size() < 3)
        return std::nullopt;
    return reply.at(2);
}

std::optional<QChar> fourthChar(const QString &reply)
{
    if (reply.size() < 4)
        return std::nullopt;
    return reply.at(3);
}

QString dataPart(const QString &reply)
{
    return reply.mid(2);
}

std::optional<QString> motionState(const QString &reply)
{
    const auto c = thirdChar(reply);
    if (c == QLatin1Char('R'))
        return QStringLiteral("ready");
    if (c == QLatin1Char('M'))
        return QStringLiteral("moving");
    return std::nullopt;
}

int digitValue(const QString &reply)
{
    const auto c = thirdChar(reply);
    return c ? static_cast<int>(LeadingNumber(QString(*c))) : 0;
}

std::optional<int> pocketOrSpeed(const QString &reply)
{
    const int n = digitValue(reply);
    if (n < 1 || n > 8)
        return std::nullopt;
    return n;
}

std::optional<int> controlSource(const QString &reply)
{
    const auto c = thirdChar(reply);
    if (c != QLatin1Char('0') && c != QLatin1Char('1'))
        return std::nullopt;
    return c->unicode() - u'0';
}

QString controlSourceName(int source)
{
    return source == 0 ? QStringLiteral("io") : QStringLiteral("comm");
}

std::optional<int> controlSourceNamed(const QString &name)
{
    for (int source : {0, 1}) {
        if (name.compare(controlSourceName(source), Qt::CaseInsensitive) == 0)
            return source;
    }
    return std::nullopt;
}

std::optional<int> switchByte(const QString &reply, bool rear)
{
    const auto c = rear ? fourthChar(reply) : thirdChar(reply);
    return c ? std::optional(int(c->unicode())) : std::nullopt;
}

QString switchByteText(int byte, int digits)
{
    return QString::number(byte, 16).toUpper().rightJustified(digits, u'0');
}

} // namespace Indexer
