#pragma once

#include <QString>

// Read at start-up, never written: whether scripts may connect (section "Remote", key "Enabled",
// default 1) and on which socket (key "Socket", empty: the default), and whether the traffic is
// recorded (section "Log", key "Traffic", default 0). A socket path too long to be read whole
// leaves the socket off: error says which.
struct RemoteSettings {
    bool enabled = true;
    QString socket;
    bool logTraffic = false;
    QString error;

    static RemoteSettings Read();
};
