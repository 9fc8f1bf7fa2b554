// ParseConfigText on arbitrary bytes, leniently and strictly: the table stays within its lists
// and what it writes reads back the same. LeadingNumber on each field, and on whole numbers
// taken from the first bytes.
#include "configfile.h"
#include "conversions.h"
#include "fuzztable.h"

#include <QList>
#include <bit>
#include <cmath>
#include <cstring>

namespace
{

// Properties that hold whatever the number's form: a finite value, unchanged by a blank, tab or
// line feed inserted anywhere, and ended by a character that cannot continue a number (what
// follows it does not count).
void checkLeadingNumber(const QString &text, qsizetype seed)
{
    const double value = LeadingNumber(text);
    const auto same = [value](const QString &other) {
        return std::bit_cast<quint64>(LeadingNumber(other)) == std::bit_cast<quint64>(value);
    };
    FUZZ_CHECK(std::isfinite(value));
    QString blanked = text;
    blanked.insert(seed % (text.size() + 1), QChar(u" \t\n"[seed % 3]));
    FUZZ_CHECK(same(blanked));
    FUZZ_CHECK(same(text + QChar(u",x\r\u0663\uff11"[seed % 5]) + text));
}

// A whole number written out in decimal, hexadecimal or octal reads as itself.
void checkWholeNumber(qint64 n)
{
    FUZZ_CHECK(LeadingNumber(QString::number(n)) == double(n));
    const auto u = quint64(n);
    FUZZ_CHECK(LeadingNumber(QStringLiteral("&H") + QString::number(u, 16)) == double(u));
    FUZZ_CHECK(LeadingNumber(QStringLiteral("&o") + QString::number(u, 8)) == double(u));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::abortOnErrorMessage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray contents = Fuzz::bytes(data, size);
    PocketLayout layout;
    ParseConfigText(contents, layout);
    FUZZ_CHECK(Fuzz::valid(layout));

    // The file the layout writes gives the same rows over any layout.
    const QByteArray written = ConfigFileContents(layout);
    PocketLayout other;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        other.setType(row, (layout.type(row) + 1) % PocketLayout::kTypes);
        other.setPosition(row, (layout.position(row) + 1) % PocketLayout::kPositions);
    }
    PocketLayout copy = other;
    ParseConfigText(written, copy);
    FUZZ_CHECK(copy == layout);
    // Strictly, a text is taken whole, as the lenient reading takes it, or refused with a reason
    // and nothing changed.
    PocketLayout strict = other;
    QString why;
    if (ParseConfigText(contents, strict, ConfigText::Strict, &why))
        FUZZ_CHECK(strict == layout);
    else
        FUZZ_CHECK(strict == other && !why.isEmpty());

    const QList<QByteArray> fields = contents.split(',');
    for (qsizetype i = 0; i < fields.size(); ++i)
        checkLeadingNumber(QString::fromLatin1(fields[i]), qsizetype(size) + i);
    if (size >= sizeof(qint64)) {
        // Shifted by the first byte's low bits: numbers of every size.
        qint64 n = 0;
        std::memcpy(&n, data, sizeof n);
        checkWholeNumber(n >> (data[0] & 63));
    }
    return 0;
}
