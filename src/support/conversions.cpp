#include "conversions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

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

int digitValue(QChar c, int radix)
{
    const char16_t u = c.unicode();
    int value = -1;
    if (u >= u'0' && u <= u'9')
        value = u - u'0';
    else if (u >= u'a' && u <= u'f')
        value = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        value = u - u'A' + 10;
    return value < radix ? value : -1;
}

double radixNumber(const QString &chars, qsizetype pos, int radix)
{
    // Clamped rather than allowed to run into infinity on absurdly long digit strings.
    const double limit = std::numeric_limits<double>::max() / radix - radix;
    double value = 0;
    for (; pos < chars.size(); ++pos) {
        const int digit = digitValue(chars[pos], radix);
        if (digit < 0)
            break;
        if (value >= limit)
            return std::numeric_limits<double>::max();
        value = value * radix + digit;
    }
    return value;
}

} // namespace

double LeadingNumber(const QString &text)
{
    QString chars;
    chars.reserve(text.size());
    for (QChar c : text) {
        if (!isIgnored(c))
            chars.append(c);
    }

    qsizetype pos = 0;
    if (chars.size() >= 2 && chars[0] == u'&') {
        const QChar letter = chars[1].toUpper();
        if (letter == u'H')
            return radixNumber(chars, 2, 16);
        if (letter == u'O')
            return radixNumber(chars, 2, 8);
        return 0;
    }

    bool negative = false;
    if (pos < chars.size() && (chars[pos] == u'+' || chars[pos] == u'-')) {
        negative = chars[pos] == u'-';
        ++pos;
    }

    // The value is 0.<digits> * 10^exponent. Digits beyond what can affect the rounding of a
    // double are folded into one sticky digit, so any length of text costs bounded memory.
    constexpr qsizetype MaxDigits = 800;
    std::string digits;
    bool sticky = false;
    long long exponent = 0;
    bool anyDigit = false;

    for (; pos < chars.size() && isDecimalDigit(chars[pos]); ++pos) {
        anyDigit = true;
        const char d = char(chars[pos].unicode());
        if (digits.empty() && d == '0')
            continue;
        if (qsizetype(digits.size()) < MaxDigits)
            digits.push_back(d);
        else
            sticky = sticky || d != '0';
        ++exponent;
    }
    if (pos < chars.size() && chars[pos] == u'.') {
        ++pos;
        for (; pos < chars.size() && isDecimalDigit(chars[pos]); ++pos) {
            anyDigit = true;
            const char d = char(chars[pos].unicode());
            if (digits.empty() && d == '0') {
                --exponent;
                continue;
            }
            if (qsizetype(digits.size()) < MaxDigits)
                digits.push_back(d);
            else
                sticky = sticky || d != '0';
        }
    }
    if (!anyDigit)
        return 0;

    if (pos < chars.size() && (chars[pos] == u'e' || chars[pos] == u'E')) {
        qsizetype p = pos + 1;
        bool expNegative = false;
        if (p < chars.size() && (chars[p] == u'+' || chars[p] == u'-')) {
            expNegative = chars[p] == u'-';
            ++p;
        }
        // Capped: far beyond the range of a double either way.
        constexpr long long ExpCap = 100000;
        long long expValue = 0;
        for (; p < chars.size() && isDecimalDigit(chars[p]); ++p)
            expValue = std::min(ExpCap, expValue * 10 + (chars[p].unicode() - u'0'));
        exponent += expNegative ? -expValue : expValue;
    }

    if (digits.empty())
        return 0;
    if (sticky)
        digits.push_back('1');
    exponent = std::clamp(exponent, -4 * 100000LL, 4 * 100000LL);

    const std::string number = "0." + digits + "e" + std::to_string(exponent);
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = exponent > 0 ? std::numeric_limits<double>::max() : 0.0;
    else if (result.ec != std::errc())
        value = 0;
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
