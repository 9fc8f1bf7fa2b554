#include "portchoice.h"

#include "settings.h"

QString PortChoice::name() const
{
    if (!ethernet())
        return device;
    const bool ipv6 = host.contains(u':');
    return (ipv6 ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(tcpPort);
}

PortChoice StoredPortChoice()
{
    PortChoice choice;
    choice.number = CommPort;
    if (choice.ethernet()) {
        choice.host = EAddr.trimmed();
        choice.tcpPort = EPort;
    } else if (CommPort >= 1) {
        choice.device = PortDeviceName(CommPort);
    }
    return choice;
}

void StorePortChoice(const PortChoice &choice)
{
    CommPort = choice.number;
    if (choice.ethernet()) {
        EAddr = choice.host;
        EPort = choice.tcpPort;
    } else if (choice.number >= 1 && choice.device != PortDeviceName(choice.number)) {
        SetPortDevice(choice.number, choice.device);
    }
}
