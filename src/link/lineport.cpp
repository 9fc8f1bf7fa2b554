#include "lineport.h"

#include <QHostAddress>
#include <QRegularExpression>

bool UsableEndpoint(const QString &address, int port)
{
    const QString host = address.trimmed();
    if (port < 1 || port > 65535 || host.isEmpty() || host.size() > 253)
        return false;
    if (const QHostAddress ip(host); !ip.isNull())
        return !ip.isEqual(QHostAddress::Any); // compared tolerantly: "::" too
    // A host name: dot-separated labels of letters, digits and inner hyphens.
    static const QRegularExpression name(
        QStringLiteral("^(?!-)[A-Za-z0-9-]{1,63}(?<!-)(\\.(?!-)[A-Za-z0-9-]{1,63}(?<!-))*\\.?$"));
    return name.match(host).hasMatch() &&
           !host.contains(QRegularExpression(QStringLiteral("^[0-9.]+$")));
}
