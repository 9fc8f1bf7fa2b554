#pragma once

#include <QTcpServer>

// A loopback port that nothing listens on (just released).
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}
