#pragma once

#include "fuzzcommon.h"
#include "pocketlayout.h"

namespace Fuzz
{

// Every row of a layout within its ranges.
inline bool valid(const PocketLayout &layout)
{
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        if (layout.type(row) < 0 || layout.type(row) >= PocketLayout::kTypes ||
            layout.position(row) < 0 || layout.position(row) >= PocketLayout::kPositions)
            return false;
    }
    return true;
}

} // namespace Fuzz
