#pragma once

#include "errormessage.h"
#include "modFileUtil.h"

#include <QStringList>
#include <QTemporaryDir>

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
