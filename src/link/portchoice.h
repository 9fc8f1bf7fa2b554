#pragma once

#include <QString>

// Where the link goes, as a value: a serial port number (1..4) with the device it opens, or the
// Ethernet choice (5 or more) with the device server's address and TCP port.
struct PortChoice {
    qint16 number = 0;
    QString device;
    QString host;
    int tcpPort = -1;

    static PortChoice serial(qint16 number, const QString &device = {})
    {
        PortChoice choice;
        choice.number = number;
        choice.device = device;
        return choice;
    }
    static PortChoice network(const QString &host, int tcpPort)
    {
        PortChoice choice;
        choice.number = 5;
        choice.host = host;
        choice.tcpPort = tcpPort;
        return choice;
    }

    bool ethernet() const { return number >= 5; }
    // The device path, or "host:port" (an IPv6 address in brackets).
    QString name() const;
    bool operator==(const PortChoice &other) const
    {
        return number == other.number &&
               (ethernet() ? host == other.host && tcpPort == other.tcpPort
                           : device == other.device);
    }
    bool operator!=(const PortChoice &other) const { return !(*this == other); }
};

// The port the settings name: CommPort with its device, or with EAddr and EPort.
PortChoice StoredPortChoice();
// Makes the choice the settings' own: CommPort, and the device of its number (SetPortDevice) or
// the endpoint (EAddr, EPort). Only the window calls it, once the link has changed to it.
void StorePortChoice(const PortChoice &choice);
