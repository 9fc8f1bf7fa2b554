#pragma once

#include "errormessage.h"
#include "fakeserialport.h"
#include "frmMain.h"
#include "indexerlink.h"
#include "modFileUtil.h"
#include "settings.h"

#include <QHash>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// A main window on a fake port, with its program directory in a temporary folder and the error
// message captured. Replies come from a table of command -> reply bytes.
struct MainFixture {
    QTemporaryDir dir;
    FakeSerialPort port;
    std::unique_ptr<frmMain> window;
    QHash<QString, QByteArray> replies;
    QStringList messages;
    int exits = 0;

    explicit MainFixture(bool load = true)
    {
        SetProgramDirectoryOverride(dir.path());
        SetErrorMessageHandler(
            [this](const QString &title, const QString &text) { messages << title + ": " + text; });
        CommPort = 1;
        port.responder = [this](const QByteArray &frame) {
            const QString command = QString::fromLatin1(frame.mid(1, frame.size() - 3));
            return replies.value(command);
        };
        window = std::make_unique<frmMain>(port);
        window->setExitHandler([this] { ++exits; });
        if (load)
            window->Form_Load();
    }
    ~MainFixture()
    {
        window.reset();
        SetErrorMessageHandler({});
        SetProgramDirectoryOverride({});
    }

    // Waits until every queued command has had its result: the link is idle again.
    bool idle()
    {
        return QTest::qWaitFor([this] { return !window->link().isBusy(); }, 5000);
    }

    QString settingsText() const
    {
        QFile file(SettingsFilePath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
};
