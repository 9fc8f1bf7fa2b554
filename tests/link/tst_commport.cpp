#include "commport.h"
#include "fakeserialport.h"

#include <QTest>

class TestCommPort : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void numbersOutsideOneToNineChangeNothing_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("0") << 0;
        QTest::newRow("-1") << -1;
        QTest::newRow("10") << 10;
    }
    void numbersOutsideOneToNineChangeNothing()
    {
        QFETCH(int, number);
        FakeSerialPort port;
        QVERIFY(OpenCommPort(port, static_cast<qint16>(number)));
        QVERIFY(port.calls.isEmpty());
        QVERIFY(!port.isOpen());
    }

    void opensWithTheFixedSettingsInOrder()
    {
        FakeSerialPort port;
        QVERIFY(OpenCommPort(port, 2));
        QVERIFY(port.isOpen());
        const QStringList expected = {
            "open 0",           "select 2",    "open 2", "close 2", "line 19200,N,8,1",
            "handshaking none", "buffer 2048", "rts 0",  "open 2"};
        QCOMPARE(port.calls, expected);
    }

    void missingDeviceFailsAndStaysClosed()
    {
        FakeSerialPort port;
        QVERIFY(!OpenCommPort(port, 7));
        QVERIFY(!port.isOpen());
        // Nothing is set on a device that failed the probe.
        QVERIFY(port.lineFormat.isEmpty());
    }

    void openOnAnotherDeviceClosesTheFirst()
    {
        FakeSerialPort port;
        QVERIFY(OpenCommPort(port, 1));
        port.calls.clear();
        QVERIFY(OpenCommPort(port, 3));
        QCOMPARE(port.calls.first(), QStringLiteral("close 1"));
        QCOMPARE(port.portNumber(), 3);
        QVERIFY(port.isOpen());
    }

    void closeOnAClosedMissingDeviceFails()
    {
        FakeSerialPort port;
        port.setPortNumber(8);
        QVERIFY(!CloseCommPort(port));
        port.setPortNumber(2);
        QVERIFY(CloseCommPort(port));
        QVERIFY(!port.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestCommPort)
#include "tst_commport.moc"
