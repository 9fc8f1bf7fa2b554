// LeadingNumber on arbitrary text: always a finite number, and the value a correct decimal
// reader gives wherever the text is a plain number.
#include "conversions.h"
#include "fuzzcommon.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace
{

bool isIgnored(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isDigit(QChar c)
{
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

QString withoutIgnored(const QString &text)
{
    QString out;
    for (QChar c : text) {
        if (!isIgnored(c))
            out.append(c);
    }
    return out;
}

// The value of a text of the form [sign] digits [. digits] [e [sign] digits], read whole by
// the standard library; no value for any other text.
struct Reference {
    double value = 0;
    bool outOfRange = false;
};
std::optional<Reference> plainDecimal(const QString &text)
{
    qsizetype pos = 0;
    const qsizetype size = text.size();
    bool negative = false;
    if (pos < size && (text[pos] == u'+' || text[pos] == u'-'))
        negative = text[pos++] == u'-';
    const qsizetype mantissa = pos;
    while (pos < size && isDigit(text[pos]))
        ++pos;
    // A leading digit keeps the grammar identical to the one from_chars reads.
    if (pos == mantissa)
        return std::nullopt;
    if (pos < size && text[pos] == u'.') {
        ++pos;
        while (pos < size && isDigit(text[pos]))
            ++pos;
    }
    if (pos < size && (text[pos] == u'e' || text[pos] == u'E')) {
        ++pos;
        if (pos < size && (text[pos] == u'+' || text[pos] == u'-'))
            ++pos;
        const qsizetype exponent = pos;
        while (pos < size && isDigit(text[pos]))
            ++pos;
        // Short exponents only: the code caps long ones, which the reference does not.
        if (pos == exponent || pos - exponent > 4)
            return std::nullopt;
    }
    if (pos != size)
        return std::nullopt;

    const std::string number = text.mid(mantissa).toStdString();
    Reference ref;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), ref.value);
    if (result.ptr != number.data() + number.size())
        return std::nullopt;
    ref.outOfRange = result.ec == std::errc::result_out_of_range;
    if (negative)
        ref.value = -ref.value;
    return ref;
}

void check(const QString &text)
{
    const double value = LeadingNumber(text);
    FUZZ_CHECK(!std::isnan(value));
    FUZZ_CHECK(std::isfinite(value));

    // Blanks, tabs and line feeds are ignored wherever they are.
    const QString stripped = withoutIgnored(text);
    FUZZ_CHECK(LeadingNumber(stripped) == value);

    if (const auto ref = plainDecimal(stripped)) {
        constexpr double Max = std::numeric_limits<double>::max();
        if (ref->outOfRange)
            FUZZ_CHECK(value == 0 || std::fabs(value) == Max);
        else
            FUZZ_CHECK(value == ref->value);
    }

    // A sign in front of an unsigned number only changes the sign.
    if (!stripped.isEmpty() && (isDigit(stripped[0]) || stripped[0] == u'.')) {
        FUZZ_CHECK(LeadingNumber(QLatin1Char('-') + stripped) == -value);
        FUZZ_CHECK(LeadingNumber(QLatin1Char('+') + stripped) == value);
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
    const QByteArray input = Fuzz::bytes(data, size);
    check(QString::fromLatin1(input));
    check(QString::fromUtf8(input));
    return 0;
}
