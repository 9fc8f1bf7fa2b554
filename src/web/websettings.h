#pragma once

#include <QString>

// [Web]: where the web page listens ("ADDRESS:PORT", empty: off) and the peers it lets in
// (addresses and CIDR ranges, comma-separated; empty: loopback only), as written. Read at
// start-up, never written. A value too long
// to be read whole leaves the page off: error says which.
struct WebSettings {
    QString listen;
    QString allow;
    QString error;

    static WebSettings Read();
};
