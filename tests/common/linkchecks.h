#pragma once

#include "commandset.h"
#include "indexerlink.h"
#include "simprocess.h"
#include "transact.h"

#include <QTest>

// Checks of the link against rv360-sim that hold on every transport.

// A move that times out on a stalled line (the far end takes nothing), then another: the second
// is never written, so once the line drains the indexer's target is the first move's (or the
// one it had, where the timeout's discard reached the first), never the second's.
inline void checkNoLateMove(IndexerLink &link, SimProcess &sim)
{
    QVERIFY(sim.control(QStringLiteral("stall on")).startsWith(QLatin1String("ok")));
    QVERIFY(transact(link, Indexer::moveCommand(3)).timedOut);
    QCOMPARE(transact(link, Indexer::moveCommand(5)).port, 0u); // never written
    QVERIFY(sim.control(QStringLiteral("stall off")).startsWith(QLatin1String("ok")));
    QTest::qWait(300); // the line drains
    QVERIFY(!sim.control(QStringLiteral("state")).contains(QLatin1String("target=5")));
}
