#pragma once

#include "commandset.h"
#include "indexerlink.h"
#include "simprocess.h"
#include "transact.h"

#include <QTest>

// Checks of the link against rv360-sim that hold on every transport.

// The poll's pair of queries, queued at once as the window queues them, `times` times: each
// reply is read as its own (an indexer that ends its lines with CR LF included).
inline void checkPollReplies(IndexerLink &link, int pocket, int times)
{
    for (int poll = 0; poll < times; ++poll) {
        QStringList got;
        for (const QString &query : {Indexer::kQueryPocket, Indexer::kQueryMotion})
            link.SendCommand(query, &link, [&got](const IndexerLink::Reply &r) { got << r.text; });
        QTRY_COMPARE(got.size(), 2);
        QVERIFY2(Indexer::pocketOrSpeed(got[0]) == pocket && Indexer::motionState(got[1]),
                 qPrintable(VisibleControls(got.join(u'|'))));
    }
}

// A move that times out on a stalled line (the far end takes nothing and no discard reaches
// what was written), then another: the second is never written, so once the line drains only
// the first reaches the indexer.
inline void checkNoLateMove(IndexerLink &link, SimProcess &sim)
{
    QVERIFY(sim.control(QStringLiteral("stall on")).startsWith(QLatin1String("ok")));
    QVERIFY(transact(link, Indexer::moveCommand(3)).timedOut);
    QCOMPARE(transact(link, Indexer::moveCommand(6)).port, 0u); // never written
    QVERIFY(sim.control(QStringLiteral("stall off")).startsWith(QLatin1String("ok")));
    QTest::qWait(300); // the line drains
    QVERIFY(sim.control(QStringLiteral("state")).contains(QLatin1String("target=3")));
}
