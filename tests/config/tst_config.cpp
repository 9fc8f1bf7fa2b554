// The pocket layout and its configuration file (the script tests check the strict reading, the
// fuzz target its bounds and round trip; the window and script tests the sending), and a transfer
// that meets a port change.
#include "configfile.h"
#include "configtransfer.h"
#include "fakeserialport.h"
#include "settings.h"
#include "testhome.h"

#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

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
        QCOMPARE(contentsOf(path), QByteArray("1, 3, 1\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n"
                                              "5, 3, 1\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n"));
        PocketLayout saved; // rows 1, 2, 3, 5 and 8 changed
        for (const auto &[row, type, position] :
             {std::tuple{0, 0, 0}, {1, 1, 359}, {2, 2, 90}, {4, 3, 12}, {7, 0, 180}})
            saved.setType(row, type), saved.setPosition(row, position);
        QVERIFY(WriteConfigFile(path, saved, &why));
        PocketLayout opened;
        QVERIFY(ReadConfigFile(path, opened));
        QVERIFY(opened == saved);
        // A line end as the first byte is pocket 1's (empty) line.
        PocketLayout blankFirst = saved;
        QVERIFY(ReplaceFileAtomically(path, "\n2, 0, 5\r\n") && ReadConfigFile(path, blankFirst));
        QVERIFY(blankFirst.position(0) == 0 && blankFirst.position(1) == 4);
        QVERIFY(!PocketLayout().setType(8, 0)); // no ninth row
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

    // A port change queued during a Read or a Send ends it at once, and none of its steps
    // reaches the new port.
    void portChangeDuringATransfer()
    {
        for (const bool read : {true, false}) {
            FakeSerialPort port;
            IndexerLink link(port);
            QVERIFY(port.open(PortChoice::serial(1)));
            port.responder = [&link](const QByteArray &f) -> QByteArray {
                if (f.startsWith("$G1")) // while the first row is on the wire
                    link.selectPort(PortChoice::serial(2));
                return f.startsWith("$F") ? "F:8\r" : "ok\r";
            };
            PocketLayout layout;
            layout.setType(0, 0), layout.setType(1, 0); // two rows used
            TransferOutcome outcome;
            const auto sent = [&](const TransferOutcome &o) { outcome = o; };
            if (read)
                ReadConfiguration(link, this, layout,
                                  [&](auto, const TransferOutcome &o) { sent(o); });
            else
                SendConfiguration(link, this, layout, sent);
            QTRY_VERIFY(outcome.portChanged);
            QCOMPARE(port.commands().join(u','), read ? "F?,G1?" : "F2,G1 0 000");
        }
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
