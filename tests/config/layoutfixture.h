#pragma once

#include "pocketlayout.h"

// A pocket layout set row by row, as an operator would leave it.
struct LayoutFixture {
    PocketLayout table;

    void set(int row, int type, int position)
    {
        table.setType(row, type);
        table.setPosition(row, position);
    }
    const PocketLayout &rows() const { return table; }
};
