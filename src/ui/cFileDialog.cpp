#include "cFileDialog.h"

#include "modFileUtil.h"

#include <QFileDialog>

namespace
{
cFileDialog::ShowHandler &showHandler()
{
    static cFileDialog::ShowHandler handler;
    return handler;
}
} // namespace

void cFileDialog::SetShowHandler(ShowHandler handler)
{
    showHandler() = std::move(handler);
}

QString cFileDialog::TrimNulls(QString text)
{
    const qsizetype nul = text.indexOf(QChar(0));
    return nul < 0 ? text : text.left(nul);
}

QStringList cFileDialog::nameFilters() const
{
    // Pairs of description and pattern; there is no escape for "|".
    const QStringList parts = m_filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i];
        const QString pattern = parts[i + 1];
        if (description.contains(QLatin1Char('(') + pattern + QLatin1Char(')')))
            filters << description;
        else
            filters << description + QStringLiteral(" (") + pattern + QLatin1Char(')');
    }
    return filters;
}

void cFileDialog::configure(QFileDialog &dialog, bool fOpen) const
{
    dialog.setWindowTitle(m_dialogTitle);
    dialog.setAcceptMode(fOpen ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // Qt's default file mode (AnyFile): opening accepts a typed name of a file that does not
    // exist, in an existing folder.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !(m_flags & OverwritePrompt));
    dialog.setDefaultSuffix(m_defaultExt);
    dialog.setNameFilters(nameFilters()); // the first chosen
    // A proposed name with a directory of its own starts there; a bare name in InitialDir.
    const QString proposed = TrimNulls(m_fileName);
    const QString directory = GetPathPart(proposed);
    dialog.setDirectory(directory.isEmpty() ? m_initialDir : directory);
    if (!proposed.isEmpty())
        dialog.selectFile(GetNamePart(proposed));
}

bool cFileDialog::Show(const bool &fOpen)
{
    if (showHandler())
        return showHandler()(*this, fOpen);
    QFileDialog dialog(m_parent);
    configure(dialog, fOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    m_fileName = TrimNulls(dialog.selectedFiles().constFirst());
    return true;
}
