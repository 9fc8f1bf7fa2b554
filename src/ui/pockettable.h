#pragma once

#include "pocketlayout.h"

#include <QObject>
#include <QString>
#include <array>

class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

// The eight-row pocket table: views and edits a PocketLayout. For each pocket a type (index into
// the type list), a position (index into the position list "0".."359", so the index is the
// angle in whole degrees) and a name. Rows are 0..7 inside the program, pockets 1..8 outside.
class PocketTable : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRows = PocketLayout::kRows;
    static constexpr int kPositions = PocketLayout::kPositions;
    static constexpr int kTypes = PocketLayout::kTypes;

    // Creates the column headings and the rows inside the frame, the first row at top `firstRowY`
    // (pixels), rows 28 pixels (420 twips) apart.
    PocketTable(QWidget *frame, int firstRowY);

    // Start-up: fill the lists and select "Not Used" at 0 degrees in every row.
    void FillLocationLists();
    void FillModeLists();
    void setDefaults();

    // The layout the rows show, and showing one (values outside the lists are skipped).
    PocketLayout layout() const;
    void setLayout(const PocketLayout &layout);

    int type(int row) const;
    int position(int row) const;
    // Selecting a value outside its list is refused: the row keeps its selection, false is
    // returned and the caller skips that field.
    bool setType(int row, int type);
    bool setPosition(int row, int position);

    // The names' column and the line under the rows: the width and height the table adds. The
    // column takes a name of 16 of the widest letters whole, in the application's font.
    static int nameWidth();
    static constexpr int kNoteHeight = 20;

    // Names typed and not yet taken (their box was not left: the window is closing) are taken
    // now, or refused as on leaving the box.
    void takeTypedNames();

    // Validation of a typed position when its field loses focus.
    void cboLocation_LostFocus(int Index);
    // The entry a typed position text selects.
    static int validatedPosition(const QString &text);

    std::array<QLabel *, kRows> lblPosition{};
    std::array<QComboBox *, kRows> cboMode{};
    std::array<QComboBox *, kRows> cboLocation{};
    std::array<QLineEdit *, kRows> txtName{};
    // Under the rows: why a typed name was refused.
    QLabel *lblNameNote = nullptr;
    // Headings: [1] "Degrees", [2] "Pocket Type", [3] "Name"; [0] does not exist.
    std::array<QLabel *, 4> lblColumn{};

Q_SIGNALS:
    // A name was changed, typed or set with a layout.
    void namesChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // A typed name is taken on leaving its box, or refused: the box goes back to its last good
    // value and the line under the rows says why.
    void nameEdited(int row);
    PocketLayout m_names;
    static bool validRow(int row) { return row >= 0 && row < kRows; }
};

// The type texts in list order.
const std::array<QString, PocketTable::kTypes> &pocketTypeTexts();
