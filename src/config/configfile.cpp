#include "configfile.h"

#include "conversions.h"
#include "modFileUtil.h"
#include "modUtil.h"

#include <QFile>
#include <QFileInfo>

QByteArray ConfigFileContents(const PocketLayout &layout)
{
    QByteArray contents;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        contents += QByteArray::number(row + 1) + ", " + QByteArray::number(layout.type(row)) +
                    ", " + QByteArray::number(layout.position(row) + 1) + "\r\n";
    }
    return contents;
}

void ApplyConfigFileLines(PocketLayout &layout, const QByteArray &contents)
{
    qsizetype start = 0;
    for (int row = 0; row < PocketLayout::kRows && start < contents.size(); ++row) {
        qsizetype end = start;
        while (end < contents.size() && contents[end] != '\r' && contents[end] != '\n')
            ++end;
        const QString line = QString::fromLatin1(contents.mid(start, end - start));
        start = end;
        if (start < contents.size() && contents[start] == '\r')
            ++start;
        if (start < contents.size() && contents[start] == '\n')
            ++start;

        const QString comma = QStringLiteral(",");
        if (const auto type = TextToInteger(GetDelimitedWord(line, 2, comma)))
            layout.setType(row, *type);
        if (const auto position = TextToInteger(GetDelimitedWord(line, 3, comma)))
            layout.setPosition(row, *position - 1);
    }
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
    ApplyConfigFileLines(layout, file.read(kMaxConfigFileRead));
    return true;
}

bool WriteConfigFile(const QString &path, const PocketLayout &layout, QString *why)
{
    return ReplaceFileAtomically(path, ConfigFileContents(layout), why);
}
