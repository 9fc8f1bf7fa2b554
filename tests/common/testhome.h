#pragma once

#include "errormessage.h"
#include "modFileUtil.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <unistd.h>

// A file's bytes, or "<none>" when it cannot be read.
inline QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// For a test's life: the program's directory and the kept copies of files written in place in a
// temporary folder, and its error messages collected as "title: text" instead of shown.
struct TestHome {
    QTemporaryDir dir;
    QStringList messages;

    TestHome()
    {
        SetProgramDirectoryOverride(dir.path());
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
        SetErrorMessageHandler([this](const QString &title, const QString &text) {
            messages << title + QStringLiteral(": ") + text;
        });
    }
    ~TestHome()
    {
        SetErrorMessageHandler({});
        SetProgramDirectoryOverride({});
        qunsetenv("XDG_DATA_HOME");
    }
};
