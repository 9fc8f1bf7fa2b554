#pragma once

#include "pocketlayout.h"

#include <QList>
#include <QPair>

// A pocket layout set row by row, as an operator would leave it.
struct LayoutFixture {
    PocketLayout table;

    void set(int row, int type, int position)
    {
        table.setType(row, type);
        table.setPosition(row, position);
    }
    QList<QPair<int, int>> rows() const
    {
        QList<QPair<int, int>> out;
        for (int row = 0; row < PocketLayout::kRows; ++row)
            out << qMakePair(table.type(row), table.position(row));
        return out;
    }
};
