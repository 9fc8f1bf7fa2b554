#pragma once

#include "indexerlink.h"

#include <QString>
#include <functional>

class PocketTable;

// One transaction with the indexer (IndexerLink::Transact, or a test's stand-in).
using TransferSend = std::function<IndexerLink::Reply(const QString &command)>;

// Reads the indexer's layout into the table: "F?" for the count, then "G<k>?" for each pocket in
// it; rows past the count become "Not Used" at 0. A timed-out answer carries no data: a timed-out
// count leaves the whole table alone, a timed-out pocket query leaves its row alone. A field that
// is not a number, or that the table refuses, leaves that one field alone.
void ReadConfiguration(PocketTable &table, const TransferSend &send);

// Sends the table's layout: "F<n>" for the rows before the first "Not Used" one, then
// "G<k> <type> <ddd>" for each of them. Nothing at all when the first row is "Not Used".
void SendConfiguration(const PocketTable &table, const TransferSend &send);
