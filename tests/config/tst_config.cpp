// The pocket layout: the configuration file and its sending to the indexer through a link on the
// fake port (the fuzz targets and their corpora check the file's lines and the layout read).
// Layouts are written as the pockets that differ from a layout of End Bananas at 200 degrees:
// "5=3:0" is pocket 5 "Not Used" at 0.
#include "commport.h"
#include "configfile.h"
#include "configtransfer.h"
#include "fakeserialport.h"
#include "settings.h"

#include <QHash>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

namespace
{
PocketLayout base()
{
    PocketLayout layout;
    for (int row = 0; row < PocketLayout::kRows; ++row)
        layout.setType(row, EndBanana), layout.setPosition(row, 200);
    return layout;
}
PocketLayout changed(const QString &text)
{
    PocketLayout layout = base();
    for (const QString &cell : text.split(u' ', Qt::SkipEmptyParts)) {
        const int row = cell.section(u'=', 0, 0).toInt() - 1;
        layout.setType(row, cell.section(u'=', 1).section(u':', 0, 0).toInt());
        layout.setPosition(row, cell.section(u':', 1).toInt());
    }
    return layout;
}

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
};
} // namespace

class TestConfig : public QObject
{
    Q_OBJECT
private Q_SLOTS:
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
        const PocketLayout saved = changed("1=0:0 2=1:359 3=2:90 5=3:12 8=0:180");
        QVERIFY(WriteConfigFile(path, saved, &why));
        PocketLayout opened;
        QVERIFY(ReadConfigFile(path, opened));
        QVERIFY(opened == saved);
        // A file that cannot be read changes nothing; one that cannot be written says why.
        QVERIFY(!ReadConfigFile(dir.filePath(QStringLiteral("none.cfg")), opened));
        QVERIFY(opened == saved);
        // A FIFO is refused unopened: an open would wait for a writer.
        const QString fifo = dir.filePath(QStringLiteral("fifo.cfg"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(!ReadConfigFile(fifo, opened) && !WriteConfigFile(fifo, saved, &why));
        QVERIFY(!WriteConfigFile(path + QStringLiteral("/sub.cfg"), saved, &why));
        QVERIFY(!why.isEmpty());
    }

    // "F<n>" for the pockets before the first "Not Used" one, then one "G" command each; the
    // sending goes on after a timeout, and nothing is sent when pocket 1 is not used.
    void send()
    {
        // clang-format off
        const std::tuple<QString, bool, QStringList> rows[] = {
            {"1=0:0 2=2:5 3=1:359 4=3:0", true, {"F3", "G1 0 000", "G2 2 005", "G3 1 359"}},
            {"1=3:0", true, {}}, {"1=1:45 2=3:0", true, {"F1", "G1 1 045"}},
            {"1=0:0 7=0:60", false, {"F8", "G1 0 000", "G2 2 200", "G3 2 200", "G4 2 200",
                                     "G5 2 200", "G6 2 200", "G7 0 060", "G8 2 200"}}};
        // clang-format on
        for (const auto &[layout, answered, commands] : rows) {
            Indexer indexer;
            for (const QString &command : commands)
                indexer.replies[command] = answered ? "ok\r" : "";
            bool done = false;
            SendConfiguration(indexer.link, &indexer.link, changed(layout), [&] { done = true; });
            QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
            QCOMPARE(indexer.port.commands(), commands);
        }
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
