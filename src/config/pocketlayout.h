#pragma once

#include <QString>
#include <array>
#include <optional>

enum PocketType { Discrete = 0, StartBanana = 1, EndBanana = 2, NotUsed = 3 };

// A pocket as people read it: its number with its name when it has one ("5 Au", "5").
QString PocketWithName(int pocket, const QString &name);

// The eight-pocket layout as a value: for each pocket a type, a position in whole degrees and an
// optional name (the material it holds).
// Rows are 0..7 inside the program, pockets 1..8 outside. A value outside its range is refused:
// the row keeps what it had and the setter returns false, so that callers skip that field.
class PocketLayout
{
public:
    static constexpr int kRows = 8;
    static constexpr int kPositions = 360;
    static constexpr int kTypes = 4;
    static constexpr int kMaxName = 16;

    struct Pocket {
        int type = NotUsed;
        int position = 0;
        QString name;
        bool operator==(const Pocket &) const = default;
    };

    // Every row "Not Used" at 0 degrees.
    PocketLayout() = default;

    int type(int row) const { return validRow(row) ? m_rows[row].type : -1; }
    int position(int row) const { return validRow(row) ? m_rows[row].position : -1; }
    bool setType(int row, int type);
    bool setPosition(int row, int position);

    // A pocket's name: at most 16 characters of 8-bit text, no comma, no control character,
    // blanks around it dropped; empty is no name. The name as kept, or no value with the reason.
    static std::optional<QString> CleanName(const QString &name, QString *why = nullptr);
    QString name(int row) const { return validRow(row) ? m_rows[row].name : QString(); }
    // Refused (false, the row unchanged, the reason in *why) when the name breaks the rules or
    // another row has it, letter case ignored.
    bool setName(int row, const QString &name, QString *why = nullptr);
    // The row whose name this is, letter case ignored; no value when none.
    std::optional<int> rowNamed(const QString &name) const;
    // All eight names, row by row; setNames sets each in row order with setName, so a name
    // that breaks the rules or that an earlier row took leaves its row's name as it was.
    using Names = std::array<QString, kRows>;
    Names names() const;
    void setNames(const Names &names);

    // The rows before the first "Not Used" one: the pockets the indexer is told of.
    int usedCount() const;

    bool operator==(const PocketLayout &) const = default;

private:
    static bool validRow(int row) { return row >= 0 && row < kRows; }

    std::array<Pocket, kRows> m_rows{};
};
