#pragma once

#include <QString>

// Word n (from 1) of a text split at every occurrence of the delimiter. A number of 1 or less
// gives word 1; a text with fewer words than asked gives an empty word.
QString GetDelimitedWord(const QString &text, qint32 wordNumber, const QString &delimiter);
