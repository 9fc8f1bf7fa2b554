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
    TestAuthority authority;
    const MotionAuthority *before = link.motionAuthority();
    link.setMotionAuthority(&authority);
    QVERIFY(sim.control(QStringLiteral("stall on")).startsWith(QLatin1String("ok")));
    QVERIFY(transact(link, authority.move(3)).timedOut);
    QCOMPARE(transact(link, authority.move(5)).unsent, IndexerLink::Unsent::Unproven);
    QVERIFY(sim.control(QStringLiteral("stall off")).startsWith(QLatin1String("ok")));
    QTest::qWait(300); // the line drains
    QVERIFY(!sim.control(QStringLiteral("state")).contains(QLatin1String("target=5")));
    link.setMotionAuthority(before);
}
