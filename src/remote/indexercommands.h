#pragma once

#include "pocketlayout.h"

#include <QJsonObject>
#include <functional>
#include <optional>

class MotionSupervisor;
class QObject;

// The operations a script may ask of the indexer. A request is a JSON object with "cmd" and its
// arguments; its result is one JSON object: {"ok": true, ...} or
// {"ok": false, "error": text, "code": "timeout" | "bad_reply" | "bad_request" | "refused" |
// "inhibited"}. Every exchange with the indexer goes through the link's queue, every move and
// speed change through the motion supervisor, on behalf of source; nothing here waits.
namespace IndexerCommands
{

using Done = std::function<void(const QJsonObject &result)>;

// Runs the request; done is called once, unless context is destroyed first. Requests that talk
// to the indexer are refused while the supervisor refuses source the line.
void Run(MotionSupervisor &motion, const QString &source, const QObject *context,
         const QJsonObject &request, Done done);

// The most lines "history" gives.
constexpr int kMaxHistory = 100000;

// An error result.
QJsonObject Error(const QString &code, const QString &text);

// The layout in a configuration file's text, strictly: eight lines, each with a whole type 0 to 3
// and a whole position 1 to 360 in its second and third fields. The reason in *why when it is not.
bool ParseLayoutText(const QByteArray &text, PocketLayout &layout, QString *why);

} // namespace IndexerCommands
