#include "conversions.h"

#include <QTest>
#include <limits>

class TestConversions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void numbers_data();
    void numbers();
    void roundHalfEven();
};

// Exact comparison; QCOMPARE on doubles would forgive the last bits.
static QString exact(double value)
{
    return QString::number(value, 'g', 17);
}

static constexpr int Invalid = std::numeric_limits<int>::min();

// Each text through both readers: LeadingNumber's value and TextToInteger's (Invalid: none).
void TestConversions::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("leading");
    QTest::addColumn<int>("integer");

    const double max = std::numeric_limits<double>::max();
    QTest::newRow("empty") << QString() << 0.0 << Invalid;
    QTest::newRow("trailing text") << "  42abc" << 42.0 << Invalid;
    QTest::newRow("blank inside") << "9 0" << 90.0 << Invalid;
    QTest::newRow("exponent") << "1e3" << 1000.0 << Invalid;
    QTest::newRow("bare exponent") << "1e+" << 1.0 << Invalid;
    QTest::newRow("negative exponent") << "25E-2" << 0.25 << Invalid;
    QTest::newRow("sign only") << "-" << 0.0 << Invalid;
    QTest::newRow("second point stops") << "12.5.6" << 12.5 << Invalid;
    QTest::newRow("hex") << "&HFF" << 255.0 << Invalid;
    QTest::newRow("octal, lower case, stops at 8") << "&o178" << 15.0 << Invalid;
    QTest::newRow("arabic digit is no digit") << QString(QChar(0x0663)) << 0.0 << Invalid;
    QTest::newRow("white space around") << " \t+07\r\n" << 7.0 << 7;
    QTest::newRow("leading zeros") << QString(500, u'0') + QStringLiteral("17") << 17.0 << 17;
    QTest::newRow("hard rounding case") << "1e23" << 1e23 << Invalid;
    QTest::newRow("tie to even") << "9007199254740993" << 9007199254740992.0 << Invalid;
    QTest::newRow("just above tie, far digit")
        << QStringLiteral("9007199254740993") + QString(900, u'0') + QStringLiteral("1e-901")
        << 9007199254740994.0 << Invalid;
    QTest::newRow("huge exponent clamps") << "-1e99999999999999999999" << -max << Invalid;
    QTest::newRow("tiny exponent") << "1e-400" << 0.0 << Invalid;
    QTest::newRow("long digit string") << QString(5000, u'9') << max << Invalid;
    QTest::newRow("long hex string")
        << QStringLiteral("&H") + QString(1000, u'F') << max << Invalid;
    QTest::newRow("half down to even") << "2.5" << 2.5 << 2;
    QTest::newRow("half up to even") << "3.5" << 3.5 << 4;
    QTest::newRow("negative half") << "-2.5" << -2.5 << -2;
    QTest::newRow("sign and fraction only") << "-.5" << -0.5 << 0;
    QTest::newRow("just above half") << "12.5000001" << 12.5000001 << 13;
    QTest::newRow("fraction only") << ".7" << 0.7 << 1;
    QTest::newRow("largest") << "32767" << 32767.0 << 32767;
    QTest::newRow("rounds out of range") << "32767.5" << 32767.5 << Invalid;
    QTest::newRow("too large") << "32768" << 32768.0 << Invalid;
    QTest::newRow("smallest") << "-32768" << -32768.0 << -32768;
    QTest::newRow("smallest half") << "-32768.5" << -32768.5 << -32768;
    QTest::newRow("too small") << "-32769" << -32769.0 << Invalid;
}

void TestConversions::numbers()
{
    QFETCH(QString, text);
    QFETCH(double, leading);
    QFETCH(int, integer);
    QCOMPARE(exact(LeadingNumber(text)), exact(leading));
    const std::optional<qint16> result = TextToInteger(text);
    QCOMPARE(result ? int(*result) : Invalid, integer);
}

void TestConversions::roundHalfEven()
{
    const double cases[][2] = {{2.5, 2},   {3.5, 4}, {-2.5, -2},
                               {-3.5, -4}, {2.6, 3}, {1e300, 1e300}};
    for (const auto &[value, expected] : cases)
        QCOMPARE(exact(RoundHalfEven(value)), exact(expected));
}

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"
