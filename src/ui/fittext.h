#pragma once

#include <QString>

class QComboBox;
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
