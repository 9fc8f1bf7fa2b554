#pragma once

#include <QHostAddress>
#include <QList>
#include <utility>

// The peers a TCP listener lets in: addresses and CIDR ranges, as the instrument port and the
// web page both take them. An IPv4 peer reached through an IPv6 socket is an IPv4 peer, and a
// range keeps its family unless it lies inside ::ffff:0:0/96.
class AllowList
{
public:
    // Loopback only.
    AllowList() { set(QString(), nullptr); }

    // Comma-separated entries; empty: loopback only. False with the reason, and the list
    // unchanged, when an entry is neither an address nor a range.
    bool set(const QString &list, QString *why);
    bool allows(const QHostAddress &peer) const;

    // ::ffff:a.b.c.d as a.b.c.d; any other address as it is.
    static QHostAddress Plain(const QHostAddress &address);

private:
    QList<std::pair<QHostAddress, int>> m_ranges;
};

// "ADDRESS:PORT" with an explicit address: "127.0.0.1:5025", "[::1]:5025"; every interface only
// when written so ("0.0.0.0:5025", "[::]:5025"). False with the reason otherwise.
bool ParseListen(const QString &text, QHostAddress *address, quint16 *port, QString *why);
// "127.0.0.1:5025", "[::1]:5025": an address and port as ParseListen reads them.
QString HostAndPort(const QHostAddress &address, quint16 port);
