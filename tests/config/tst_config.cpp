// The pocket layout: the configuration file format, and its transfer to and from the indexer
// through a link on the fake port.
#include "commport.h"
#include "configfile.h"
#include "configtransfer.h"
#include "fakeserialport.h"
#include "settings.h"

#include <QHash>
#include <QTemporaryDir>
#include <QTest>

namespace
{
// A layout as text, "type:position" per row: "3:0 3:0 ...".
QString rows(const PocketLayout &layout)
{
    QStringList out;
    for (int row = 0; row < PocketLayout::kRows; ++row)
        out << QStringLiteral("%1:%2").arg(layout.type(row)).arg(layout.position(row));
    return out.join(u' ');
}
PocketLayout layoutOf(const QString &text)
{
    PocketLayout layout;
    const QStringList cells = text.split(u' ');
    for (int row = 0; row < PocketLayout::kRows && row < cells.size(); ++row) {
        layout.setType(row, cells[row].section(u':', 0, 0).toInt());
        layout.setPosition(row, cells[row].section(u':', 1, 1).toInt());
    }
    return layout;
}
const QString kAll200 = QStringLiteral("2:200 2:200 2:200 2:200 2:200 2:200 2:200 2:200");

// An indexer that answers commands from a table through a fake port; a command without an
// answer times out.
struct Indexer {
    FakeSerialPort port;
    IndexerLink link{port};
    QHash<QString, QByteArray> replies;

    Indexer()
    {
        CommPort = 1;
        OpenCommPort(port, 1);
        port.responder = [this](const QByteArray &frame) {
            return replies.value(QString::fromLatin1(frame.mid(1, frame.size() - 3)));
        };
    }
    // The layout read over `start` ("none" for no layout), once the read has ended.
    QString read(const QString &start)
    {
        QString result;
        ReadConfiguration(link, &link, layoutOf(start), [&](std::optional<PocketLayout> layout) {
            result = layout ? rows(*layout) : QStringLiteral("none");
        });
        return QTest::qWaitFor([&] { return !result.isEmpty(); }, 5000) ? result
                                                                        : QStringLiteral("wait");
    }
};
} // namespace

class TestConfig : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Line k to row k-1, fields 2 and 3 only; every value not taken leaves its field alone.
    void fileLines_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("layout");
        const auto row = [](const char *name, const QByteArray &contents, const char *layout) {
            QTest::newRow(name) << contents << QString(layout);
        };
        row("line 5 goes to row 4", "\r\n\r\n\r\n\r\n1, 3, 1\r\n",
            "2:200 2:200 2:200 2:200 3:0 2:200 2:200 2:200");
        row("LF and CR line ends", "1, 0, 11\n2, 1, 12\r3, 0, 360\r\n",
            "0:10 1:11 0:359 2:200 2:200 2:200 2:200 2:200");
        row("more fields", "1, 1, 91, 7, 8\r\n", "1:90 2:200 2:200 2:200 2:200 2:200 2:200 2:200");
        row("out of range and negative", "1, 4, 361\r\n2, -1, 0\r\n3, 1, -5\r\n",
            "2:200 2:200 1:200 2:200 2:200 2:200 2:200 2:200");
        row("missing commas", "1 2 3\r\n2, 1\r\n",
            "2:200 1:200 2:200 2:200 2:200 2:200 2:200 2:200");
        row("past the eighth line", QByteArray("1, 0, 1\r\n").repeated(8) + "9, 1, 5\r\n",
            "0:0 0:0 0:0 0:0 0:0 0:0 0:0 0:0");
        row("binary garbage", QByteArray("\0\xff\x01,\x80,\xfe\r\n\0\0\0", 12),
            qPrintable(kAll200));
        row("very long line", QByteArray(300000, '7') + "\r\n2, 1, 2\r\n",
            "2:200 1:1 2:200 2:200 2:200 2:200 2:200 2:200");
        row("empty", QByteArray(), qPrintable(kAll200));
    }
    void fileLines()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, layout);
        PocketLayout read = layoutOf(kAll200);
        ApplyConfigFileLines(read, contents);
        QCOMPARE(rows(read), layout);
    }

    void fileWrittenAndReadBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("layout.cfg"));
        QString why;
        QVERIFY(WriteConfigFile(path, PocketLayout(), &why));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("1, 3, 1\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n"
                                            "5, 3, 1\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n"));
        const PocketLayout saved = layoutOf("0:0 1:359 2:90 0:45 3:12 1:1 2:358 0:180");
        QVERIFY(WriteConfigFile(path, saved, &why));
        PocketLayout opened;
        QVERIFY(ReadConfigFile(path, opened));
        QCOMPARE(rows(opened), rows(saved));
        // A file that cannot be read changes nothing; one that cannot be written says why.
        QVERIFY(!ReadConfigFile(dir.filePath(QStringLiteral("none.cfg")), opened));
        QCOMPARE(rows(opened), rows(saved));
        QVERIFY(!WriteConfigFile(path + QStringLiteral("/sub.cfg"), saved, &why));
        QVERIFY(!why.isEmpty());
    }

    void valuesOutOfRangeAreRefused()
    {
        PocketLayout layout = layoutOf("2:120");
        QVERIFY(!layout.setType(0, 4) && !layout.setType(0, -1) && !layout.setType(8, 0));
        QVERIFY(!layout.setPosition(0, 360) && !layout.setPosition(0, -1));
        QVERIFY(layout.setType(0, 3) && layout.setPosition(0, 359));
        QCOMPARE(rows(layout).left(5), QStringLiteral("3:359"));
        QCOMPARE(layout.type(8), -1);
    }

    // "F<n>" for the rows before the first "Not Used" one, then one "G" command per row; the
    // sending goes on after a timeout.
    void send_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QStringList>("commands");
        QTest::newRow("three pockets")
            << "0:0 2:5 1:359" << true << QStringList{"F3", "G1 0 000", "G2 2 005", "G3 1 359"};
        QTest::newRow("first row unused") << "3:0 0:0" << true << QStringList{};
        QTest::newRow("gap stops at the first unused row")
            << "1:45 3:0 2:90" << true << QStringList{"F1", "G1 1 045"};
        QTest::newRow("full, unanswered")
            << "0:0 0:10 0:20 0:30 0:40 0:50 0:60 2:70" << false
            << QStringList{"F8",       "G1 0 000", "G2 0 010", "G3 0 020", "G4 0 030",
                           "G5 0 040", "G6 0 050", "G7 0 060", "G8 2 070"};
    }
    void send()
    {
        QFETCH(QString, layout);
        QFETCH(bool, answered);
        QFETCH(QStringList, commands);
        Indexer indexer;
        for (const QString &command : commands)
            indexer.replies[command] = answered ? "ok\r" : "";
        bool done = false;
        SendConfiguration(indexer.link, &indexer.link, layoutOf(layout), [&] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        QCOMPARE(indexer.port.commands(), commands);
    }

    // "F?" for the count, then "G<k>?" for each pocket in it; rows past it become "Not Used".
    void readCounts_data()
    {
        QTest::addColumn<QByteArray>("count");
        QTest::addColumn<int>("queries");
        QTest::newRow("0") << QByteArray("F:0\r") << 0;
        QTest::newRow("letter") << QByteArray("F:x\r") << 0;
        QTest::newRow("short") << QByteArray("F\r") << 0;
        QTest::newRow("1") << QByteArray("F:1\r") << 1;
        QTest::newRow("8") << QByteArray("F:8\r") << 8;
        QTest::newRow("9") << QByteArray("F:9\r") << 8;
    }
    void readCounts()
    {
        QFETCH(QByteArray, count);
        QFETCH(int, queries);
        Indexer indexer;
        indexer.replies["F?"] = count;
        QStringList sent{"F?"}, expected;
        for (int k = 1; k <= 8; ++k) {
            indexer.replies[QStringLiteral("G%1?").arg(k)] =
                "G:2 " + QByteArray::number(100 + k) + "\r";
            if (k <= queries)
                sent << QStringLiteral("G%1?").arg(k);
            expected << (k <= queries ? QStringLiteral("2:%1").arg(100 + k)
                                      : QStringLiteral("3:0"));
        }
        QCOMPARE(indexer.read(kAll200), expected.join(u' '));
        QCOMPARE(indexer.port.commands(), sent);
    }

    // What one pocket's answer leaves in a row that held End Banana at 200 before the read.
    void readPocketReplies_data()
    {
        QTest::addColumn<QByteArray>("reply"); // without CR: the query times out
        QTest::addColumn<QString>("row");
        QTest::newRow("type and position") << QByteArray("G:1 120\r") << "1:120";
        QTest::newRow("third field ignored") << QByteArray("G:1 120 7\r") << "1:120";
        QTest::newRow("leading zeros") << QByteArray("G:0 045\r") << "0:45";
        QTest::newRow("two blanks: no position") << QByteArray("G:1  120\r") << "1:200";
        QTest::newRow("single number sets the type") << QByteArray("G:3\r") << "3:200";
        QTest::newRow("type refused, position taken") << QByteArray("G:4 10\r") << "2:10";
        QTest::newRow("position refused, type taken") << QByteArray("G:0 360\r") << "0:200";
        QTest::newRow("negative") << QByteArray("G:-1 -5\r") << "2:200";
        QTest::newRow("garbage") << QByteArray("G:\xff\x01 ,,\r") << "2:200";
        QTest::newRow("two characters") << QByteArray("G\r") << "2:200";
        QTest::newRow("timeout") << QByteArray("G:1 120") << "2:200";
    }
    void readPocketReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, row);
        Indexer indexer;
        indexer.replies["F?"] = "F:1\r";
        indexer.replies["G1?"] = reply;
        QCOMPARE(indexer.read(kAll200).left(row.size() + 1), row + u' ');
    }

    void timedOutCountCarriesNoLayout()
    {
        Indexer indexer;
        QCOMPARE(indexer.read(kAll200), QStringLiteral("none"));
        QCOMPARE(indexer.port.commands(), QStringList{"F?"});
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
