// The reply parsers and ReadConfiguration with replies taken from the input. The input is split
// after each CR into replies, in order; a reply starting "Timeout " is a timed-out transaction,
// and so is every transaction after the input runs out.
#include "commandset.h"
#include "configtransfer.h"
#include "conversions.h"
#include "fuzztable.h"

#include <QList>
#include <QStringList>

namespace
{

// Never destroyed, like the application (see startApplication).
Fuzz::Table *g_table = nullptr;

QList<QByteArray> splitReplies(const QByteArray &input)
{
    QList<QByteArray> replies;
    qsizetype start = 0;
    while (start < input.size()) {
        const qsizetype cr = input.indexOf('\r', start);
        const qsizetype end = cr < 0 ? input.size() : cr + 1;
        replies << input.mid(start, end - start);
        start = end;
    }
    return replies;
}

void checkParsers(const QString &reply)
{
    const auto third = Indexer::thirdChar(reply);
    const auto fourth = Indexer::fourthChar(reply);
    FUZZ_CHECK(third.has_value() == (reply.size() >= 3));
    FUZZ_CHECK(fourth.has_value() == (reply.size() >= 4));
    if (third)
        FUZZ_CHECK(*third == reply[2]);
    if (fourth)
        FUZZ_CHECK(*fourth == reply[3]);
    FUZZ_CHECK(Indexer::dataPart(reply) == reply.mid(2));
    const int digit = Indexer::digitValue(reply);
    const bool isDigit = third && third->unicode() >= u'0' && third->unicode() <= u'9';
    FUZZ_CHECK(digit == (isDigit ? third->unicode() - u'0' : 0));
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
    Fuzz::startApplication();
    g_table = new Fuzz::Table;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> replies = splitReplies(Fuzz::bytes(data, size));
    for (const QByteArray &reply : replies) {
        checkParsers(QString::fromLatin1(reply));
        checkParsers(QString::fromUtf8(reply));
    }

    // A table that differs from every reset value, so that each left-alone row shows.
    PocketTable &table = g_table->table;
    Fuzz::Rows before{};
    for (int row = 0; row < PocketTable::kRows; ++row) {
        before.type[row] = row % 3;
        before.position[row] = 7 + 45 * row;
    }
    before.applyTo(table);

    QStringList commands;
    QList<IndexerLink::Reply> answers;
    const TransferSend send = [&](const QString &command) {
        IndexerLink::Reply reply;
        const qsizetype index = commands.size();
        commands << command;
        if (index < replies.size()) {
            reply.text = QString::fromLatin1(replies[index]);
            reply.timedOut = reply.text.startsWith(QStringLiteral("Timeout "));
        } else {
            reply.text = QStringLiteral("Timeout ");
            reply.timedOut = true;
        }
        answers << reply;
        return reply;
    };
    ReadConfiguration(table, send);
    FUZZ_CHECK(g_table->valid());

    // "F?", then "G<k>?" for each pocket of the count, unless the count timed out.
    FUZZ_CHECK(!commands.isEmpty() && commands[0] == Indexer::kQueryCount);
    const Fuzz::Rows after = Fuzz::Rows::of(table);
    if (answers[0].timedOut) {
        FUZZ_CHECK(commands.size() == 1);
        FUZZ_CHECK(after == before);
        return 0;
    }
    const int count = Indexer::digitValue(answers[0].text);
    FUZZ_CHECK(commands.size() == 1 + qMin(count, int(PocketTable::kRows)));
    for (int row = 0; row < PocketTable::kRows; ++row) {
        if (row >= count) {
            FUZZ_CHECK(after.type[row] == NotUsed && after.position[row] == 0);
            continue;
        }
        FUZZ_CHECK(commands[row + 1] == Indexer::pocketQuery(row + 1));
        const IndexerLink::Reply &reply = answers[row + 1];
        const int type = reply.timedOut ? -1 : expectedField(reply.text, 1, PocketTable::kTypes);
        const int position =
            reply.timedOut ? -1 : expectedField(reply.text, 2, PocketTable::kPositions);
        FUZZ_CHECK(after.type[row] == (type < 0 ? before.type[row] : type));
        FUZZ_CHECK(after.position[row] == (position < 0 ? before.position[row] : position));
    }
    return 0;
}
