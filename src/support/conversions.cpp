#include "conversions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace
{

bool isDecimalDigit(QChar c)
{
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

// Blank, tab and line feed are skipped anywhere, as the old Val did.
bool isIgnored(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// The test for a digit of a radix: 8, 10 or 16.
auto digitOf(int radix)
{
    return [radix](char16_t c) {
        const char16_t lower = c | 0x20;
        return (isDecimalDigit(c) && c - u'0' < radix) ||
               (radix == 16 && lower >= u'a' && lower <= u'f');
    };
}

// The digits of an "&H" or "&O" number; beyond 64 bits, the largest double.
double radixValue(const std::string &digits, int radix)
{
    std::uint64_t value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, radix);
    return result.ec == std::errc::result_out_of_range ? std::numeric_limits<double>::max()
                                                       : double(value);
}

// The decimal digits and point times ten to the exponent. Out of range, the place of the first
// significant digit (scale) tells too large from too small.
double decimalValue(std::string number, long long exponent, long long scale)
{
    number += 'e' + std::to_string(exponent);
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = scale + exponent > 0 ? std::numeric_limits<double>::max() : 0.0;
    return value;
}

} // namespace

double LeadingNumber(const QString &text)
{
    qsizetype pos = 0;
    // The next character that is not ignored; NUL past the end.
    const auto peek = [&] {
        while (pos < text.size() && isIgnored(text[pos]))
            ++pos;
        return pos < text.size() ? text[pos].unicode() : u'\0';
    };
    // The longest prefix that forms a number, without the ignored characters and the sign.
    std::string number;
    const auto take = [&](auto accepts) {
        const char16_t c = peek();
        if (c == u'\0' || !accepts(c))
            return false;
        number.push_back(char(c));
        ++pos;
        return true;
    };
    const auto decimal = digitOf(10);

    if (peek() == u'&') {
        ++pos;
        const char16_t letter = peek() | 0x20;
        const int radix = letter == u'h' ? 16 : letter == u'o' ? 8 : 0;
        if (radix == 0)
            return 0;
        ++pos;
        while (take(digitOf(radix))) {
        }
        return radixValue(number, radix);
    }

    const bool negative = peek() == u'-';
    if (negative || peek() == u'+')
        ++pos;
    // Decimal places of the first significant digit (its power of ten plus one): the direction
    // of a value out of range.
    long long scale = 0;
    bool significant = false;
    while (take(decimal)) {
        significant = significant || number.back() != '0';
        scale += significant;
    }
    if (take([](char16_t c) { return c == u'.'; })) {
        while (take(decimal)) {
            significant = significant || number.back() != '0';
            scale -= !significant;
        }
    }
    if (!significant)
        return 0;

    // The exponent's value is capped: far beyond the range of a double either way.
    long long exponent = 0;
    if (peek() == u'e' || peek() == u'E') {
        ++pos;
        const bool down = peek() == u'-';
        if (down || peek() == u'+')
            ++pos;
        for (char16_t c = peek(); decimal(c); ++pos, c = peek())
            exponent = std::min(100000LL, exponent * 10 + (c - u'0'));
        exponent = down ? -exponent : exponent;
    }
    const double value = decimalValue(std::move(number), exponent, scale);
    return negative ? -value : value;
}

std::optional<qint16> TextToInteger(const QString &text)
{
    const auto isSpace = [](QChar c) {
        return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;

    qsizetype pos = begin;
    bool negative = false;
    if (pos < end && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }

    // Decided on the digits themselves so that halves and long texts round exactly.
    qint64 magnitude = 0;
    bool anyDigit = false;
    for (; pos < end && isDecimalDigit(text[pos]); ++pos) {
        anyDigit = true;
        if (magnitude <= 32768)
            magnitude = magnitude * 10 + (text[pos].unicode() - u'0');
    }
    int firstFraction = 0;
    bool restNonZero = false;
    if (pos < end && text[pos] == u'.') {
        ++pos;
        bool first = true;
        for (; pos < end && isDecimalDigit(text[pos]); ++pos) {
            anyDigit = true;
            const int d = text[pos].unicode() - u'0';
            if (first)
                firstFraction = d;
            else
                restNonZero = restNonZero || d != 0;
            first = false;
        }
    }
    if (!anyDigit || pos != end || magnitude > 32768)
        return std::nullopt;

    const bool roundUp =
        firstFraction > 5 || (firstFraction == 5 && (restNonZero || magnitude % 2 != 0));
    if (roundUp)
        ++magnitude;
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return qint16(value);
}

double RoundHalfEven(double value)
{
    if (!std::isfinite(value))
        return value;
    const double rounded = std::round(value);
    if (std::fabs(rounded - value) == 0.5)
        return 2.0 * std::round(value / 2.0);
    return rounded;
}

QString VisibleControls(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\\')
            out += QStringLiteral("\\\\");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == 0)
            out += QStringLiteral("\\0");
        else if (u < 0x20 || u == 0x7F)
            out += QStringLiteral("\\x") +
                   QString::number(u, 16).rightJustified(2, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

bool IsHiddenControl(QChar c)
{
    const char16_t u = c.unicode();
    return c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029 || u == 0x061C ||
           u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}
