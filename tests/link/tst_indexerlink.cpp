#include "commport.h"
#include "fakeserialport.h"
#include "indexerlink.h"
#include "settings.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestIndexerLink : public QObject
{
    Q_OBJECT

    FakeSerialPort *port = nullptr;
    IndexerLink *link = nullptr;

    void openPort(int number = 1)
    {
        QVERIFY(OpenCommPort(*port, static_cast<qint16>(number)));
        port->calls.clear();
    }

private Q_SLOTS:
    void init()
    {
        CommPort = 1;
        port = new FakeSerialPort;
        link = new IndexerLink(*port);
        openPort();
    }
    void cleanup()
    {
        delete link;
        delete port;
    }

    void framesOnTheWire_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("pocket query") << "B?" << QByteArray("$B?\r\n");
        QTest::newRow("empty command") << "" << QByteArray("$\r\n");
        QTest::newRow("pocket set") << "G2 1 045" << QByteArray("$G2 1 045\r\n");
    }
    void framesOnTheWire()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, frame);
        port->setReply(frame, "xx1\r");
        QCOMPARE(link->SendCommand(command), QStringLiteral("xx1\r"));
        QCOMPARE(port->written, QByteArrayList{frame});
        QCOMPARE(link->sFrame(), QString::fromLatin1(frame));
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("status");
        QTest::newRow("three characters and CR") << QByteArray("B:5\r") << "B:5\r"
                                                 << "Ready";
        QTest::newRow("CR then LF in one notification") << QByteArray("B:5\r\n") << "B:5\r\n"
                                                        << "Ready";
        QTest::newRow("two characters, no CR") << QByteArray("B:") << "Timeout B:"
                                               << "Timeout";
        QTest::newRow("nothing") << QByteArray() << "Timeout "
                                 << "Timeout";
        QTest::newRow("NUL and high bytes are characters")
            << QByteArray("I:\0\xC8\r", 5) << QString::fromLatin1("I:\0\xC8\r", 5) << "Ready";
    }
    void replies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, result);
        QFETCH(QString, status);
        if (!reply.isEmpty())
            port->setReply("$B?\r\n", reply, 20);
        QSignalSpy words(link, &IndexerLink::linkStatusChanged);
        QCOMPARE(link->SendCommand("B?"), result);
        QCOMPARE(words.size(), 2);
        QCOMPARE(words.at(0).at(0).toString(), QStringLiteral("Busy"));
        QCOMPARE(words.at(1).at(0).toString(), status);
        QCOMPARE(link->LinkState(), IndexerLink::Idle);
    }

    void timeoutRunsTwoHundredMilliseconds()
    {
        port->setReply("$B?\r\n", "B:", 10);
        QElapsedTimer clock;
        clock.start();
        const IndexerLink::Reply reply = link->Transact("B?");
        const qint64 elapsed = clock.elapsed();
        QVERIFY(reply.timedOut);
        QCOMPARE(reply.text, QStringLiteral("Timeout B:"));
        QVERIFY2(elapsed >= 195, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    }

    void ethernetChoiceWritesNothing()
    {
        CommPort = 5;
        port->setReply("$B?\r\n", "B:5\r");
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("Timeout "));
        QVERIFY(clock.elapsed() >= 195);
        QVERIFY(port->written.isEmpty());
    }

    void closedPortEndsByTimeout()
    {
        port->close();
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("Timeout "));
        QVERIFY(port->written.isEmpty());
    }

    void requestsQueueInOrderWithTheirOwnReplies()
    {
        port->setReply("$B?\r\n", "B:3\r", 80);
        port->setReply("$A?\r\n", "A:1\r", 10);
        QString second;
        int writtenWhenQueued = -1;
        QTimer::singleShot(20, link, [&] {
            writtenWhenQueued = int(port->written.size());
            second = link->SendCommand("A?");
        });
        const QString first = link->SendCommand("B?");
        QCOMPARE(first, QStringLiteral("B:3\r"));
        QTRY_COMPARE(second, QStringLiteral("A:1\r"));
        // The second command waited for the first transaction to end before it was written.
        QCOMPARE(writtenWhenQueued, 1);
        QCOMPARE(port->commands(), (QStringList{"B?", "A?"}));
    }

    void requestBehindATimeoutGetsItsOwnReply()
    {
        // The first command is never answered; the second is.
        port->setReply("$A?\r\n", "A:0\r", 10);
        QString second;
        QTimer::singleShot(50, link, [&] { second = link->SendCommand("A?"); });
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("Timeout "));
        QTRY_COMPARE(second, QStringLiteral("A:0\r"));
    }

    void bytesBetweenTransactionsAreNotKept()
    {
        port->deliver(QByteArray(100000, 'x'));
        QTest::qWait(20);
        port->setReply("$B?\r\n", "B:2\r", 10);
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("B:2\r"));
    }

    void floodWithoutCarriageReturnIsBounded()
    {
        port->setReply("$B?\r\n", QByteArray(1 << 20, 'n'), 10);
        const IndexerLink::Reply reply = link->Transact("B?");
        QVERIFY(reply.timedOut);
        QVERIFY(reply.text.size() <= IndexerLink::kMaxReplyLength + 8);
    }

    void lateReplyIsDiscardedBeforeTheNextStarts()
    {
        port->setReply("$B?\r\n", "B:7\r", 260);
        QVERIFY(link->Transact("B?").timedOut);
        QTest::qWait(150); // the late line arrives now, while nothing waits
        port->setReply("$D?\r\n", "D:R\r", 10);
        QCOMPARE(link->SendCommand("D?"), QStringLiteral("D:R\r"));
    }

    void shutdownEndsAWaitAndRefusesNewRequests()
    {
        QString queued = QStringLiteral("unset");
        QTimer::singleShot(30, link, [&] { queued = link->SendCommand("A?"); });
        QTimer::singleShot(60, link, [&] { link->shutdown(); });
        QSignalSpy words(link, &IndexerLink::linkStatusChanged);
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("Timeout "));
        // Ended by the shutdown, not by the timeout (which would have said "Timeout").
        QCOMPARE(words.size(), 1);
        QCOMPARE(words.at(0).at(0).toString(), QStringLiteral("Busy"));
        QCOMPARE(queued, QStringLiteral("Timeout "));
        QCOMPARE(link->SendCommand("C?"), QStringLiteral("Timeout "));
        QCOMPARE(port->commands(), QStringList{"B?"});
    }

    void lostDeviceIsReopenedAtMostOncePerSecond()
    {
        port->close();
        Q_EMIT port->deviceLost();
        port->calls.clear();
        port->setReply("$B?\r\n", "B:4\r", 5);
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("B:4\r"));
        QVERIFY(port->calls.contains(QStringLiteral("line 19200,N,8,1")));

        // Lost again at once: the next attempt waits for the second to pass.
        port->close();
        Q_EMIT port->deviceLost();
        port->calls.clear();
        QVERIFY(link->Transact("B?").timedOut);
        QVERIFY(!port->calls.contains(QStringLiteral("open 1")));
        QTest::qWait(IndexerLink::kReopenIntervalMs);
        QCOMPARE(link->SendCommand("B?"), QStringLiteral("B:4\r"));
    }
};

QTEST_GUILESS_MAIN(TestIndexerLink)
#include "tst_indexerlink.moc"
