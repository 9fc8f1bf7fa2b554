#include "configtransfer.h"

#include "commandset.h"
#include "conversions.h"
#include "modUtil.h"
#include "pockettable.h"

void ReadConfiguration(PocketTable &table, const TransferSend &send)
{
    const IndexerLink::Reply count = send(Indexer::kQueryCount);
    // No answer is not an empty layout: the operator's table stays as it is.
    if (count.timedOut)
        return;
    const int n = Indexer::digitValue(count.text);
    for (int row = 0; row < PocketTable::kRows; ++row) {
        if (row >= n) {
            table.setType(row, NotUsed);
            table.setPosition(row, 0);
            continue;
        }
        const IndexerLink::Reply reply = send(Indexer::pocketQuery(row + 1));
        if (reply.timedOut)
            continue;
        const QString data = reply.text.size() < 2 ? reply.text : Indexer::dataPart(reply.text);
        const QString space = QStringLiteral(" ");
        if (const auto type = TextToInteger(GetDelimitedWord(data, 1, space)))
            table.setType(row, *type);
        if (const auto position = TextToInteger(GetDelimitedWord(data, 2, space)))
            table.setPosition(row, *position);
    }
}

void SendConfiguration(const PocketTable &table, const TransferSend &send)
{
    int n = 0;
    while (n < PocketTable::kRows && table.type(n) != NotUsed)
        ++n;
    if (n == 0)
        return;
    send(Indexer::countCommand(n));
    for (int row = 0; row < n; ++row)
        send(Indexer::pocketCommand(row + 1, table.type(row), table.position(row)));
}
