#pragma once

#include <QString>
#include <optional>

// The number at the start of a text. Blanks, tabs and line feeds anywhere are ignored;
// reading stops at the first character that cannot continue a decimal number (sign, digits,
// point and fraction, exponent). "&H" / "&O" introduce hexadecimal / octal digits.
// A text without a leading number gives 0; a value too large gives the largest double (for
// hexadecimal and octal: beyond 64 bits), one too small 0. Never fails.
double LeadingNumber(const QString &text);

// The whole text as one 16-bit number: surrounding blanks, tabs, CR and LF allowed, an optional
// sign, decimal digits and an optional fraction rounded half to even. Anything else, an empty
// text or a value outside -32768..32767 gives no value.
std::optional<qint16> TextToInteger(const QString &text);

// Rounds to the nearest integer, halves to the even neighbour (the rounding used for positions).
double RoundHalfEven(double value);

// A character that hides or reorders what a line of text says: a control character (C0, DEL,
// C1), a line or paragraph separator (U+2028, U+2029) or a bidirectional format character
// (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069). Names and reasons refuse them.
bool IsHiddenControl(QChar c);

// A reply or frame as text for people: control characters written out the way a C string writes
// them (\r, \n, \0, \x1B), so that any font shows them; a backslash itself is doubled.
QString VisibleControls(const QString &text);
