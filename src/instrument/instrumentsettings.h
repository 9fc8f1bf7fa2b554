#pragma once

#include <QString>

// [Instrument]: where the instrument port listens ("ADDRESS:PORT", empty: off) and the peers it
// lets in (addresses and CIDR ranges, comma-separated; empty: loopback only), as written. Read
// at start-up, never written.
struct InstrumentSettings {
    QString listen;
    QString allow;

    static InstrumentSettings Read();
};
