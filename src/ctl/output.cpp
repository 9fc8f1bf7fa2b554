#include "output.h"

#include <QJsonDocument>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Ctl
{

void err(const QString &line)
{
    std::fprintf(stderr, "rv360ctl: %s\n", line.toLocal8Bit().constData());
}

// Output that nobody takes any more (a closed pipe, SIGPIPE ignored as services have it) ends
// the program: a watch would otherwise run on for ever.
void checkOutput()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return;
    err(QStringLiteral("output: ") + QString::fromLocal8Bit(std::strerror(errno)));
    std::_Exit(kNoAnswer);
}

void out(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    checkOutput();
}

QString shellQuoted(const QString &text)
{
    // Characters that mean nothing to a shell in the value of an assignment.
    const auto plain = [](QChar c) {
        return (c.unicode() < 0x80 && c.isLetterOrNumber()) ||
               QStringView(u"_@%+=:,./?-").contains(c);
    };
    if (!text.isEmpty() && std::all_of(text.cbegin(), text.cend(), plain))
        return text;
    return u'\'' + QString(text).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

QString shown(const QJsonValue &value)
{
    return value.isNull() || value.isUndefined() ? QStringLiteral("?")
                                                 : shellQuoted(value.toVariant().toString());
}

void printEvent(const QJsonObject &event, bool json)
{
    if (json)
        return out(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
    const QString kind = event.value(QStringLiteral("event")).toString();
    if (kind == QLatin1String("traffic"))
        return out(event.value(QStringLiteral("line")).toString());
    // The event's own field first, then the others that tell something, each key=value.
    const QString field = kind == QLatin1String("link")   ? QStringLiteral("status")
                          : kind == QLatin1String("move") ? QStringLiteral("state")
                                                          : kind;
    const QJsonValue value =
        kind == QLatin1String("inhibit")
            ? QJsonValue(event.value(QStringLiteral("on")).toBool() ? "on" : "off")
            : event.value(field);
    QString line = kind + u'=' + shown(value);
    for (const char *other : {"target", "name", "reason", "source", "message"}) {
        const QJsonValue value = event.value(QLatin1String(other));
        if (!value.isUndefined() && !value.isNull() && !value.toVariant().toString().isEmpty())
            line += u' ' + QLatin1String(other) + u'=' + shown(value);
    }
    out(line);
}

} // namespace Ctl
