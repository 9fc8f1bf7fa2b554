#pragma once

#include "fuzzcommon.h"
#include "pockettable.h"

#include <QWidget>

namespace Fuzz
{

// The widget application, offscreen, never destroyed (see fuzzqt.cpp).
void startApplication();

// A pocket table in a plain frame, filled like the program's; reused across inputs because
// building the widgets costs far more than one input.
struct Table {
    QWidget frame;
    PocketTable table{&frame, 88};

    Table()
    {
        frame.resize(185, 313);
        table.FillLocationLists();
        table.FillModeLists();
        table.setDefaults();
    }
    // Every row within its lists.
    bool valid() const
    {
        for (int row = 0; row < PocketTable::kRows; ++row) {
            if (table.type(row) < 0 || table.type(row) >= PocketTable::kTypes ||
                table.position(row) < 0 || table.position(row) >= PocketTable::kPositions)
                return false;
        }
        return true;
    }
};

// A table's rows as (type, position) pairs.
struct Rows {
    int type[PocketTable::kRows];
    int position[PocketTable::kRows];

    static Rows of(const PocketTable &table)
    {
        Rows rows{};
        for (int row = 0; row < PocketTable::kRows; ++row) {
            rows.type[row] = table.type(row);
            rows.position[row] = table.position(row);
        }
        return rows;
    }
    void applyTo(PocketTable &table) const
    {
        for (int row = 0; row < PocketTable::kRows; ++row) {
            table.setType(row, type[row]);
            table.setPosition(row, position[row]);
        }
    }
    bool operator==(const Rows &other) const
    {
        for (int row = 0; row < PocketTable::kRows; ++row) {
            if (type[row] != other.type[row] || position[row] != other.position[row])
                return false;
        }
        return true;
    }
};

} // namespace Fuzz
