#include "configfile.h"

#include "conversions.h"
#include "modFileUtil.h"
#include "modUtil.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <algorithm>

QByteArray ConfigFileContents(const PocketLayout &layout)
{
    QByteArray contents;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        contents += QByteArray::number(row + 1) + ", " + QByteArray::number(layout.type(row)) +
                    ", " + QByteArray::number(layout.position(row) + 1);
        if (!layout.name(row).isEmpty())
            contents += ", " + layout.name(row).toLatin1();
        contents += "\r\n";
    }
    return contents;
}

namespace
{

// Lines end at CR LF, LF or CR; text after the last line end is a line too. At most max lines.
QList<QByteArrayView> splitLines(QByteArrayView contents, qsizetype max)
{
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    while (start < contents.size() && lines.size() < max) {
        qsizetype end = start;
        while (end < contents.size() && contents[end] != '\r' && contents[end] != '\n')
            ++end;
        lines.append(contents.sliced(start, end - start));
        start = end;
        if (start < contents.size() && contents[start] == '\r')
            ++start;
        if (start < contents.size() && contents[start] == '\n')
            ++start;
    }
    return lines;
}

// Field n of a line, as a number; strictly only a whole one, at most five digits.
std::optional<int> numberField(const QString &line, int n, bool strict)
{
    static const QRegularExpression whole(QStringLiteral("^\\s*[+-]?[0-9]{1,5}\\s*$"));
    const QString text = GetDelimitedWord(line, n, QStringLiteral(","));
    if (strict && !whole.match(text).hasMatch())
        return std::nullopt;
    const std::optional<qint16> number = TextToInteger(text);
    return number ? std::optional<int>(*number) : std::nullopt;
}

} // namespace

bool ParseConfigText(const QByteArray &contents, PocketLayout &layout, ConfigText mode,
                     QString *why)
{
    const bool strict = mode == ConfigText::Strict;
    QList<QByteArrayView> lines =
        splitLines(contents, strict ? contents.size() : qsizetype(PocketLayout::kRows));
    if (strict) {
        while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
            lines.removeLast();
        if (lines.size() != PocketLayout::kRows) {
            if (why != nullptr)
                *why = QStringLiteral("%1 lines, not 8").arg(lines.size());
            return false;
        }
    }
    PocketLayout parsed = layout;
    // The file's names first, each row's own or none; a row whose line gives no good name keeps
    // its own unless a line gave it to another row.
    std::array<std::optional<QString>, PocketLayout::kRows> names;
    for (int row = 0; row < lines.size() && row < PocketLayout::kRows; ++row) {
        const QString line = QString::fromLatin1(lines[row]);
        const auto type = numberField(line, 2, strict);
        const auto position = numberField(line, 3, strict);
        const bool typeTaken = type && parsed.setType(row, *type);
        const bool positionTaken = position && parsed.setPosition(row, *position - 1);
        const std::optional<QString> name =
            PocketLayout::CleanName(GetDelimitedWord(line, 4, QStringLiteral(",")));
        const bool repeated = name && !name->isEmpty() &&
                              std::any_of(names.cbegin(), names.cbegin() + row, [&](const auto &n) {
                                  return n && n->compare(*name, Qt::CaseInsensitive) == 0;
                              });
        if (name && !repeated)
            names[row] = *name;
        if (strict && !(typeTaken && positionTaken && names[row])) {
            if (why != nullptr)
                *why = QStringLiteral("line %1: a type 0 to 3, a position 1 to 360 and a name of "
                                      "up to 16 characters without a comma, once, are needed")
                           .arg(row + 1);
            return false;
        }
    }
    for (int row = 0; row < PocketLayout::kRows; ++row)
        parsed.setName(row, QString()); // names are set afresh below, in any order
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        if (names[row])
            parsed.setName(row, *names[row]);
    }
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        if (!names[row])
            parsed.setName(row, layout.name(row)); // refused when another row has it now
    }
    layout = parsed;
    return true;
}

bool ReadConfigFile(const QString &path, PocketLayout &layout)
{
    // Checked before the open: opening a FIFO waits for a writer.
    if (!QFileInfo(path).isFile())
        return false;
    RestoreKeptCopy(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    ParseConfigText(file.read(kMaxConfigFileRead), layout);
    return true;
}

bool WriteConfigFile(const QString &path, const PocketLayout &layout, QString *why)
{
    return ReplaceFileAtomically(path, ConfigFileContents(layout), why);
}
