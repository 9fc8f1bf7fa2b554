#include "configtransfer.h"
#include "tablefixture.h"

#include <QHash>
#include <QTest>

namespace
{
// Answers commands from a table; a command without an answer times out.
struct Indexer {
    QHash<QString, QString> replies;
    QStringList sent;
    TransferSend send()
    {
        return [this](const QString &command) {
            sent << command;
            if (!replies.contains(command))
                return IndexerLink::Reply{QStringLiteral("Timeout "), true};
            return IndexerLink::Reply{replies.value(command), false};
        };
    }
};
} // namespace

class TestConfigTransfer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void send_data()
    {
        QTest::addColumn<QList<int>>("types");
        QTest::addColumn<QList<int>>("positions");
        QTest::addColumn<QStringList>("commands");
        const QList<int> zero(8, 0);
        QTest::newRow("three pockets")
            << QList<int>{0, 2, 1, 3, 3, 3, 3, 3} << QList<int>{0, 5, 359, 0, 0, 0, 0, 0}
            << QStringList{"F3", "G1 0 000", "G2 2 005", "G3 1 359"};
        QTest::newRow("first row unused")
            << QList<int>{3, 0, 0, 0, 0, 0, 0, 0} << zero << QStringList{};
        QTest::newRow("gap stops at the first unused row")
            << QList<int>{1, 3, 2, 3, 3, 3, 3, 3} << QList<int>{45, 0, 90, 0, 0, 0, 0, 0}
            << QStringList{"F1", "G1 1 045"};
        QTest::newRow("full table")
            << QList<int>{0, 0, 0, 0, 0, 0, 0, 2} << QList<int>{0, 10, 20, 30, 40, 50, 60, 70}
            << QStringList{"F8",       "G1 0 000", "G2 0 010", "G3 0 020", "G4 0 030",
                           "G5 0 040", "G6 0 050", "G7 0 060", "G8 2 070"};
    }
    void send()
    {
        QFETCH(QList<int>, types);
        QFETCH(QList<int>, positions);
        QFETCH(QStringList, commands);
        TableFixture f;
        for (int row = 0; row < 8; ++row)
            f.set(row, types[row], positions[row]);
        Indexer indexer;
        SendConfiguration(f.table, indexer.send());
        QCOMPARE(indexer.sent, commands);
    }

    void sendGoesOnAfterATimeout()
    {
        TableFixture f;
        f.set(0, Discrete, 1);
        f.set(1, Discrete, 2);
        Indexer indexer; // nothing answers
        SendConfiguration(f.table, indexer.send());
        QCOMPARE(indexer.sent, (QStringList{"F2", "G1 0 001", "G2 0 002"}));
    }

    void readCounts_data()
    {
        QTest::addColumn<QString>("countReply");
        QTest::addColumn<QStringList>("queries");
        QTest::newRow("0") << "F:0\r" << QStringList{"F?"};
        QTest::newRow("letter") << "F:x\r" << QStringList{"F?"};
        QTest::newRow("short") << "F\r" << QStringList{"F?"};
        QTest::newRow("9") << "F:9\r" << QStringList{"F?",  "G1?", "G2?", "G3?", "G4?",
                                                     "G5?", "G6?", "G7?", "G8?"};
        QTest::newRow("2") << "F:2\r" << QStringList{"F?", "G1?", "G2?"};
    }
    void readCounts()
    {
        QFETCH(QString, countReply);
        QFETCH(QStringList, queries);
        TableFixture f;
        for (int row = 0; row < 8; ++row)
            f.set(row, Discrete, 10 + row);
        Indexer indexer;
        indexer.replies["F?"] = countReply;
        for (int k = 1; k <= 8; ++k)
            indexer.replies[QStringLiteral("G%1?").arg(k)] =
                QStringLiteral("G:2 %1\r").arg(100 + k);
        ReadConfiguration(f.table, indexer.send());
        QCOMPARE(indexer.sent, queries);
        const int n = int(queries.size()) - 1;
        for (int row = 0; row < 8; ++row) {
            QCOMPARE(f.table.type(row), row < n ? int(EndBanana) : int(NotUsed));
            QCOMPARE(f.table.position(row), row < n ? 101 + row : 0);
        }
    }

    void readPocketReplies_data()
    {
        QTest::addColumn<QString>("reply"); // empty: the query times out
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("position");
        // The row holds End Banana at 200 before the read.
        QTest::newRow("type and position") << "G:1 120\r" << 1 << 120;
        QTest::newRow("third field ignored") << "G:1 120 7\r" << 1 << 120;
        QTest::newRow("leading zeros") << "G:0 045\r" << 0 << 45;
        QTest::newRow("two blanks: no position") << "G:1  120\r" << 1 << 200;
        QTest::newRow("single number sets the type") << "G:3\r" << 3 << 200;
        QTest::newRow("type refused, position taken") << "G:4 10\r" << 2 << 10;
        QTest::newRow("position refused, type taken") << "G:0 360\r" << 0 << 200;
        QTest::newRow("negative") << "G:-1 -5\r" << 2 << 200;
        QTest::newRow("garbage") << QString::fromLatin1("G:\xff\x01 ,,\r") << 2 << 200;
        QTest::newRow("two characters") << "G:" << 2 << 200;
        QTest::newRow("one character") << "1" << 1 << 200;
        QTest::newRow("timeout") << "" << 2 << 200;
    }
    void readPocketReplies()
    {
        QFETCH(QString, reply);
        QFETCH(int, type);
        QFETCH(int, position);
        TableFixture f;
        f.set(0, EndBanana, 200);
        Indexer indexer;
        indexer.replies["F?"] = "F:1\r";
        if (!reply.isEmpty())
            indexer.replies["G1?"] = reply;
        ReadConfiguration(f.table, indexer.send());
        QCOMPARE(f.table.type(0), type);
        QCOMPARE(f.table.position(0), position);
    }

    void timedOutCountLeavesTheTable()
    {
        TableFixture f;
        f.set(0, Discrete, 10);
        f.set(5, StartBanana, 300);
        const auto before = f.rows();
        Indexer indexer;
        ReadConfiguration(f.table, indexer.send());
        QCOMPARE(indexer.sent, QStringList{"F?"});
        QCOMPARE(f.rows(), before);
    }
};

QTEST_MAIN(TestConfigTransfer)
#include "tst_configtransfer.moc"
