#include "commandset.h"

#include "conversions.h"

namespace Indexer
{

bool isStatusQuery(const QString &command)
{
    return command == kQueryPocket || command == kQuerySpeed || command == kQueryMotion;
}

bool isMotionCommand(const QString &command)
{
    // B or C with a value: whatever the letter case, for a script's own text too.
    if (command.size() < 2 || isStatusQuery(command.toUpper()))
        return false;
    const QChar c = command.at(0).toUpper();
    return c == QLatin1Char('B') || c == QLatin1Char('C');
}

QString moveCommand(int pocket)
{
    return QLatin1Char('B') + QString::number(pocket);
}

QString speedCommand(int speed)
{
    return QLatin1Char('C') + QString::number(speed);
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

} // namespace Indexer
