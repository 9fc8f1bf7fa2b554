// The reply parsers and the steps of a configuration read with replies taken from the input. The
// input is split after each CR into replies, in order; a reply starting "Timeout " is a timed-out
// transaction, and so is every transaction after the input runs out.
#include "commandset.h"
#include "configtransfer.h"
#include "conversions.h"
#include "fuzztable.h"

#include <QList>
#include <QStringList>

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

// The field the table should take from word `word` of a pocket reply, or -1 for none.
int expectedField(const QString &text, int word, int limit)
{
    const QString data = text.size() < 2 ? text : text.mid(2);
    const auto value = TextToInteger(data.split(u' ').value(word - 1));
    return value && *value >= 0 && *value < limit ? *value : -1;
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

    // A layout that differs from every reset value, so that each left-alone row shows.
    int beforeType[PocketLayout::kRows], beforePosition[PocketLayout::kRows];
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        beforeType[row] = row % 3;
        beforePosition[row] = 7 + 45 * row;
    }
    const PocketLayout before = Fuzz::layoutOf(beforeType, beforePosition);

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

    for (int row = 0; row < PocketLayout::kRows; ++row) {
        if (row >= *count) {
            FUZZ_CHECK(after.type(row) == NotUsed && after.position(row) == 0);
            continue;
        }
        const IndexerLink::Reply reply = answer(row + 1);
        const int type = reply.timedOut ? -1 : expectedField(reply.text, 1, PocketLayout::kTypes);
        const int position =
            reply.timedOut ? -1 : expectedField(reply.text, 2, PocketLayout::kPositions);
        FUZZ_CHECK(after.type(row) == (type < 0 ? before.type(row) : type));
        FUZZ_CHECK(after.position(row) == (position < 0 ? before.position(row) : position));
    }
    return 0;
}
