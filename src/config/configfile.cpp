#include "configfile.h"

#include "conversions.h"
#include "modFileUtil.h"
#include "modUtil.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>

QByteArray ConfigFileContents(const PocketLayout &layout)
{
    QByteArray contents;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        contents += QByteArray::number(row + 1) + ", " + QByteArray::number(layout.type(row)) +
                    ", " + QByteArray::number(layout.position(row) + 1) + "\r\n";
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
    for (int row = 0; row < lines.size(); ++row) {
        const QString line = QString::fromLatin1(lines[row]);
        const auto type = numberField(line, 2, strict);
        const auto position = numberField(line, 3, strict);
        const bool typeTaken = type && parsed.setType(row, *type);
        const bool positionTaken = position && parsed.setPosition(row, *position - 1);
        if (strict && !(typeTaken && positionTaken)) {
            if (why != nullptr)
                *why = QStringLiteral("line %1: a type 0 to 3 and a position 1 to 360 are needed")
                           .arg(row + 1);
            return false;
        }
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
