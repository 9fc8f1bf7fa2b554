#pragma once

#include "indexerlink.h"

#include <QEventLoop>
#include <QTimer>
#include <type_traits>

// A test's way to wait for one result of the link (the program itself never waits): a command,
// or a motion request.
template <typename Request>
inline IndexerLink::Reply transact(IndexerLink &link, const Request &request)
{
    IndexerLink::Reply result{QStringLiteral("no result"), true, 0, {}, {}};
    QEventLoop loop;
    bool done = false;
    const auto got = [&](const IndexerLink::Reply &reply) {
        result = reply;
        done = true;
        loop.quit();
    };
    if constexpr (std::is_same_v<Request, MotionRequest>)
        link.sendMotion(request, &loop, got);
    else
        link.SendCommand(request, &loop, got);
    if (!done) {
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return result;
}

// A motion authority for tests below the supervisor: its requests stand while refusal is empty.
struct TestAuthority : MotionAuthority {
    QString refusal;
    MotionRequest move(int pocket) const
    {
        return makeRequest(MotionRequest::Kind::Move, pocket, [this] { return refusal; });
    }
};
