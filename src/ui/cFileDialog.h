#pragma once

#include <QString>
#include <functional>

class QFileDialog;
class QWidget;

// Asks the operator for a file to open or to save: set the properties, call Show, and on success
// read the chosen full path from FileName.
class cFileDialog
{
public:
    // Option bits, as the callers pass them.
    static constexpr qint32 OverwritePrompt = 0x2;
    static constexpr qint32 HideReadOnly = 0x4;
    static constexpr qint32 PathMustExist = 0x800;

    QString DefaultExt() const { return m_defaultExt; }
    void setDefaultExt(const QString &strValue) { m_defaultExt = strValue; }
    QString DialogTitle() const { return m_dialogTitle; }
    void setDialogTitle(const QString &strValue) { m_dialogTitle = strValue; }
    QString FileName() const { return m_fileName; }
    void setFileName(const QString &strValue) { m_fileName = strValue; }
    // Descriptions and patterns alternating, separated by "|": "Log files (*.cfg)|*.cfg".
    QString Filter() const { return m_filter; }
    void setFilter(const QString &strValue) { m_filter = strValue; }
    qint32 Flags() const { return m_flags; }
    void setFlags(qint32 eValue) { m_flags = eValue; }
    QWidget *hWndParent() const { return m_parent; }
    void setHWndParent(QWidget *lngValue) { m_parent = lngValue; }
    QString InitialDir() const { return m_initialDir; }
    void setInitialDir(const QString &strValue) { m_initialDir = strValue; }

    // Shows the open (fOpen true) or save dialog, modal. True when a file was chosen; false when
    // cancelled.
    bool Show(const bool &fOpen);

    // Sets up a Qt file dialog from the properties (what Show shows).
    void configure(QFileDialog &dialog, bool fOpen) const;
    // The file types of Filter as Qt name filters ("Log files (*.cfg)").
    QStringList nameFilters() const;

    // Tests answer in place of the operator: the handler gets the object with its properties
    // set, may set FileName, and returns what Show returns. An empty handler shows the dialog.
    using ShowHandler = std::function<bool(cFileDialog &dialog, bool fOpen)>;
    static void SetShowHandler(ShowHandler handler);

private:
    static QString TrimNulls(QString text);

    QString m_defaultExt;
    QString m_dialogTitle;
    QString m_fileName;
    QString m_filter;
    qint32 m_flags = 0;
    QWidget *m_parent = nullptr;
    QString m_initialDir;
};
