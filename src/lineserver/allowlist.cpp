#include "allowlist.h"

#include <QtEndian>
#include <algorithm>
#include <iterator>

namespace
{

// A range as it is written: an IPv6 range inside ::ffff:0:0/96 is the IPv4 range it maps, any
// other stays in its family (so "::/0" is every IPv6 peer and no IPv4 one).
std::pair<QHostAddress, int> plainRange(std::pair<QHostAddress, int> range)
{
    const bool v6 = range.first.protocol() == QAbstractSocket::IPv6Protocol;
    if (range.second < 0)
        range.second = v6 ? 128 : 32;
    const QHostAddress v4 = AllowList::Plain(range.first);
    if (v6 && v4.protocol() == QAbstractSocket::IPv4Protocol && range.second >= 96)
        return {v4, range.second - 96};
    return range;
}

} // namespace

QHostAddress AllowList::Plain(const QHostAddress &address)
{
    // "::" and "::1" are IPv6 addresses, not 0.0.0.0 and 0.0.0.1: only the mapped prefix counts.
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    static constexpr quint8 kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (!std::equal(std::begin(kMapped), std::end(kMapped), bytes.c))
        return address;
    return QHostAddress(qFromBigEndian<quint32>(bytes.c + 12));
}

bool AllowList::set(const QString &list, QString *why)
{
    QList<std::pair<QHostAddress, int>> ranges;
    for (const QString &item : list.split(u',', Qt::SkipEmptyParts)) {
        const QString entry = item.trimmed();
        auto range = entry.contains(u'/') ? QHostAddress::parseSubnet(entry)
                                          : std::pair{QHostAddress(entry), -1};
        if (range.first.isNull()) {
            *why = QStringLiteral("\"%1\" is neither an address nor a range").arg(entry);
            return false;
        }
        ranges.append(plainRange(range));
    }
    if (ranges.isEmpty())
        ranges = {{QHostAddress(QHostAddress::LocalHost), 8},
                  {QHostAddress(QHostAddress::LocalHostIPv6), 128}};
    m_ranges = ranges;
    return true;
}

bool AllowList::allows(const QHostAddress &peer) const
{
    const QHostAddress plain = Plain(peer);
    return std::any_of(m_ranges.cbegin(), m_ranges.cend(),
                       [&plain](const auto &range) { return plain.isInSubnet(range); });
}

bool ParseListen(const QString &text, QHostAddress *address, quint16 *port, QString *why)
{
    const QString listen = text.trimmed();
    const qsizetype colon = listen.lastIndexOf(u':');
    QString host = listen.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        host.clear(); // IPv6 without its brackets: where the port begins is a guess
    bool whole = false;
    const uint number = listen.mid(colon + 1).toUInt(&whole);
    if (colon < 0 || !whole || number < 1 || number > 65535) {
        *why = QStringLiteral("\"%1\" is not ADDRESS:PORT with a port from 1 to 65535").arg(text);
        return false;
    }
    *address = QHostAddress(host);
    if (address->isNull() || host.contains(u'%')) {
        *why = QStringLiteral("\"%1\" does not begin with an address (127.0.0.1, [::1], or "
                              "0.0.0.0 for every interface)")
                   .arg(text);
        return false;
    }
    *port = quint16(number);
    return true;
}

QString HostAndPort(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + address.toString() + u']'
                             : address.toString();
    return host + u':' + QString::number(port);
}
