#include "modFormUtil.h"

#include "errormessage.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

void CloseForms(QWidget *mainWindow)
{
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    QList<QPointer<QWidget>> others;
    for (QWidget *window : windows)
        if (window != mainWindow && window->isVisible())
            others << window;
    for (const QPointer<QWidget> &window : others) {
        if (window && !window->close()) {
            ShowErrorMessage(QStringLiteral("CloseForms"), ErrorNumber::PathFileAccess,
                             QStringLiteral("The window \"%1\" could not be closed.")
                                 .arg(window->windowTitle()));
            return;
        }
    }
    if (mainWindow)
        mainWindow->close();
}
