#include "configtransfer.h"

#include "commandset.h"
#include "conversions.h"
#include "modUtil.h"

#include <memory>

std::optional<int> LayoutCount(const IndexerLink::Reply &reply)
{
    // No answer is not an empty layout, and neither is an answer that holds no count.
    const std::optional<QChar> c = Indexer::thirdChar(reply.text);
    if (reply.timedOut || !c || *c < u'0' || *c > u'8')
        return std::nullopt;
    return c->unicode() - u'0';
}

bool ApplyPocketReply(PocketLayout &layout, int row, const IndexerLink::Reply &reply)
{
    if (reply.timedOut)
        return true;
    const QString data = Indexer::dataPart(reply.text);
    const QString space = QStringLiteral(" ");
    const auto type = TextToInteger(GetDelimitedWord(data, 1, space));
    const auto position = TextToInteger(GetDelimitedWord(data, 2, space));
    // Applied to a copy: a reply that is half right changes nothing.
    PocketLayout taken = layout;
    if (!type || !position || !taken.setType(row, *type) || !taken.setPosition(row, *position))
        return false;
    layout = taken;
    return true;
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

using ReadDone = std::function<void(std::optional<PocketLayout>, const TransferOutcome &)>;
using SendDone = std::function<void(const TransferOutcome &)>;

// One transfer's steps, each queued by the result of the one before (so that the link's queue
// stays short whatever else waits), all bound to the port of its first.
struct Transfer {
    IndexerLink &link;
    const QObject *context;
    IndexerLink::Lane lane;
    quint32 port = 0;
    TransferOutcome outcome;

    // Sends one step; next gets its reply unless the port changed, which ends the transfer
    // with `ended`.
    template <typename Next, typename Ended>
    void step(const QString &command, Next next, Ended ended, std::shared_ptr<Transfer> self)
    {
        link.SendCommand(
            command, context,
            [self, next = std::move(next), ended = std::move(ended)](const IndexerLink::Reply &r) {
                if (r.unsent == IndexerLink::Unsent::PortChanged) {
                    self->outcome.portChanged = true;
                    return ended();
                }
                self->port = r.port;
                self->outcome.unanswered += r.timedOut;
                next(r);
            },
            lane, port);
    }
};

void queryPockets(std::shared_ptr<Transfer> transfer, std::shared_ptr<PocketLayout> layout, int row,
                  int queries, ReadDone done)
{
    transfer->step(
        Indexer::pocketQuery(row + 1),
        [transfer, layout, row, queries, done](const IndexerLink::Reply &reply) {
            if (!ApplyPocketReply(*layout, row, reply)) {
                transfer->outcome.badReply = reply.text;
                return done(std::nullopt, transfer->outcome);
            }
            if (row + 1 < queries)
                queryPockets(transfer, layout, row + 1, queries, done);
            else
                done(*layout, transfer->outcome);
        },
        [transfer, done] { done(std::nullopt, transfer->outcome); }, transfer);
}

void sendPockets(std::shared_ptr<Transfer> transfer, const PocketLayout &layout, int row,
                 SendDone done)
{
    transfer->step(
        Indexer::pocketCommand(row + 1, layout.type(row), layout.position(row)),
        [transfer, layout, row, done](const IndexerLink::Reply &) {
            if (row + 1 < layout.usedCount())
                sendPockets(transfer, layout, row + 1, done);
            else
                done(transfer->outcome);
        },
        [transfer, done] { done(transfer->outcome); }, transfer);
}

} // namespace

QString ReadRefusal(const TransferOutcome &outcome)
{
    return QStringLiteral("unexpected reply \"%1\": the layout was not read")
        .arg(VisibleControls(outcome.badReply));
}

void ReadConfiguration(IndexerLink &link, const QObject *context, const PocketLayout &start,
                       ReadDone done, IndexerLink::Lane lane)
{
    auto transfer = std::make_shared<Transfer>(Transfer{link, context, lane, 0, {}});
    transfer->step(
        Indexer::kQueryCount,
        [transfer, start, done](const IndexerLink::Reply &countReply) {
            const std::optional<int> count = LayoutCount(countReply);
            if (!count) {
                if (!countReply.timedOut)
                    transfer->outcome.badReply = countReply.text;
                done(std::nullopt, transfer->outcome);
                return;
            }
            auto layout = std::make_shared<PocketLayout>(start);
            ClearRowsFrom(*layout, *count);
            const int queries = *count;
            if (queries == 0) {
                done(*layout, transfer->outcome);
                return;
            }
            queryPockets(transfer, layout, 0, queries, done);
        },
        [transfer, done] { done(std::nullopt, transfer->outcome); }, transfer);
}

void SendConfiguration(IndexerLink &link, const QObject *context, const PocketLayout &layout,
                       SendDone done, IndexerLink::Lane lane)
{
    const int n = layout.usedCount();
    if (n == 0) {
        done({});
        return;
    }
    auto transfer = std::make_shared<Transfer>(Transfer{link, context, lane, 0, {}});
    transfer->step(
        Indexer::countCommand(n),
        [transfer, layout, done](const IndexerLink::Reply &) {
            sendPockets(transfer, layout, 0, done);
        },
        [transfer, done] { done(transfer->outcome); }, transfer);
}
