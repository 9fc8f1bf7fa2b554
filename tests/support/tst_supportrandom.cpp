#include "cIniFile.h"
#include "conversions.h"
#include "modUtil.h"
#include "supporttest.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <cmath>

// Random texts built from the characters the parsers care about, with a fixed seed so that a
// failure repeats.
class TestSupportRandom : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_capture.messages.clear(); }
    void iniRoundTrip();
    void numbers();
    void delimitedWords();

private:
    QByteArray randomBytes(int maxLength);
    QString randomText(int maxLength) { return QString::fromLatin1(randomBytes(maxLength)); }

    MessageCapture m_capture;
    QRandomGenerator m_random{20240611u};
};

QByteArray TestSupportRandom::randomBytes(int maxLength)
{
    static const QByteArray alphabet = bytes("[]=;,. \t\r\n\0\xff\xc3\xa9"
                                             "aAkK019+-eE&Hh");
    QByteArray result;
    const int length = m_random.bounded(maxLength + 1);
    for (int i = 0; i < length; ++i) {
        // Mostly the interesting characters, sometimes any byte at all.
        result.append(m_random.bounded(8) == 0 ? char(m_random.bounded(256))
                                               : alphabet[m_random.bounded(alphabet.size())]);
    }
    return result;
}

void TestSupportRandom::iniRoundTrip()
{
    const QString sections[] = {QStringLiteral("A"), QStringLiteral("a"), QStringLiteral("B")};
    const QString keys[] = {QStringLiteral("k"), QStringLiteral("K"), QStringLiteral("j")};
    for (int round = 0; round < 3000; ++round) {
        const QByteArray contents = randomBytes(120);
        const QString section = sections[m_random.bounded(3)];
        const QString key = keys[m_random.bounded(3)];
        QString value = QString::fromUtf8(randomBytes(20));
        value.remove(u'\r').remove(u'\n');
        value = value.trimmed();

        const QByteArray written = Ini::writeValue(contents, section, key, value);
        const std::optional<QString> readBack = Ini::readValue(written, section, key);
        QVERIFY2(readBack.has_value(), contents.toPercentEncoding().constData());
        QCOMPARE(*readBack, value);
        // Everything but that one key reads as before.
        const QString other = section == u"B" ? QStringLiteral("A") : QStringLiteral("B");
        QCOMPARE(Ini::readValue(written, other, key), Ini::readValue(contents, other, key));
        const QString otherKey = key == u"j" ? QStringLiteral("k") : QStringLiteral("j");
        QCOMPARE(Ini::readValue(written, section, otherKey),
                 Ini::readValue(contents, section, otherKey));
        // Every line ends with CR LF.
        QVERIFY(written.endsWith("\r\n"));
        QCOMPARE(written.count('\r'), written.count("\r\n"));
        QCOMPARE(written.count('\n'), written.count("\r\n"));
    }
}

void TestSupportRandom::numbers()
{
    static const QRegularExpression decimal(
        QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?"));
    for (int round = 0; round < 5000; ++round) {
        const QString text = randomText(30);
        const double number = LeadingNumber(text);
        QVERIFY(std::isfinite(number));

        // Where the whole leading part is an ordinary decimal number, it must be read exactly.
        QString packed = text;
        packed.remove(u' ').remove(u'\t').remove(u'\n');
        const QRegularExpressionMatch match = decimal.match(packed);
        if (match.hasMatch()) {
            bool ok = false;
            const double reference = match.captured(0).toDouble(&ok);
            if (ok && std::isfinite(reference))
                QCOMPARE(QString::number(number, 'g', 17), QString::number(reference, 'g', 17));
        }

        // An accepted whole number lies within a half of the text's value.
        if (const std::optional<qint16> whole = TextToInteger(text)) {
            bool ok = false;
            const double reference = text.trimmed().toDouble(&ok);
            QVERIFY2(ok, qPrintable(text));
            QVERIFY2(std::fabs(reference - *whole) <= 0.5, qPrintable(text));
        }
    }
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSupportRandom::delimitedWords()
{
    const QString delimiters[] = {QStringLiteral(","), QStringLiteral(" "), QStringLiteral("a")};
    for (int round = 0; round < 3000; ++round) {
        const QString text = randomText(25);
        const QString delimiter = delimiters[m_random.bounded(3)];
        const int number = m_random.bounded(-3, 10);
        // With one-character delimiters the words are exactly those of a split.
        const QStringList words = text.split(delimiter);
        const QString expected = text.isEmpty() ? QString() : words.value(qMax(number, 1) - 1);
        QCOMPARE(GetDelimitedWord(text, number, delimiter), expected);
        // Longer delimiters: never more than the text.
        QVERIFY(GetDelimitedWord(text, number, QStringLiteral("a,")).size() <= text.size());
    }
    QVERIFY(m_capture.messages.isEmpty());
}

QTEST_GUILESS_MAIN(TestSupportRandom)
#include "tst_supportrandom.moc"
