#include "commport.h"
#include "configtransfer.h"
#include "fakeserialport.h"
#include "settings.h"

#include <QHash>
#include <QTest>

namespace
{
// An indexer that answers commands from a table through a fake port; a command without an
// answer times out.
struct Indexer {
    FakeSerialPort port;
    IndexerLink link{port};
    QHash<QString, QString> replies;

    Indexer()
    {
        CommPort = 1;
        OpenCommPort(port, 1);
        port.responder = [this](const QByteArray &frame) {
            const QString command = QString::fromLatin1(frame.mid(1, frame.size() - 3));
            return replies.value(command).toLatin1();
        };
    }
    QStringList sent() const { return port.commands(); }

    std::optional<PocketLayout> read(const PocketLayout &start)
    {
        bool done = false;
        std::optional<PocketLayout> result;
        ReadConfiguration(link, &link, start, [&](std::optional<PocketLayout> layout) {
            result = layout;
            done = true;
        });
        return QTest::qWaitFor([&] { return done; }, 5000) ? result : std::nullopt;
    }
    bool send(const PocketLayout &layout)
    {
        bool done = false;
        SendConfiguration(link, &link, layout, [&] { done = true; });
        return QTest::qWaitFor([&] { return done; }, 5000);
    }
};

PocketLayout layoutOf(const QList<int> &types, const QList<int> &positions)
{
    PocketLayout layout;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        layout.setType(row, types.value(row, NotUsed));
        layout.setPosition(row, positions.value(row, 0));
    }
    return layout;
}
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
        Indexer indexer;
        for (const QString &command : commands)
            indexer.replies[command] = QStringLiteral("ok\r");
        QVERIFY(indexer.send(layoutOf(types, positions)));
        QCOMPARE(indexer.sent(), commands);
    }

    void sendGoesOnAfterATimeout()
    {
        Indexer indexer; // nothing answers
        QVERIFY(indexer.send(layoutOf({Discrete, Discrete}, {1, 2})));
        QCOMPARE(indexer.sent(), (QStringList{"F2", "G1 0 001", "G2 0 002"}));
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
        PocketLayout start;
        for (int row = 0; row < 8; ++row) {
            start.setType(row, Discrete);
            start.setPosition(row, 10 + row);
        }
        Indexer indexer;
        indexer.replies["F?"] = countReply;
        for (int k = 1; k <= 8; ++k)
            indexer.replies[QStringLiteral("G%1?").arg(k)] =
                QStringLiteral("G:2 %1\r").arg(100 + k);
        const std::optional<PocketLayout> layout = indexer.read(start);
        QVERIFY(layout);
        QCOMPARE(indexer.sent(), queries);
        const int n = int(queries.size()) - 1;
        for (int row = 0; row < 8; ++row) {
            QCOMPARE(layout->type(row), row < n ? int(EndBanana) : int(NotUsed));
            QCOMPARE(layout->position(row), row < n ? 101 + row : 0);
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
        QTest::newRow("two characters") << "G\r" << 2 << 200;
        QTest::newRow("no CR: a timeout") << "G:1 120" << 2 << 200;
        QTest::newRow("timeout") << "" << 2 << 200;
    }
    void readPocketReplies()
    {
        QFETCH(QString, reply);
        QFETCH(int, type);
        QFETCH(int, position);
        Indexer indexer;
        indexer.replies["F?"] = "F:1\r";
        // A reply without CR ends by the timeout, with what arrived.
        if (!reply.isEmpty())
            indexer.replies["G1?"] = reply;
        const std::optional<PocketLayout> layout = indexer.read(layoutOf({EndBanana}, {200}));
        QVERIFY(layout);
        QCOMPARE(layout->type(0), type);
        QCOMPARE(layout->position(0), position);
    }

    void timedOutCountLeavesTheTable()
    {
        Indexer indexer;
        bool done = false;
        std::optional<PocketLayout> result = PocketLayout();
        ReadConfiguration(indexer.link, &indexer.link, PocketLayout(),
                          [&](std::optional<PocketLayout> layout) {
                              result = layout;
                              done = true;
                          });
        QTRY_VERIFY(done);
        QCOMPARE(indexer.sent(), QStringList{"F?"});
        QVERIFY(!result);
    }
};

QTEST_MAIN(TestConfigTransfer)
#include "tst_configtransfer.moc"
