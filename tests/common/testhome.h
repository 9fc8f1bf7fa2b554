#pragma once

#include "errormessage.h"
#include "modFileUtil.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// A file's bytes, or "<none>" when it cannot be read.
inline QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// For a test's life: the program's directory in a temporary folder, and its error messages
// collected as "title: text" instead of shown.
struct TestHome {
    QTemporaryDir dir;
    QStringList messages;

    TestHome()
    {
        SetProgramDirectoryOverride(dir.path());
        SetErrorMessageHandler([this](const QString &title, const QString &text) {
            messages << title + QStringLiteral(": ") + text;
        });
    }
    ~TestHome()
    {
        SetErrorMessageHandler({});
        SetProgramDirectoryOverride({});
    }
};
