#include "pockettable.h"

#include "conversions.h"
#include "fittext.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringListModel>

const std::array<QString, PocketTable::kTypes> &pocketTypeTexts()
{
    static const std::array<QString, PocketTable::kTypes> texts = {
        QStringLiteral("Discrete"), QStringLiteral("Start Banana"), QStringLiteral("End Banana"),
        QStringLiteral("Not Used")};
    return texts;
}

namespace
{
constexpr int kRowPitch = 28; // 420 twips
constexpr int kNumberX = 4, kNumberW = 16;
constexpr int kModeX = 24, kModeW = 94;
constexpr int kLocationX = 122, kLocationW = 56;
constexpr int kNameX = 182;
constexpr int kFieldH = 22;
} // namespace

int PocketTable::nameWidth()
{
    // The box's frame and margins, and the gap before the frame's edge.
    constexpr int around = 2 * 2 + 4 + 6;
    return QFontMetrics(QApplication::font()).horizontalAdvance(QString(16, u'W')) + around;
}

PocketTable::PocketTable(QWidget *frame, int firstRowY) : QObject(frame)
{
    const int nameW = nameWidth() - 6;
    auto heading = [frame](int index, const QString &text, int x, int w, int y) {
        auto *label = new QLabel(text, frame);
        label->setObjectName(QStringLiteral("lblColumn_%1").arg(index));
        label->setAlignment(Qt::AlignCenter);
        label->setGeometry(x, y, w, 14);
        return label;
    };
    lblColumn[2] = heading(2, QStringLiteral("Pocket Type"), kModeX, kModeW, firstRowY - 17);
    lblColumn[1] = heading(1, QStringLiteral("Degrees"), kLocationX, kLocationW, firstRowY - 17);
    lblColumn[3] = heading(3, QStringLiteral("Name"), kNameX, nameW, firstRowY - 17);

    for (int i = 0; i < kRows; ++i) {
        const int y = firstRowY + i * kRowPitch;
        auto *number = new QLabel(QString::number(i + 1), frame);
        number->setObjectName(QStringLiteral("lblPosition_%1").arg(i));
        QFont bold = number->font();
        bold.setBold(true);
        number->setFont(bold);
        number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        number->setGeometry(kNumberX, y, kNumberW, kFieldH);
        lblPosition[i] = number;

        auto *mode = new QComboBox(frame);
        mode->setObjectName(QStringLiteral("cboMode_%1").arg(i));
        mode->setEditable(false);
        mode->setGeometry(kModeX, y, kModeW, kFieldH);
        mode->setAccessibleName(QStringLiteral("Pocket %1 type").arg(i + 1));
        cboMode[i] = mode;

        auto *location = new QComboBox(frame);
        location->setObjectName(QStringLiteral("cboLocation_%1").arg(i));
        location->setEditable(true);
        location->setInsertPolicy(QComboBox::NoInsert);
        location->setMaxVisibleItems(12);
        location->setGeometry(kLocationX, y, kLocationW, kFieldH);
        location->setAccessibleName(QStringLiteral("Pocket %1 degrees").arg(i + 1));
        location->installEventFilter(this);
        location->lineEdit()->installEventFilter(this);
        cboLocation[i] = location;

        auto *name = new QLineEdit(frame);
        name->setObjectName(QStringLiteral("txtName_%1").arg(i));
        name->setGeometry(kNameX, y, nameW, kFieldH);
        name->setAccessibleName(QStringLiteral("Pocket %1 name").arg(i + 1));
        name->installEventFilter(this);
        txtName[i] = name;
    }
    lblNameNote = new QLabel(frame);
    lblNameNote->setObjectName(QStringLiteral("lblNameNote"));
    lblNameNote->setGeometry(kNumberX, firstRowY + kRows * kRowPitch - 2, kNameX + nameW - kNumberX,
                             kNoteHeight - 4);
    txtName[0]->setToolTip(QStringLiteral("Name of the material in the pocket."));
    cboMode[0]->setToolTip(QStringLiteral("Select pocket type."));
    cboLocation[0]->setToolTip(QStringLiteral("Select pocket position."));
}

void PocketTable::FillLocationLists()
{
    QStringList entries;
    entries.reserve(kPositions);
    for (int k = 0; k < kPositions; ++k)
        entries << QString::number(k);
    // One list of the 360 entries for all eight fields, not eight lists of 360 items each.
    auto *positions = new QStringListModel(entries, this);
    for (QComboBox *location : cboLocation)
        location->setModel(positions);
}

void PocketTable::FillModeLists()
{
    for (QComboBox *mode : cboMode) {
        for (const QString &text : pocketTypeTexts())
            mode->addItem(text);
        FitFontToItems(mode);
    }
}

void PocketTable::setDefaults()
{
    setLayout(PocketLayout());
}

PocketLayout PocketTable::layout() const
{
    PocketLayout layout = m_names;
    for (int row = 0; row < kRows; ++row) {
        layout.setType(row, type(row));
        layout.setPosition(row, position(row));
    }
    return layout;
}

void PocketTable::setLayout(const PocketLayout &layout)
{
    for (int row = 0; row < kRows; ++row) {
        setPosition(row, layout.position(row));
        setType(row, layout.type(row));
    }
    const bool renamed = m_names.names() != layout.names();
    m_names = layout;
    for (int row = 0; row < kRows; ++row)
        txtName[row]->setText(layout.name(row));
    lblNameNote->clear();
    if (renamed)
        Q_EMIT namesChanged();
}

void PocketTable::nameEdited(int row)
{
    QString why;
    const QString before = m_names.name(row);
    if (!m_names.setName(row, txtName[row]->text(), &why)) {
        txtName[row]->setText(before);
        lblNameNote->setText(QStringLiteral("Pocket %1: %2.").arg(row + 1).arg(why));
        return;
    }
    txtName[row]->setText(m_names.name(row));
    lblNameNote->clear();
    if (m_names.name(row) != before)
        Q_EMIT namesChanged();
}

void PocketTable::takeTypedNames()
{
    for (int row = 0; row < kRows; ++row) {
        if (txtName[row]->text() != m_names.name(row))
            nameEdited(row);
    }
}

int PocketTable::type(int row) const
{
    return validRow(row) ? cboMode[row]->currentIndex() : -1;
}

int PocketTable::position(int row) const
{
    return validRow(row) ? cboLocation[row]->currentIndex() : -1;
}

bool PocketTable::setType(int row, int type)
{
    if (!validRow(row) || type < 0 || type >= cboMode[row]->count())
        return false;
    cboMode[row]->setCurrentIndex(type);
    return true;
}

bool PocketTable::setPosition(int row, int position)
{
    if (!validRow(row) || position < 0 || position >= cboLocation[row]->count())
        return false;
    QComboBox *location = cboLocation[row];
    location->setCurrentIndex(position);
    // An edited text stays in the field otherwise when the index does not change.
    location->setEditText(location->itemText(position));
    return true;
}

int PocketTable::validatedPosition(const QString &text)
{
    const double rounded = RoundHalfEven(LeadingNumber(text));
    return rounded >= 0 && rounded < kPositions ? static_cast<int>(rounded) : 0;
}

void PocketTable::cboLocation_LostFocus(int Index)
{
    if (!validRow(Index))
        return;
    setPosition(Index, validatedPosition(cboLocation[Index]->currentText()));
}

bool PocketTable::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        const auto *focus = static_cast<QFocusEvent *>(event);
        // Opening the field's own list is not leaving it.
        if (focus->reason() != Qt::PopupFocusReason) {
            for (int i = 0; i < kRows; ++i) {
                if (watched == txtName[i]) {
                    nameEdited(i);
                    break;
                }
                // The field or its editor: validating twice gives the same entry.
                if (watched == cboLocation[i] || watched == cboLocation[i]->lineEdit()) {
                    cboLocation_LostFocus(i);
                    break;
                }
            }
        }
    }
    return QObject::eventFilter(watched, event);
}
