// GetDelimitedWord on arbitrary text, word number and delimiter. Input: 4 bytes word number
// (little endian), 1 byte delimiter kind (bit 1: empty, else bit 0: two bytes or one), the
// delimiter bytes, then the text.
#include "fuzzcommon.h"
#include "modUtil.h"

#include <QStringList>
#include <cstring>

namespace
{

void check(const QString &text, qint32 wordNumber, const QString &delimiter)
{
    const QString word = GetDelimitedWord(text, wordNumber, delimiter);
    FUZZ_CHECK(word.isEmpty() || text.contains(word));

    if (delimiter.isEmpty()) {
        FUZZ_CHECK(word == (wordNumber <= 1 ? text : QString()));
        return;
    }
    // A word ends at the next delimiter.
    FUZZ_CHECK(!word.contains(delimiter));
    if (wordNumber <= 1) {
        const qsizetype end = text.indexOf(delimiter);
        FUZZ_CHECK(word == (end < 0 ? text : text.left(end)));
    }
    // With a single character the words are exactly the split parts.
    if (delimiter.size() == 1) {
        const QStringList parts = text.split(delimiter);
        const qint64 index = qint64(wordNumber <= 1 ? 1 : wordNumber) - 1;
        FUZZ_CHECK(word == (index < parts.size() ? parts[index] : QString()));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::abortOnErrorMessage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    qint32 wordNumber = 0;
    std::memcpy(&wordNumber, data, sizeof wordNumber);
    const uint8_t kind = data[4];
    const size_t delimiterLength = (kind & 2) ? 0 : 1 + (kind & 1);
    if (size < 5 + delimiterLength)
        return 0;
    const QByteArray delimiter = Fuzz::bytes(data + 5, delimiterLength);
    const QByteArray text = Fuzz::bytes(data + 5 + delimiterLength, size - 5 - delimiterLength);

    check(QString::fromLatin1(text), wordNumber, QString::fromLatin1(delimiter));
    check(QString::fromUtf8(text), wordNumber, QString::fromUtf8(delimiter));
    return 0;
}
