#include "fittext.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <functional>

namespace
{

constexpr qreal kSmallestPoints = 6;
// The tool tip that ShowWhole gave, so that a tool tip of the label's own is left alone.
constexpr char kWholeTip[] = "rv360WholeTextTip";

// The font, made smaller in half points while the text is wider than the room.
QFont fitted(QFont font, const std::function<int(const QFontMetrics &)> &widest, int room)
{
    while (widest(QFontMetrics(font)) > room && font.pointSizeF() > kSmallestPoints)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return font;
}

} // namespace

void FitFontToItems(QComboBox *box)
{
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.editable = box->isEditable();
    const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, box);
    // The style draws the current text with a small margin inside the field.
    const int room = field.width() - 4;
    box->setFont(QFont()); // from the inherited font, so that a shorter text gets it back
    box->setFont(fitted(
        box->font(),
        [box](const QFontMetrics &metrics) {
            int widest = 0;
            for (int i = 0; i < box->count(); ++i)
                widest = qMax(widest, metrics.horizontalAdvance(box->itemText(i)));
            return widest;
        },
        room));
}

namespace
{
int textRoom(const QLineEdit *box)
{
    const int frame = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
    const QMargins margins = box->textMargins();
    // A line edit keeps two pixels of its own on each side of the text.
    return box->width() - 2 * frame - 4 - margins.left() - margins.right();
}
} // namespace

void TipWhenCut(QLineEdit *box, const QString &tip)
{
    const bool cut = box->fontMetrics().horizontalAdvance(box->text()) > textRoom(box);
    if (cut && !box->hasFocus())
        box->setCursorPosition(0);
    box->setToolTip(cut ? box->text() : tip);
}

void FitFontToText(QLineEdit *box, const QString &text)
{
    const int room = textRoom(box);
    box->setFont(QFont()); // from the inherited font, so that a shorter text gets it back
    box->setFont(fitted(
        box->font(),
        [&text](const QFontMetrics &metrics) { return metrics.horizontalAdvance(text); }, room));
}

void ShowWhole(QLabel *label, const QString &what, const QString &text)
{
    // A label's own indent, as QLabel takes it when none is set.
    const int indent = label->indent() >= 0      ? label->indent()
                       : label->frameWidth() > 0 ? label->fontMetrics().horizontalAdvance(u'x') / 2
                                                 : 0;
    const int room = label->contentsRect().width() - 2 * (label->margin() + indent);
    label->setTextFormat(Qt::PlainText); // a script's reason is never markup
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, qMax(room, 0));
    label->setText(shown);
    const QString ownTip = label->property(kWholeTip).toString();
    const QString tip = shown == text ? QString() : text;
    if (label->toolTip() == ownTip || !tip.isEmpty())
        label->setToolTip(tip);
    label->setProperty(kWholeTip, tip);
    label->setAccessibleName(text.isEmpty() ? what : what + QStringLiteral(": ") + text);
}
