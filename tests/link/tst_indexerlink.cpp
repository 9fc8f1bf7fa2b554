#include "commport.h"
#include "fakeserialport.h"
#include "indexerlink.h"
#include "settings.h"
#include "transact.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using Reply = IndexerLink::Reply;

class TestIndexerLink : public QObject
{
    Q_OBJECT

    FakeSerialPort *port = nullptr;
    IndexerLink *link = nullptr;
    // Results in the order they came back: "command=result".
    QStringList results;

    void request(const QString &command, const QObject *context = nullptr)
    {
        link->SendCommand(command, context, [this, command](const Reply &reply) {
            results << command + QLatin1Char('=') + reply.text;
        });
    }

private Q_SLOTS:
    void init()
    {
        CommPort = 1;
        results.clear();
        port = new FakeSerialPort;
        link = new IndexerLink(*port);
        QVERIFY(OpenCommPort(*port, 1));
        port->calls.clear();
    }
    void cleanup()
    {
        delete link;
        delete port;
    }

    void transaction_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("status");
        QTest::newRow("three characters and CR")
            << "B?" << QByteArray("B:5\r") << QByteArray("$B?\r\n") << "B:5\r"
            << "Ready";
        QTest::newRow("empty command") << "" << QByteArray("x\r") << QByteArray("$\r\n") << "x\r"
                                       << "Ready";
        QTest::newRow("CR then LF in one notification")
            << "G2 1 045" << QByteArray("G:\r\n") << QByteArray("$G2 1 045\r\n") << "G:\r\n"
            << "Ready";
        QTest::newRow("two characters, no CR")
            << "B?" << QByteArray("B:") << QByteArray("$B?\r\n") << "Timeout B:"
            << "Timeout";
        QTest::newRow("nothing") << "B?" << QByteArray() << QByteArray("$B?\r\n") << "Timeout "
                                 << "Timeout";
        QTest::newRow("NUL and high bytes are characters")
            << "I" << QByteArray("I:\0\xC8\r", 5) << QByteArray("$I\r\n")
            << QString::fromLatin1("I:\0\xC8\r", 5) << "Ready";
    }
    void transaction()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, frame);
        QFETCH(QString, result);
        QFETCH(QString, status);
        if (!reply.isEmpty())
            port->setReply(frame, reply, 20);
        QSignalSpy words(link, &IndexerLink::linkStatusChanged);
        const Reply got = transact(*link, command);
        QCOMPARE(got.text, result);
        QCOMPARE(got.timedOut, status == QLatin1String("Timeout"));
        QCOMPARE(port->written, QByteArrayList{frame});
        QCOMPARE(words.size(), 2);
        QCOMPARE(words.at(0).at(0).toString(), QStringLiteral("Busy"));
        QCOMPARE(words.at(1).at(0).toString(), status);
        QCOMPARE(link->LinkState(), IndexerLink::Idle);
    }

    void timeoutRunsTwoHundredMillisecondsAndNoneIsWrittenWithoutAPort_data()
    {
        QTest::addColumn<int>("commPort");
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<int>("writes");
        QTest::newRow("silent indexer") << 1 << true << 1;
        QTest::newRow("Ethernet choice") << 5 << true << 0;
        QTest::newRow("closed port") << 1 << false << 0;
    }
    void timeoutRunsTwoHundredMillisecondsAndNoneIsWrittenWithoutAPort()
    {
        QFETCH(int, commPort);
        QFETCH(bool, portOpen);
        QFETCH(int, writes);
        CommPort = static_cast<qint16>(commPort);
        if (!portOpen)
            port->close();
        port->setReply("$B?\r\n", "B:", 10);
        QElapsedTimer clock;
        clock.start();
        const Reply reply = transact(*link, "B?");
        const qint64 elapsed = clock.elapsed();
        QVERIFY(reply.timedOut);
        QVERIFY(reply.text.startsWith(QLatin1String("Timeout ")));
        QVERIFY2(elapsed >= 195 && elapsed < 3000, qPrintable(QString::number(elapsed)));
        QCOMPARE(port->written.size(), writes);
    }

    void requestsRunOneAtATimeAndResultsComeBackInOrder()
    {
        port->setReply("$B?\r\n", "B:3\r", 40);
        port->setReply("$A?\r\n", "A:1\r", 5);
        // D? is never answered; C? is answered behind its timeout.
        port->setReply("$C?\r\n", "C:2\r", 5);
        for (const char *command : {"B?", "D?", "A?", "C?"})
            request(QString::fromLatin1(command));
        QCOMPARE(port->written.size(), 1); // the first at once, the others wait
        QVERIFY(link->isBusy());
        QTRY_COMPARE(results.size(), 4);
        QCOMPARE(results, (QStringList{"B?=B:3\r", "D?=Timeout ", "A?=A:1\r", "C?=C:2\r"}));
        QCOMPARE(port->commands(), (QStringList{"B?", "D?", "A?", "C?"}));
        QVERIFY(!link->isBusy());
    }

    void aHandlerThatQueuesARequestKeepsTheOrder()
    {
        port->responder = [](const QByteArray &frame) { return frame.mid(1, 2) + "\r"; };
        link->SendCommand("F?", nullptr, [this](const Reply &) {
            request("G1?");
            request("G2?");
        });
        request("A?"); // made before the handler ran: served before its requests
        QTRY_COMPARE(results.size(), 3);
        QCOMPARE(results, (QStringList{"A?=A?\r", "G1?=G1\r", "G2?=G2\r"}));
    }

    // A handler that runs a dialog of its own (a nested loop) does not hold up the link.
    void aHandlerInADialogDoesNotStallTheLink()
    {
        port->responder = [](const QByteArray &frame) { return frame.mid(1, 2) + "\r"; };
        bool innerDone = false;
        link->SendCommand("B?", nullptr, [&](const Reply &) {
            QEventLoop dialog;
            link->SendCommand("A?", nullptr, [&](const Reply &reply) {
                innerDone = reply.text == QLatin1String("A?\r");
                dialog.quit();
            });
            QTimer::singleShot(2000, &dialog, &QEventLoop::quit);
            dialog.exec();
        });
        QTRY_VERIFY(innerDone);
    }

    void aDestroyedRequesterIsNeverCalledBack()
    {
        port->setReply("$B?\r\n", "B:3\r", 40);
        port->setReply("$A?\r\n", "A:1\r", 5);
        auto *requester = new QObject;
        request("B?", requester);
        request("A?");
        delete requester;
        QTRY_COMPARE(results, QStringList{"A?=A:1\r"});
        // Its command still went out, in its turn.
        QCOMPARE(port->commands(), (QStringList{"B?", "A?"}));
    }

    void aHandlerMayDestroyTheLink()
    {
        port->setReply("$B?\r\n", "B:3\r", 5);
        bool called = false;
        link->SendCommand("B?", nullptr, [&](const Reply &) {
            delete link;
            link = nullptr;
        });
        link->SendCommand("A?", nullptr, [&](const Reply &) { called = true; });
        QTRY_VERIFY(link == nullptr);
        QTest::qWait(IndexerLink::kTimeoutMs + 50);
        QVERIFY(!called);
        QCOMPARE(port->commands(), QStringList{"B?"});
    }

    void portChangeWaitsForTheTransactionOnTheWire()
    {
        QStringList writtenOn;
        port->responder = [&](const QByteArray &frame) {
            writtenOn << QString::fromLatin1(frame.mid(1, 2)) + QString::number(port->portNumber());
            return frame.startsWith("$B") ? QByteArray() : QByteArray("A:1\r");
        };
        port->setReply("$B?\r\n", "B:3\r", 60);
        request("B?");
        bool opened = false;
        link->selectPort(2, this, [&](bool ok) { opened = ok; });
        request("A?");
        QCOMPARE(CommPort, qint16(1)); // not yet: B? is on the wire
        QVERIFY(!port->calls.contains(QStringLiteral("close 1")));
        QTRY_COMPARE(results.size(), 2);
        QVERIFY(opened);
        QCOMPARE(CommPort, qint16(2));
        QCOMPARE(port->portNumber(), 2);
        QCOMPARE(results.at(0), QStringLiteral("B?=B:3\r"));
        QCOMPARE(writtenOn, (QStringList{"A?2"})); // B? has a set reply, A? went out on COM2
        QVERIFY(port->calls.contains(QStringLiteral("close 1")));
    }

    void portChoice_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("startOpen");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<bool>("reopened");
        QTest::newRow("same port, open: nothing done") << 1 << true << true << false;
        QTest::newRow("same port, closed: retried") << 1 << false << true << true;
        QTest::newRow("missing device") << 3 << true << false << true;
        QTest::newRow("Ethernet opens nothing") << 5 << true << true << false;
    }
    void portChoice()
    {
        QFETCH(int, number);
        QFETCH(bool, startOpen);
        QFETCH(bool, opened);
        QFETCH(bool, reopened);
        if (!startOpen)
            port->close();
        port->existingPorts = {1, 2};
        port->calls.clear();
        bool result = !opened;
        link->selectPort(static_cast<qint16>(number), this, [&](bool ok) { result = ok; });
        QCOMPARE(result, opened);
        QCOMPARE(CommPort, qint16(number));
        QCOMPARE(port->calls.contains(QStringLiteral("line 19200,N,8,1")) ||
                     port->calls.contains(QStringLiteral("open %1").arg(number)),
                 reopened);
    }

    void bytesNobodyWaitsForAreNotKept_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("lateMs");
        QTest::newRow("a flood between transactions") << QByteArray(100000, 'x') << 0;
        QTest::newRow("a reply after its timeout") << QByteArray() << 260;
    }
    void bytesNobodyWaitsForAreNotKept()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, lateMs);
        if (!before.isEmpty())
            port->deliver(before);
        if (lateMs) {
            port->setReply("$B?\r\n", "B:7\r", lateMs);
            QVERIFY(transact(*link, "B?").timedOut);
        }
        QTest::qWait(lateMs ? 150 : 20); // what comes now finds nobody waiting
        port->setReply("$D?\r\n", "D:R\r", 10);
        QCOMPARE(transact(*link, "D?").text, QStringLiteral("D:R\r"));
    }

    void floodWithoutCarriageReturnIsBounded()
    {
        port->setReply("$B?\r\n", QByteArray(1 << 20, 'n'), 10);
        const Reply reply = transact(*link, "B?");
        QVERIFY(reply.timedOut);
        QVERIFY(reply.text.size() <= IndexerLink::kMaxReplyLength + 8);
    }

    void shutdownDropsEverythingWithoutCallingBack()
    {
        port->setReply("$A?\r\n", "A:1\r", 5);
        request("B?");
        request("A?");
        QSignalSpy words(link, &IndexerLink::linkStatusChanged);
        link->shutdown();
        request("C?");
        link->selectPort(2, this, [this](bool) { results << QStringLiteral("port"); });
        QTest::qWait(IndexerLink::kTimeoutMs + 50);
        QVERIFY(results.isEmpty());
        QVERIFY(words.isEmpty());
        QCOMPARE(port->commands(), QStringList{"B?"});
        QCOMPARE(CommPort, qint16(1));
        QVERIFY(!link->isBusy());
    }

    void lostDeviceIsReopenedAtMostOncePerSecond()
    {
        port->close();
        Q_EMIT port->deviceLost();
        port->calls.clear();
        port->setReply("$B?\r\n", "B:4\r", 5);
        QCOMPARE(transact(*link, "B?").text, QStringLiteral("B:4\r"));
        QVERIFY(port->calls.contains(QStringLiteral("line 19200,N,8,1")));

        // Lost again at once: the next attempt waits for the second to pass.
        port->close();
        Q_EMIT port->deviceLost();
        port->calls.clear();
        QVERIFY(transact(*link, "B?").timedOut);
        QVERIFY(!port->calls.contains(QStringLiteral("open 1")));
        QTest::qWait(IndexerLink::kReopenIntervalMs);
        QCOMPARE(transact(*link, "B?").text, QStringLiteral("B:4\r"));
    }
};

QTEST_GUILESS_MAIN(TestIndexerLink)
#include "tst_indexerlink.moc"
