// The number and word readers on arbitrary text. The whole input is the text for the numbers;
// for the words its first 4 bytes are the word number (little endian), the next byte the
// delimiter kind (bit 1: empty, else bit 0: two bytes or one), then the delimiter and the text.
#include "conversions.h"
#include "fuzzcommon.h"
#include "modUtil.h"

#include <QStringList>
#include <cmath>
#include <cstring>

namespace
{

bool startsUnsigned(const QString &text)
{
    return !text.isEmpty() && ((text[0] >= u'0' && text[0] <= u'9') || text[0] == u'.');
}

// Always a finite number, blanks, tabs and line feeds ignored wherever they are, and a sign in
// front of an unsigned number only changes the sign. A whole number is 16 bits, reads back the
// same and is never more than half away from the number (CR only surrounds it).
void checkNumbers(const QString &text)
{
    const double value = LeadingNumber(text);
    FUZZ_CHECK(std::isfinite(value));
    const QString stripped = QString(text).remove(u' ').remove(u'\t').remove(u'\n');
    FUZZ_CHECK(LeadingNumber(stripped) == value);
    if (startsUnsigned(stripped))
        FUZZ_CHECK(LeadingNumber(u'-' + stripped) == -value);
    if (const std::optional<qint16> whole = TextToInteger(text)) {
        FUZZ_CHECK(TextToInteger(QString::number(*whole)) == whole);
        FUZZ_CHECK(std::fabs(*whole - LeadingNumber(QString(text).remove(u'\r'))) <= 0.5);
    }
}

// A word never holds the delimiter; with one character the words are exactly the split parts.
void checkWord(const QString &text, qint32 wordNumber, const QString &delimiter)
{
    const QString word = GetDelimitedWord(text, wordNumber, delimiter);
    if (delimiter.isEmpty()) {
        FUZZ_CHECK(word == (wordNumber <= 1 ? text : QString()));
        return;
    }
    FUZZ_CHECK(!word.contains(delimiter));
    if (delimiter.size() == 1)
        FUZZ_CHECK(word == text.split(delimiter).value(qMax(wordNumber, 1) - 1));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::abortOnErrorMessage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    checkNumbers(QString::fromLatin1(input));
    checkNumbers(QString::fromUtf8(input));
    const size_t delimiterLength = size < 5 ? 0 : (data[4] & 2) ? 0 : 1 + (data[4] & 1);
    if (size < 5 + delimiterLength)
        return 0;
    qint32 wordNumber = 0;
    std::memcpy(&wordNumber, data, sizeof wordNumber);
    const QByteArray delimiter = input.mid(5, qsizetype(delimiterLength));
    const QByteArray text = input.mid(5 + qsizetype(delimiterLength));
    checkWord(QString::fromLatin1(text), wordNumber, QString::fromLatin1(delimiter));
    checkWord(QString::fromUtf8(text), wordNumber, QString::fromUtf8(delimiter));
    return 0;
}
