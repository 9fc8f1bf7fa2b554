#pragma once

#include "listensettings.h"

// [Instrument]: where the instrument port listens and who may connect.
struct InstrumentSettings : ListenSettings {
    static InstrumentSettings Read()
    {
        return {ListenSettings::Read(QStringLiteral("Instrument"))};
    }
};
