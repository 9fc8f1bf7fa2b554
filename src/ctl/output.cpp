#include "output.h"

#include <QJsonDocument>
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

QString shown(const QJsonValue &value)
{
    return value.isNull() || value.isUndefined() ? QStringLiteral("?")
                                                 : value.toVariant().toString();
}

void printEvent(const QJsonObject &event, bool json)
{
    if (json)
        return out(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
    const QString kind = event.value(QStringLiteral("event")).toString();
    if (kind == QLatin1String("traffic"))
        return out(event.value(QStringLiteral("line")).toString());
    const auto text = [&event](const char *field) {
        return event.value(QLatin1String(field)).toVariant().toString();
    };
    if (kind == QLatin1String("move")) {
        const QString message = text("message");
        return out(QStringLiteral("move=%1 target=%2 (%3)%4")
                       .arg(text("state"), text("target"), text("source"),
                            message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    }
    if (kind == QLatin1String("inhibit"))
        return out(QStringLiteral("inhibit=%1 %2 (%3)")
                       .arg(event.value(QStringLiteral("on")).toBool() ? "on" : "off",
                            text("reason"), text("source")));
    const QString field = kind == QLatin1String("link") ? QStringLiteral("status") : kind;
    out(kind + u'=' + shown(event.value(field)));
}

} // namespace Ctl
