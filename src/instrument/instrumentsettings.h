#pragma once

#include <QString>

// [Instrument]: where the instrument port listens ("ADDRESS:PORT", empty: off) and the peers it
// lets in (addresses and CIDR ranges, comma-separated; empty: loopback only), as written. Read
// at start-up, never written. A value too long to be read whole leaves the port off: error says
// which.
struct InstrumentSettings {
    QString listen;
    QString allow;
    QString error;

    static InstrumentSettings Read();
};
