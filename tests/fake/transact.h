#pragma once

#include "indexerlink.h"

#include <QEventLoop>
#include <QTimer>

// A test's way to wait for one result of the link (the program itself never waits).
inline IndexerLink::Reply transact(IndexerLink &link, const QString &command)
{
    IndexerLink::Reply result{QStringLiteral("no result"), true};
    QEventLoop loop;
    bool done = false;
    link.SendCommand(command, &loop, [&](const IndexerLink::Reply &reply) {
        result = reply;
        done = true;
        loop.quit();
    });
    if (!done) {
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return result;
}
