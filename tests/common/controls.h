#pragma once

#include <QObject>
#include <QString>

// A window's control (or timer) by its objectName; a missing one ends the test program, naming it.
template <typename T> T *control(const QObject *window, const QString &name)
{
    T *found = window->findChild<T *>(name);
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
    return found;
}
