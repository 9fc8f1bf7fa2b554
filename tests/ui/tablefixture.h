#pragma once

#include "pockettable.h"

#include <QWidget>

// A pocket table in a plain frame, filled and set to its start-up defaults.
struct TableFixture {
    QWidget frame;
    PocketTable table{&frame, 88};

    TableFixture()
    {
        frame.resize(185, 313);
        table.FillLocationLists();
        table.FillModeLists();
        table.setDefaults();
    }
    // Sets a row as the operator would leave it.
    void set(int row, int type, int position)
    {
        table.setType(row, type);
        table.setPosition(row, position);
    }
    PocketLayout rows() const { return table.layout(); }
};
