#include "configfile.h"

#include "cFileDialog.h"
#include "conversions.h"
#include "errormessage.h"
#include "modFileUtil.h"
#include "modUtil.h"
#include "pockettable.h"
#include "settings.h"

#include <QFile>

QByteArray ConfigFileContents(const PocketTable &table)
{
    QByteArray contents;
    for (int row = 0; row < PocketTable::kRows; ++row) {
        contents += QByteArray::number(row + 1) + ", " + QByteArray::number(table.type(row)) +
                    ", " + QByteArray::number(table.position(row) + 1) + "\r\n";
    }
    return contents;
}

void ApplyConfigFileLines(PocketTable &table, const QByteArray &contents)
{
    qsizetype start = 0;
    for (int row = 0; row < PocketTable::kRows && start < contents.size(); ++row) {
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
            table.setType(row, *type);
        if (const auto position = TextToInteger(GetDelimitedWord(line, 3, comma)))
            table.setPosition(row, *position - 1);
    }
}

namespace
{

// The choosing steps shared by Open and Save. The chosen full path, or empty when cancelled.
QString ChooseConfigFile(bool fOpen, QWidget *owner)
{
    cFileDialog dialog;
    dialog.setDialogTitle(fOpen ? QStringLiteral("Open Config File")
                                : QStringLiteral("Save Config File"));
    dialog.setDefaultExt(QStringLiteral("cfg"));
    dialog.setFilter(QStringLiteral("Log files (*.cfg)|*.cfg"));
    dialog.setFilterIndex(0);
    dialog.setFlags(cFileDialog::OverwritePrompt | cFileDialog::HideReadOnly |
                    cFileDialog::PathMustExist);
    dialog.setHWndParent(owner);
    dialog.setInitialDir(ProgramDirectory());
    dialog.setMaxFileSize(255);
    QString proposed = ConfigFile;
    if (!proposed.isEmpty() && !proposed.contains(QLatin1Char('.')))
        proposed += QStringLiteral(".cfg");
    // A bare name opens the dialog in the program's own directory (InitialDir).
    dialog.setFileName(proposed);
    if (!dialog.Show(fOpen))
        return {};
    const QString chosen = dialog.FileName();
    ConfigFile = GetPathPart(chosen) == ProgramDirectory() ? GetNamePart(chosen) : chosen;
    return chosen;
}

} // namespace

void OpenConfigFile(PocketTable &table, QWidget *owner)
{
    const QString path = ChooseConfigFile(true, owner);
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    ApplyConfigFileLines(table, file.read(kMaxConfigFileRead));
}

void SaveConfigFile(const PocketTable &table, QWidget *owner)
{
    const QString path = ChooseConfigFile(false, owner);
    if (path.isEmpty())
        return;
    QString why;
    if (!ReplaceFileAtomically(path, ConfigFileContents(table), &why))
        ShowErrorMessage(QStringLiteral("SaveConfigFile"), ErrorNumber::PathFileAccess,
                         QStringLiteral("%1 could not be written: %2").arg(path, why));
}
