// ApplyConfigFileLines on arbitrary bytes: the table stays within its lists, each row takes
// exactly the fields of its line that are valid, and what the table writes reads back the same.
#include "configfile.h"
#include "conversions.h"
#include "fuzztable.h"

#include <QStringList>

namespace
{

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
    ApplyConfigFileLines(layout, contents);
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
    ApplyConfigFileLines(copy, written);
    FUZZ_CHECK(copy == layout);
    return 0;
}
