// The reply parsers and the steps of a configuration read with replies taken from the input. The
// input is split after each CR into replies, in order; a reply starting "Timeout " is a timed-out
// transaction, and so is every transaction after the input runs out.
#include "commandset.h"
#include "configtransfer.h"
#include "fuzztable.h"

#include <QList>

namespace
{

QList<QByteArray> splitReplies(const QByteArray &input)
{
    QList<QByteArray> replies = input.split('\r');
    for (qsizetype i = 0; i + 1 < replies.size(); ++i)
        replies[i] += '\r';
    if (replies.last().isEmpty())
        replies.removeLast();
    return replies;
}

// A pocket or speed is the third character when it is a digit 1..8, and nothing else.
void checkValue(const QString &reply)
{
    const auto n = Indexer::pocketOrSpeed(reply);
    const QChar third = reply.size() >= 3 ? reply[2] : QChar();
    FUZZ_CHECK(n.has_value() == (third >= u'1' && third <= u'8'));
    FUZZ_CHECK(!n || *n == third.unicode() - u'0');
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::abortOnErrorMessage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> replies = splitReplies(Fuzz::bytes(data, size));
    for (const QByteArray &reply : replies) {
        checkValue(QString::fromLatin1(reply));
        checkValue(QString::fromUtf8(reply));
    }
    const auto answer = [&replies](int index) {
        IndexerLink::Reply reply{QStringLiteral("Timeout "), true};
        if (index < replies.size()) {
            reply.text = QString::fromLatin1(replies[index]);
            reply.timedOut = reply.text.startsWith(QStringLiteral("Timeout "));
        }
        return reply;
    };

    // A layout unlike a cleared one, so that clearing shows.
    PocketLayout before;
    for (int row = 0; row < PocketLayout::kRows; ++row)
        before.setType(row, Discrete), before.setPosition(row, 7 + 45 * row);

    // The read: the count, the rows past it cleared, then one answer per pocket in it.
    const IndexerLink::Reply countReply = answer(0);
    const std::optional<int> count = LayoutCount(countReply);
    FUZZ_CHECK(count.has_value() == !countReply.timedOut);
    if (!count)
        return 0;
    FUZZ_CHECK(*count == Indexer::digitValue(countReply.text));
    PocketLayout after = before;
    ClearRowsFrom(after, *count);
    for (int row = 0; row < qMin(*count, int(PocketLayout::kRows)); ++row)
        ApplyPocketReply(after, row, answer(row + 1));
    FUZZ_CHECK(Fuzz::valid(after));

    // Rows past the count are cleared (which fields the rows in it take, the window and script
    // tests check).
    for (int row = *count; row < PocketLayout::kRows; ++row)
        FUZZ_CHECK(after.type(row) == NotUsed && after.position(row) == 0);
    return 0;
}
