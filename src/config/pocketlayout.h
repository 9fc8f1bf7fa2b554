#pragma once

#include <array>

enum PocketType { Discrete = 0, StartBanana = 1, EndBanana = 2, NotUsed = 3 };

// The eight-pocket layout as a value: for each pocket a type and a position in whole degrees.
// Rows are 0..7 inside the program, pockets 1..8 outside. A value outside its range is refused:
// the row keeps what it had and the setter returns false, so that callers skip that field.
class PocketLayout
{
public:
    static constexpr int kRows = 8;
    static constexpr int kPositions = 360;
    static constexpr int kTypes = 4;

    struct Pocket {
        int type = NotUsed;
        int position = 0;
        bool operator==(const Pocket &) const = default;
    };

    // Every row "Not Used" at 0 degrees.
    PocketLayout() = default;

    int type(int row) const { return validRow(row) ? m_rows[row].type : -1; }
    int position(int row) const { return validRow(row) ? m_rows[row].position : -1; }
    bool setType(int row, int type);
    bool setPosition(int row, int position);

    // The rows before the first "Not Used" one: the pockets the indexer is told of.
    int usedCount() const;

    bool operator==(const PocketLayout &) const = default;

private:
    static bool validRow(int row) { return row >= 0 && row < kRows; }

    std::array<Pocket, kRows> m_rows{};
};
