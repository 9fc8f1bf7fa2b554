#pragma once

#include <QString>

// A line on standard error for what happens per client or per event (a peer refused, a record
// that fails): at most one a second of each kind, so that a client in a loop cannot flood the
// log. The lines left out are counted, and the count is said a second after the last line that
// went out ("rv360: instrument port: 41 more like that left out"). kind is one of a few fixed
// texts (never a peer's address); prefix begins the count's line.
void LogLimited(const QString &kind, const QString &prefix, const QString &line);
// The second, shorter in tests.
void SetLogLimitGap(qint64 ms);
