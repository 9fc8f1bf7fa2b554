#include "configfiledialog.h"

#include "cFileDialog.h"
#include "configfile.h"
#include "errormessage.h"
#include "modFileUtil.h"

#include <QFileInfo>

namespace
{

// The choosing steps shared by Open and Save. The chosen full path, or empty when cancelled.
QString ChooseConfigFile(bool fOpen, QString &fileName, QWidget *owner)
{
    cFileDialog dialog;
    dialog.setDialogTitle(fOpen ? QStringLiteral("Open Config File")
                                : QStringLiteral("Save Config File"));
    dialog.setDefaultExt(QStringLiteral("cfg"));
    dialog.setFilter(QStringLiteral("Log files (*.cfg)|*.cfg"));
    dialog.setFlags(cFileDialog::OverwritePrompt | cFileDialog::HideReadOnly |
                    cFileDialog::PathMustExist);
    dialog.setHWndParent(owner);
    dialog.setInitialDir(ProgramDirectory());
    QString proposed = fileName;
    if (!proposed.isEmpty() && !proposed.contains(QLatin1Char('.')))
        proposed += QStringLiteral(".cfg");
    // A bare name opens the dialog in the program's own directory (InitialDir).
    dialog.setFileName(proposed);
    if (!dialog.Show(fOpen))
        return {};
    const QString chosen = dialog.FileName();
    fileName = GetPathPart(chosen) == ProgramDirectory() ? GetNamePart(chosen) : chosen;
    return chosen;
}

} // namespace

bool OpenConfigFile(PocketLayout &layout, QString &fileName, QWidget *owner)
{
    const QString path = ChooseConfigFile(true, fileName, owner);
    if (path.isEmpty())
        return false;
    if (QFileInfo::exists(path) && !QFileInfo(path).isFile()) {
        ShowErrorMessage(QStringLiteral("OpenConfigFile"), ErrorNumber::PathFileAccess,
                         QStringLiteral("%1 is not a regular file").arg(path));
        return false;
    }
    return ReadConfigFile(path, layout);
}

void SaveConfigFile(const PocketLayout &layout, QString &fileName, QWidget *owner)
{
    const QString path = ChooseConfigFile(false, fileName, owner);
    if (path.isEmpty())
        return;
    QString why;
    if (!WriteConfigFile(path, layout, &why))
        ShowErrorMessage(QStringLiteral("SaveConfigFile"), ErrorNumber::PathFileAccess,
                         QStringLiteral("%1 could not be written: %2").arg(path, why));
}
