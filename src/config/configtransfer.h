#pragma once

#include "indexerlink.h"
#include "pocketlayout.h"

#include <functional>
#include <optional>

class QObject;

// How a transfer went: the commands that went unanswered, and whether it ended early because
// the link's port changed under it (no step ever goes to another port than its first).
struct TransferOutcome {
    int unanswered = 0;
    bool portChanged = false;
    // The answer, without the shape its command expects, that ended a read (empty: none).
    QString badReply;
};

// Reads the indexer's layout: "F?" for the count, then "G<k>?" for each pocket in it, all through
// the link's queue. done gets `start` with what the indexer gave applied: rows past the count
// become "Not Used" at 0 and a timed-out pocket query leaves its row alone. A timed-out count, a
// port change, or an answer without the shape its command expects (outcome.badReply, which ends
// the read) carries no layout: done gets no value and the caller's table stays as it is. Nothing
// is called once context is gone. `lane` says who asks (the operator or a script).
void ReadConfiguration(
    IndexerLink &link, const QObject *context, const PocketLayout &start,
    std::function<void(std::optional<PocketLayout>, const TransferOutcome &)> done,
    IndexerLink::Lane lane = IndexerLink::Lane::Operator);

// What a read ended by an unexpected answer says: the answer, control characters written out.
QString ReadRefusal(const TransferOutcome &outcome);

// Sends a layout: "F<n>" for the rows before the first "Not Used" one, then
// "G<k> <type> <ddd>" for each of them; done runs after the last reply, or at once when the port
// has changed. Nothing is sent when the first row is "Not Used" (done runs at once).
void SendConfiguration(IndexerLink &link, const QObject *context, const PocketLayout &layout,
                       std::function<void(const TransferOutcome &)> done,
                       IndexerLink::Lane lane = IndexerLink::Lane::Operator);

// The steps of a read, as plain functions.
// The count in the answer to "F?": its third character, a digit 0..8; no value for a timeout or
// any other answer.
std::optional<int> LayoutCount(const IndexerLink::Reply &reply);
// Applies the answer to "G<row+1>?": from the third character on, a type and a position the
// layout takes, each a whole number, a blank between (further fields ignored). Any other answer
// is refused: false, the layout unchanged. A timeout applies nothing and is not refused.
bool ApplyPocketReply(PocketLayout &layout, int row, const IndexerLink::Reply &reply);
// Rows from `count` on become "Not Used" at 0.
void ClearRowsFrom(PocketLayout &layout, int count);
