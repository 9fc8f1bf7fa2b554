#pragma once

#include "commandset.h"
#include "indexerlink.h"
#include "simprocess.h"
#include "transact.h"

#include <QTest>

// Checks of the link against rv360-sim that hold on every transport.

// A move that times out on a stalled line (the far end takes nothing and no discard reaches
// what was written), then another: the second is never written, so once the line drains only
// the first reaches the indexer.
inline void checkNoLateMove(IndexerLink &link, SimProcess &sim)
{
    QVERIFY(sim.control(QStringLiteral("stall on")).startsWith(QLatin1String("ok")));
    QVERIFY(transact(link, Indexer::moveCommand(3)).timedOut);
    QCOMPARE(transact(link, Indexer::moveCommand(6)).port, 0u); // never written
    QVERIFY(sim.control(QStringLiteral("stall off")).startsWith(QLatin1String("ok")));
    // The line drains: the first move arrives, and nothing after it.
    QTRY_VERIFY(sim.control(QStringLiteral("state")).contains(QLatin1String("target=3")));
    QTest::qWait(300);
    QVERIFY(sim.control(QStringLiteral("state")).contains(QLatin1String("target=3")));
}
