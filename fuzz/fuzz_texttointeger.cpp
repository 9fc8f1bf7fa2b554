// TextToInteger on arbitrary text: a value is always a 16-bit number that reads back the same,
// and it is the text's number rounded.
#include "conversions.h"
#include "fuzzcommon.h"

#include <cmath>
#include <optional>

namespace
{

bool isSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// [blanks] [sign] digits [blanks] only: the exact value (capped), else no value.
std::optional<qint64> plainInteger(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    bool negative = false;
    if (begin < end && (text[begin] == u'+' || text[begin] == u'-'))
        negative = text[begin++] == u'-';
    if (begin == end)
        return std::nullopt;
    qint64 value = 0;
    for (qsizetype i = begin; i < end; ++i) {
        if (text[i].unicode() < u'0' || text[i].unicode() > u'9')
            return std::nullopt;
        value = std::min<qint64>(value * 10 + (text[i].unicode() - u'0'), 1000000);
    }
    return negative ? -value : value;
}

void check(const QString &text)
{
    const std::optional<qint16> result = TextToInteger(text);
    if (const auto plain = plainInteger(text)) {
        if (*plain >= -32768 && *plain <= 32767)
            FUZZ_CHECK(result && *result == *plain);
        else
            FUZZ_CHECK(!result);
    }
    if (!result)
        return;

    const int value = *result;
    FUZZ_CHECK(value >= -32768 && value <= 32767);
    const auto again = TextToInteger(QString::number(value));
    FUZZ_CHECK(again && *again == value);

    // The number read whole, rounded: never more than half away. CR is blank here but not to
    // LeadingNumber, and only surrounds the number.
    QString number = text;
    number.remove(u'\r');
    FUZZ_CHECK(std::fabs(value - LeadingNumber(number)) <= 0.5);
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
    check(QString::fromLatin1(input));
    check(QString::fromUtf8(input));
    return 0;
}
