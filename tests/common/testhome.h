#pragma once

#include "errormessage.h"
#include "modFileUtil.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <unistd.h>

extern "C" void __gcov_dump() __attribute__((weak)); // present in a coverage build only

// Ends a forked child with its result, without the parent's exit handlers (a sanitizer would
// check the parent's memory there), but with a coverage build's counts written.
[[noreturn]] inline void exitChild(bool ok)
{
    if (__gcov_dump)
        __gcov_dump();
    ::_exit(ok ? 0 : 1);
}

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
