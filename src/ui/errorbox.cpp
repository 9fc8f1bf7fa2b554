#include "errorbox.h"

#include "errormessage.h"

#include <QMessageBox>

void InstallErrorMessageBox()
{
    SetErrorMessagePresenter([](const QString &title, const QString &text) {
        QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok);
        box.exec();
    });
}
