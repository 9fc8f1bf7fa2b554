#pragma once

#include "fakeserialport.h"
#include "frmMain.h"
#include "indexerlink.h"
#include "testhome.h"

#include <QTest>

// A main window on a fake port, in a program directory of its own. Replies come from a table
// of command -> reply bytes.
struct MainFixture {
    TestHome home;
    FakeSerialPort port;
    std::unique_ptr<frmMain> window;
    QHash<QString, QByteArray> replies;
    int exits = 0;

    explicit MainFixture(bool load = true)
    {
        CommPort = 1;
        port.responder = [this](const QByteArray &frame) {
            return replies.value(QString::fromLatin1(frame.mid(1, frame.size() - 3)));
        };
        window = std::make_unique<frmMain>(&port);
        window->setExitHandler([this] { ++exits; });
        if (load)
            window->Form_Load();
    }

    // Waits until every queued command has had its result: the link is idle again.
    bool idle()
    {
        return QTest::qWaitFor([this] { return !window->link().isBusy(); }, 5000);
    }
};
