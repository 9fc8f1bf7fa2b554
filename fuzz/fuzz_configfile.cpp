// ApplyConfigFileLines on arbitrary bytes: the table stays within its lists, each row takes
// exactly the fields of its line that are valid, and what the table writes reads back the same.
#include "configfile.h"
#include "conversions.h"
#include "fuzztable.h"

#include <QStringList>

namespace
{

// Never destroyed, like the application (see startApplication).
Fuzz::Table *g_table = nullptr;
Fuzz::Table *g_copy = nullptr;

// The rows the contents should give, starting from the defaults: lines end at CR LF, LF or
// CR; fields are split at commas.
Fuzz::Rows expectedRows(const QByteArray &contents)
{
    Fuzz::Rows rows{};
    for (int row = 0; row < PocketTable::kRows; ++row) {
        rows.type[row] = NotUsed;
        rows.position[row] = 0;
    }
    QByteArray normalised = contents;
    normalised.replace("\r\n", "\n");
    normalised.replace('\r', '\n');
    const QList<QByteArray> lines = normalised.split('\n');
    for (int row = 0; row < PocketTable::kRows && row < lines.size(); ++row) {
        const QStringList fields = QString::fromLatin1(lines[row]).split(u',');
        if (const auto type = TextToInteger(fields.value(1)); type && *type >= 0 && *type <= 3)
            rows.type[row] = *type;
        if (const auto pos = TextToInteger(fields.value(2)); pos && *pos >= 1 && *pos <= 360)
            rows.position[row] = *pos - 1;
    }
    return rows;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::startApplication();
    g_table = new Fuzz::Table;
    g_copy = new Fuzz::Table;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray contents = Fuzz::bytes(data, size);
    PocketTable &table = g_table->table;
    table.setDefaults();
    ApplyConfigFileLines(table, contents);
    FUZZ_CHECK(g_table->valid());
    const Fuzz::Rows rows = Fuzz::Rows::of(table);
    FUZZ_CHECK(rows == expectedRows(contents));

    // The file the table writes: eight CR LF lines that give the same rows in any table.
    const QByteArray written = ConfigFileContents(table);
    FUZZ_CHECK(written.count("\r\n") == PocketTable::kRows && written.endsWith("\r\n"));
    PocketTable &copy = g_copy->table;
    for (int row = 0; row < PocketTable::kRows; ++row) {
        copy.setType(row, (rows.type[row] + 1) % PocketTable::kTypes);
        copy.setPosition(row, (rows.position[row] + 1) % PocketTable::kPositions);
    }
    ApplyConfigFileLines(copy, written);
    FUZZ_CHECK(Fuzz::Rows::of(copy) == rows);
    return 0;
}
