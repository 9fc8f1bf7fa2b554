// The pocket layout's file read in corner cases (the script tests check the strict reading and
// the written format, the fuzz target the bounds and the round trip, the widget tests a file saved
// and opened again; the window and script tests the sending), and a transfer that meets a port
// change.
#include "configfile.h"
#include "configtransfer.h"
#include "fakeserialport.h"
#include "modFileUtil.h"

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
        PocketLayout layout;
        // A line end as the first byte is pocket 1's (empty) line.
        QVERIFY(ReplaceFileAtomically(path, "\n2, 0, 5\r\n") && ReadConfigFile(path, layout));
        QVERIFY(layout.position(0) == 0 && layout.position(1) == 4);
        QVERIFY(!layout.setType(8, 0)); // no ninth row
        // A FIFO is refused unopened: an open would wait for a writer.
        const QString fifo = dir.filePath(QStringLiteral("fifo.cfg"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(!ReadConfigFile(fifo, layout) && !WriteConfigFile(fifo, layout, nullptr));
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
            if (read)
                ReadConfiguration(link, this, layout,
                                  [&](auto, const TransferOutcome &o) { outcome = o; });
            else
                SendConfiguration(link, this, layout,
                                  [&](const TransferOutcome &o) { outcome = o; });
            QTRY_VERIFY(outcome.portChanged);
            QCOMPARE(port.commands().join(u','), read ? "F?,G1?" : "F2,G1 0 000");
        }
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
