#pragma once

#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;

// Controls keep their designed size; where a wider font than the design's would cut their text
// off, their font is made smaller (down to 6 points) until the text fits.
// The combo box's longest item fits its text field.
void FitFontToItems(QComboBox *box);
// The text fits the box.
void FitFontToText(QLineEdit *box, const QString &text);
// A text the box cannot show whole: its start shows (unless it is being typed), and the whole
// text is the tool tip; a text that fits has tip as its tool tip.
void TipWhenCut(QLineEdit *box, const QString &tip);

// A label whose text changes, told whole: cut with "..." where it is wider than the label, with
// the whole text then in its tool tip; its accessible name is what it tells and the whole text
// ("Move status: Moving to 3 (window)"), so that a screen reader hears each change.
void ShowWhole(QLabel *label, const QString &what, const QString &text);
