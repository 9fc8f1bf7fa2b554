#pragma once

#include <QString>

// A listening surface's section ([Instrument], [Web]): where it listens ("ADDRESS:PORT", empty:
// off) and the peers it lets in (addresses and CIDR ranges, comma-separated; empty: loopback
// only), as written. Read at start-up, never written. A value too long to be read whole leaves
// the surface off: error says which.
struct ListenSettings {
    QString listen;
    QString allow;
    QString error;

    static ListenSettings Read(const QString &section);
};
