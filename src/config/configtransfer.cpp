#include "configtransfer.h"

#include "commandset.h"
#include "conversions.h"
#include "modUtil.h"

#include <memory>

std::optional<int> LayoutCount(const IndexerLink::Reply &reply)
{
    // No answer is not an empty layout.
    if (reply.timedOut)
        return std::nullopt;
    return Indexer::digitValue(reply.text);
}

void ApplyPocketReply(PocketLayout &layout, int row, const IndexerLink::Reply &reply)
{
    if (reply.timedOut)
        return;
    const QString data = reply.text.size() < 2 ? reply.text : Indexer::dataPart(reply.text);
    const QString space = QStringLiteral(" ");
    if (const auto type = TextToInteger(GetDelimitedWord(data, 1, space)))
        layout.setType(row, *type);
    if (const auto position = TextToInteger(GetDelimitedWord(data, 2, space)))
        layout.setPosition(row, *position);
}

void ClearRowsFrom(PocketLayout &layout, int count)
{
    for (int row = qMax(count, 0); row < PocketLayout::kRows; ++row) {
        layout.setType(row, NotUsed);
        layout.setPosition(row, 0);
    }
}

namespace
{

// One request at a time, each queued by the result of the one before, so that the link's queue
// stays short whatever else waits.
void queryPockets(IndexerLink &link, const QObject *context, std::shared_ptr<PocketLayout> layout,
                  int row, int queries, std::function<void(std::optional<PocketLayout>)> done)
{
    link.SendCommand(Indexer::pocketQuery(row + 1), context,
                     [&link, context, layout, row, queries, done](const IndexerLink::Reply &reply) {
                         ApplyPocketReply(*layout, row, reply);
                         if (row + 1 < queries)
                             queryPockets(link, context, layout, row + 1, queries, done);
                         else
                             done(*layout);
                     });
}

void sendPockets(IndexerLink &link, const QObject *context, const PocketLayout &layout, int row,
                 std::function<void()> done)
{
    link.SendCommand(Indexer::pocketCommand(row + 1, layout.type(row), layout.position(row)),
                     context, [&link, context, layout, row, done](const IndexerLink::Reply &) {
                         if (row + 1 < layout.usedCount())
                             sendPockets(link, context, layout, row + 1, done);
                         else
                             done();
                     });
}

} // namespace

void ReadConfiguration(IndexerLink &link, const QObject *context, const PocketLayout &start,
                       std::function<void(std::optional<PocketLayout>)> done)
{
    link.SendCommand(
        Indexer::kQueryCount, context,
        [&link, context, start, done = std::move(done)](const IndexerLink::Reply &countReply) {
            const std::optional<int> count = LayoutCount(countReply);
            if (!count) {
                done(std::nullopt);
                return;
            }
            auto layout = std::make_shared<PocketLayout>(start);
            ClearRowsFrom(*layout, *count);
            const int queries = qMin(*count, int(PocketLayout::kRows));
            if (queries == 0) {
                done(*layout);
                return;
            }
            queryPockets(link, context, layout, 0, queries, done);
        });
}

void SendConfiguration(IndexerLink &link, const QObject *context, const PocketLayout &layout,
                       std::function<void()> done)
{
    const int n = layout.usedCount();
    if (n == 0) {
        done();
        return;
    }
    link.SendCommand(Indexer::countCommand(n), context,
                     [&link, context, layout, done](const IndexerLink::Reply &) {
                         sendPockets(link, context, layout, 0, done);
                     });
}
