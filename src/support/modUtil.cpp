#include "modUtil.h"

QString GetDelimitedWord(const QString &text, qint32 wordNumber, const QString &delimiter)
{
    // An empty delimiter splits nothing: the text is its only word.
    if (delimiter.isEmpty())
        return wordNumber <= 1 ? text : QString();

    qsizetype start = 0;
    for (qint64 i = 2; i <= wordNumber; ++i) {
        const qsizetype found = text.indexOf(delimiter, start);
        if (found < 0)
            return {};
        // One past the delimiter's first character, as the replies' format expects.
        start = found + 1;
    }
    const qsizetype found = text.indexOf(delimiter, start);
    const qsizetype end = found < 0 ? text.size() : found;
    return text.mid(start, end - start);
}
