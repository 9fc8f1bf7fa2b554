// ParseConfigText on arbitrary bytes: the table stays within its lists, each row takes
// exactly the fields of its line that are valid, and what the table writes reads back the same.
// LeadingNumber on each field, and on whole numbers taken from the first bytes.
#include "configfile.h"
#include "conversions.h"
#include "fuzztable.h"

#include <QStringList>
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

// The rows the contents should give, starting from the defaults: lines end at CR LF, LF or
// CR; fields are split at commas.
PocketLayout expectedLayout(const QByteArray &contents)
{
    int type[PocketLayout::kRows], position[PocketLayout::kRows];
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        type[row] = NotUsed;
        position[row] = 0;
    }
    QByteArray normalised = contents;
    normalised.replace("\r\n", "\n");
    normalised.replace('\r', '\n');
    const QList<QByteArray> lines = normalised.split('\n');
    for (int row = 0; row < PocketLayout::kRows && row < lines.size(); ++row) {
        const QStringList fields = QString::fromLatin1(lines[row]).split(u',');
        if (const auto t = TextToInteger(fields.value(1)); t && *t >= 0 && *t <= 3)
            type[row] = *t;
        if (const auto p = TextToInteger(fields.value(2)); p && *p >= 1 && *p <= 360)
            position[row] = *p - 1;
    }
    return Fuzz::layoutOf(type, position);
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
    FUZZ_CHECK(layout == expectedLayout(contents));

    // The file the layout writes: eight CR LF lines that give the same rows over any layout.
    const QByteArray written = ConfigFileContents(layout);
    FUZZ_CHECK(written.count("\r\n") == PocketLayout::kRows && written.endsWith("\r\n"));
    PocketLayout copy;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        copy.setType(row, (layout.type(row) + 1) % PocketLayout::kTypes);
        copy.setPosition(row, (layout.position(row) + 1) % PocketLayout::kPositions);
    }
    ParseConfigText(written, copy);
    FUZZ_CHECK(copy == layout);

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
