#include "conversions.h"

#include <QTest>
#include <limits>

class TestConversions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void leadingNumber_data();
    void leadingNumber();
    void textToInteger_data();
    void textToInteger();
    void roundHalfEven_data();
    void roundHalfEven();
};

// Exact comparison; QCOMPARE on doubles would forgive the last bits.
static QString exact(double value)
{
    return QString::number(value, 'g', 17);
}

void TestConversions::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    const double max = std::numeric_limits<double>::max();
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("integer") << "42" << 42.0;
    QTest::newRow("trailing text") << "  42abc" << 42.0;
    QTest::newRow("blank inside") << "9 0" << 90.0;
    QTest::newRow("blanks in exponent") << " 1 e 3" << 1000.0;
    QTest::newRow("tab and line feed") << "\t1\n2" << 12.0;
    QTest::newRow("carriage return stops") << "1\r2" << 1.0;
    QTest::newRow("bare exponent") << "1e" << 1.0;
    QTest::newRow("exponent sign only") << "1e+" << 1.0;
    QTest::newRow("negative exponent") << "25E-2" << 0.25;
    QTest::newRow("negative fraction") << "-3.5" << -3.5;
    QTest::newRow("fraction only") << "+.5" << 0.5;
    QTest::newRow("point only") << "." << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("two signs") << "+-5" << 0.0;
    QTest::newRow("second point stops") << "12.5.6" << 12.5;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("exponent without mantissa") << "e5" << 0.0;
    QTest::newRow("hex") << "&HFF" << 255.0;
    QTest::newRow("hex lower case") << "&hff" << 255.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("octal stops at 8") << "&o78" << 7.0;
    QTest::newRow("hex without digits") << "&H" << 0.0;
    QTest::newRow("other radix letter") << "&X1" << 0.0;
    QTest::newRow("NUL stops") << (QStringLiteral("1") + QChar(0) + QStringLiteral("2")) << 1.0;
    QTest::newRow("arabic digit is no digit") << QString(QChar(0x0663)) << 0.0;
    QTest::newRow("leading zeros") << QString(500, u'0') + QStringLiteral("17") << 17.0;
    QTest::newRow("tiny fraction")
        << QStringLiteral("0.") + QString(300, u'0') + QStringLiteral("1") << 1e-301;
    QTest::newRow("hard rounding case") << "1e23" << 1e23;
    QTest::newRow("tie to even") << "9007199254740993" << 9007199254740992.0;
    QTest::newRow("just above tie, far digit")
        << QStringLiteral("9007199254740993") + QString(900, u'0') + QStringLiteral("1e-901")
        << 9007199254740994.0;
    QTest::newRow("huge exponent clamps") << "1e400" << max;
    QTest::newRow("negative huge") << "-1e99999999999999999999" << -max;
    QTest::newRow("tiny exponent") << "1e-400" << 0.0;
    QTest::newRow("long digit string") << QString(5000, u'9') << max;
    QTest::newRow("long hex string") << QStringLiteral("&H") + QString(1000, u'F') << max;
}

void TestConversions::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(LeadingNumber(text)), exact(expected));
}

void TestConversions::textToInteger_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("expected");

    QTest::newRow("half down to even") << "2.5" << true << 2;
    QTest::newRow("half up to even") << "3.5" << true << 4;
    QTest::newRow("negative half") << "-2.5" << true << -2;
    QTest::newRow("negative half odd") << "-1.5" << true << -2;
    QTest::newRow("just above half") << "12.5000001" << true << 13;
    QTest::newRow("just below half") << "2.4999999999999999999" << true << 2;
    QTest::newRow("half with zeros") << "2.50000" << true << 2;
    QTest::newRow("zero point five") << "0.5" << true << 0;
    QTest::newRow("fraction only") << ".7" << true << 1;
    QTest::newRow("point at end") << "45." << true << 45;
    QTest::newRow("largest") << "32767" << true << 32767;
    QTest::newRow("largest plus fraction") << "32767.4" << true << 32767;
    QTest::newRow("rounds out of range") << "32767.5" << false << 0;
    QTest::newRow("smallest") << "-32768" << true << -32768;
    QTest::newRow("smallest half") << "-32768.5" << true << -32768;
    QTest::newRow("too large") << "32768" << false << 0;
    QTest::newRow("too small") << "-32769" << false << 0;
    QTest::newRow("very long") << "99999999999999999999" << false << 0;
    QTest::newRow("leading zeros") << QString(1000, u'0') + QStringLiteral("45") << true << 45;
    QTest::newRow("surrounding white space") << "  45\r" << true << 45;
    QTest::newRow("all white space kinds") << " \t-7\r\n" << true << -7;
    QTest::newRow("plus sign") << "+7" << true << 7;
    QTest::newRow("zero padded") << "045" << true << 45;
    QTest::newRow("exponent") << "1e3" << false << 0;
    QTest::newRow("blank inside") << "9 0" << false << 0;
    QTest::newRow("hex") << "&HFF" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("blanks only") << "   " << false << 0;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("point only") << "." << false << 0;
    QTest::newRow("two signs") << "+-1" << false << 0;
    QTest::newRow("text after") << "12a" << false << 0;
    QTest::newRow("no-break space") << QStringView(u"12\u00a0").toString() << false << 0;
    QTest::newRow("NUL") << (QStringLiteral("1") + QChar(0) + QStringLiteral("2")) << false << 0;
    QTest::newRow("arabic digit") << QString(QChar(0x0663)) << false << 0;
}

void TestConversions::textToInteger()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, expected);
    const std::optional<qint16> result = TextToInteger(text);
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(int(*result), expected);
}

void TestConversions::roundHalfEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("expected");

    QTest::newRow("2.5") << 2.5 << 2.0;
    QTest::newRow("3.5") << 3.5 << 4.0;
    QTest::newRow("-2.5") << -2.5 << -2.0;
    QTest::newRow("-3.5") << -3.5 << -4.0;
    QTest::newRow("0.5") << 0.5 << 0.0;
    QTest::newRow("2.4") << 2.4 << 2.0;
    QTest::newRow("2.6") << 2.6 << 3.0;
    QTest::newRow("-2.6") << -2.6 << -3.0;
    QTest::newRow("large") << 1e300 << 1e300;
}

void TestConversions::roundHalfEven()
{
    QFETCH(double, value);
    QFETCH(double, expected);
    QCOMPARE(exact(RoundHalfEven(value)), exact(expected));
}

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"
