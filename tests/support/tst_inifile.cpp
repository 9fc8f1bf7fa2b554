#include "cIniFile.h"
#include "supporttest.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <limits>

class TestIniFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void readStr_data();
    void readStr();
    void readInt_data();
    void readInt();
    void readBool_data();
    void readBool();
    void readSingle_data();
    void readSingle();
    void write_data();
    void write();

    void fileName();
    void noFile();
    void writeRecreatesRemovedFile();

private:
    // A cIniFile on a new file holding the contents.
    QString makeFile(const QByteArray &contents);

    MessageCapture m_capture;
    QTemporaryDir m_dir;
    int m_fileCount = 0;
};

void TestIniFile::init()
{
    QVERIFY(m_dir.isValid());
    m_capture.messages.clear();
}

QString TestIniFile::makeFile(const QByteArray &contents)
{
    const QString path = m_dir.filePath(QStringLiteral("test%1.ini").arg(++m_fileCount));
    if (!writeFileContents(path, contents))
        return {};
    return path;
}

void TestIniFile::readStr_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("element");
    QTest::addColumn<QString>("expected");

    const QString d = QStringLiteral("DEF");
    const QByteArray abc = "[A]\r\nk=a,b,c\r\n";
    QTest::newRow("case-insensitive names")
        << QByteArray("[APPLICATION]\r\ncommport=3\r\n") << "Application"
        << "CommPort" << 0 << "3";
    QTest::newRow("empty value") << QByteArray("[A]\r\nk=\r\n") << "A"
                                 << "k" << 0 << d;
    QTest::newRow("blank value") << QByteArray("[A]\r\nk= \t \r\n") << "A"
                                 << "k" << 0 << d;
    QTest::newRow("missing key") << QByteArray("[A]\r\nj=1\r\n") << "A"
                                 << "k" << 0 << d;
    QTest::newRow("missing section") << QByteArray("[B]\r\nk=1\r\n") << "A"
                                     << "k" << 0 << d;
    QTest::newRow("key before sections") << QByteArray("k=1\r\n[A]\r\n") << "A"
                                         << "k" << 0 << d;
    QTest::newRow("key in other section") << QByteArray("[A]\r\n[B]\r\nk=1\r\n") << "A"
                                          << "k" << 0 << d;
    QTest::newRow("trimmed") << QByteArray("[ A ]\r\n k \t=  v w \t\r\n") << "A"
                             << "k" << 0 << "v w";
    QTest::newRow("first equals sign") << QByteArray("[A]\r\nk=a=b\r\n") << "A"
                                       << "k" << 0 << "a=b";
    QTest::newRow("comment skipped") << QByteArray("[A]\r\n;k=1\r\nk=2\r\n") << "A"
                                     << "k" << 0 << "2";
    QTest::newRow("first key wins") << QByteArray("[A]\r\nk=1\r\nk=2\r\n") << "A"
                                    << "k" << 0 << "1";
    QTest::newRow("first section wins") << QByteArray("[A]\r\nj=1\r\n[A]\r\nk=3\r\n") << "A"
                                        << "k" << 0 << d;
    QTest::newRow("LF line ends") << QByteArray("[A]\nj=1\nk=2\n") << "A"
                                  << "k" << 0 << "2";
    QTest::newRow("CR line ends") << QByteArray("[A]\rj=1\rk=2") << "A"
                                  << "k" << 0 << "2";
    QTest::newRow("UTF-8") << QByteArray("[A]\r\nk=d\xc3\xa9\r\n") << "A"
                           << "k" << 0 << QStringView(u"d\u00e9").toString();
    QTest::newRow("NUL ends value") << bytes("[A]\r\nk=ab\0cd\r\n") << "A"
                                    << "k" << 0 << "ab";
    QTest::newRow("cut to 253") << "[A]\r\nk=" + QByteArray(300, 'x') << "A"
                                << "k" << 0 << QString(253, u'x');
    QTest::newRow("garbage around")
        << bytes("\0\xff\xfe\r\n[A]\r\n\x01\x02=\x03\r\n\xff=\xfe\r\nk=1\r\n") << "A"
        << "k" << 0 << "1";
    QTest::newRow("megabyte line") << "[A]\r\n" + QByteArray(1 << 20, '=') + "\r\nk=1"
                                   << "A"
                                   << "k" << 0 << "1";
    QTest::newRow("element 1") << abc << "A"
                               << "k" << 1 << "a";
    QTest::newRow("element 3") << abc << "A"
                               << "k" << 3 << "c";
    QTest::newRow("element 4") << abc << "A"
                               << "k" << 4 << d;
    QTest::newRow("element -1") << abc << "A"
                                << "k" << -1 << d;
    QTest::newRow("empty element") << QByteArray("[A]\r\nk=a,,c\r\n") << "A"
                                   << "k" << 2 << "";
    QTest::newRow("trailing comma") << QByteArray("[A]\r\nk=a,b,\r\n") << "A"
                                    << "k" << 3 << "";
    QTest::newRow("blank kept") << QByteArray("[A]\r\nk=a, b\r\n") << "A"
                                << "k" << 2 << " b";
    QTest::newRow("element of default") << QByteArray() << "A"
                                        << "k" << 1 << d;
}

void TestIniFile::readStr()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(int, element);
    QFETCH(QString, expected);
    cIniFile ini;
    ini.setFileName(makeFile(contents));
    QVERIFY(!ini.FileName().isEmpty());
    QCOMPARE(ini.ReadIniStr(section, key, QStringLiteral("DEF"), qint16(element)), expected);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestIniFile::readInt_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("overflow");

    QTest::newRow("number") << QByteArray("k=123") << 123 << false;
    QTest::newRow("negative") << QByteArray("k=-5") << -5 << false;
    QTest::newRow("leading integer") << QByteArray("k=12abc") << 12 << false;
    QTest::newRow("fraction cut") << QByteArray("k=12.9") << 12 << false;
    QTest::newRow("no digits") << QByteArray("k=abc") << 0 << false;
    QTest::newRow("empty") << QByteArray("k=") << 0 << false;
    QTest::newRow("missing") << QByteArray("j=1") << 7 << false;
    QTest::newRow("largest") << QByteArray("k=32767") << 32767 << false;
    QTest::newRow("smallest") << QByteArray("k=-32768") << -32768 << false;
    QTest::newRow("too large") << QByteArray("k=32768") << 0 << true;
    QTest::newRow("too small") << QByteArray("k=-32769") << 0 << true;
    QTest::newRow("very long") << QByteArray("k=99999999999999999999999999") << 0 << true;
}

void TestIniFile::readInt()
{
    QFETCH(QByteArray, line);
    QFETCH(int, expected);
    QFETCH(bool, overflow);
    cIniFile ini;
    ini.setFileName(makeFile("[A]\r\n" + line + "\r\n"));
    QCOMPARE(int(ini.ReadIniInt(QStringLiteral("A"), QStringLiteral("k"), 7)), expected);
    QCOMPARE(m_capture.messages.size(), overflow ? 1 : 0);
    if (overflow) {
        QCOMPARE(m_capture.messages[0].title, QStringLiteral("ReadIniInt"));
        QCOMPARE(m_capture.messages[0].text, QStringLiteral("Error: 6. Overflow"));
    }
}

void TestIniFile::readBool_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("defaultText");
    QTest::addColumn<bool>("expected");

    QTest::newRow("yes") << QByteArray("k=yes") << "FALSE" << true;
    QTest::newRow("On") << QByteArray("k=On") << "FALSE" << true;
    QTest::newRow("1") << QByteArray("k=1") << "FALSE" << true;
    QTest::newRow("true") << QByteArray("k=tRuE") << "FALSE" << true;
    QTest::newRow("no") << QByteArray("k=no") << "TRUE" << false;
    QTest::newRow("2") << QByteArray("k=2") << "TRUE" << false;
    QTest::newRow("empty ignores default") << QByteArray("k=") << "TRUE" << false;
    QTest::newRow("missing, default true") << QByteArray("j=no") << "true" << true;
    QTest::newRow("missing, default yes") << QByteArray("j=no") << "Yes" << true;
    QTest::newRow("missing, default no") << QByteArray("j=yes") << "no" << false;
    QTest::newRow("missing, empty default") << QByteArray("j=yes") << "" << false;
}

void TestIniFile::readBool()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, defaultText);
    QFETCH(bool, expected);
    cIniFile ini;
    ini.setFileName(makeFile("[A]\r\n" + line + "\r\n"));
    QCOMPARE(ini.ReadIniBool(QStringLiteral("a"), QStringLiteral("K"), defaultText), expected);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestIniFile::readSingle_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<float>("expected");

    QTest::newRow("fraction") << QByteArray("k=1.5") << 1.5f;
    QTest::newRow("blanks skipped") << QByteArray("k=2 5.25") << 25.25f;
    QTest::newRow("exponent") << QByteArray("k=1e3") << 1000.0f;
    QTest::newRow("no number") << QByteArray("k=abc") << 0.0f;
    QTest::newRow("empty") << QByteArray("k=") << -2.5f;
    QTest::newRow("missing") << QByteArray("j=1") << -2.5f;
    QTest::newRow("beyond float") << QByteArray("k=1e100") << std::numeric_limits<float>::max();
}

void TestIniFile::readSingle()
{
    QFETCH(QByteArray, line);
    QFETCH(float, expected);
    cIniFile ini;
    ini.setFileName(makeFile("[A]\r\n" + line + "\r\n"));
    QCOMPARE(ini.ReadIniSingle(QStringLiteral("A"), QStringLiteral("k"), -2.5f), expected);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestIniFile::write_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("in place") << QByteArray("[A]\r\nk=1\r\nj=2\r\n") << "k"
                              << "5" << QByteArray("[A]\r\nk=5\r\nj=2\r\n");
    QTest::newRow("in place, other case") << QByteArray("[a]\r\n K = 1 \r\n") << "k"
                                          << "5" << QByteArray("[a]\r\nk=5\r\n");
    QTest::newRow("new key before next section")
        << QByteArray("[A]\r\nj=1\r\n\r\n[B]\r\nk=1\r\n") << "k"
        << "5" << QByteArray("[A]\r\nj=1\r\nk=5\r\n\r\n[B]\r\nk=1\r\n");
    QTest::newRow("new key after comment") << QByteArray("[A]\r\nj=1\r\n; note\r\n") << "k"
                                           << "5" << QByteArray("[A]\r\nj=1\r\n; note\r\nk=5\r\n");
    QTest::newRow("new key in empty section") << QByteArray("[A]\r\n\r\n") << "k"
                                              << "5" << QByteArray("[A]\r\nk=5\r\n\r\n");
    QTest::newRow("new section") << QByteArray("[B]\r\nk=1\r\n") << "k"
                                 << "5" << QByteArray("[B]\r\nk=1\r\n[A]\r\nk=5\r\n");
    QTest::newRow("empty file") << QByteArray() << "k"
                                << "5" << QByteArray("[A]\r\nk=5\r\n");
    QTest::newRow("lines kept")
        << QByteArray("; top  \r\n[A]\r\n  odd line \t\r\nk=1\r\n[Ports]\r\nCOM1 = /dev/x \r\n")
        << "k"
        << "a b"
        << QByteArray("; top  \r\n[A]\r\n  odd line \t\r\nk=a b\r\n[Ports]\r\nCOM1 = /dev/x \r\n");
    QTest::newRow("LF only") << QByteArray("[A]\nk=1\n; c\n") << "k"
                             << "5" << QByteArray("[A]\r\nk=5\r\n; c\r\n");
    QTest::newRow("CR only") << QByteArray("[A]\rk=1\r\rx") << "k"
                             << "5" << QByteArray("[A]\r\nk=5\r\n\r\nx\r\n");
    QTest::newRow("no final line end") << QByteArray("[A]\r\nj=1") << "k"
                                       << "5" << QByteArray("[A]\r\nj=1\r\nk=5\r\n");
    QTest::newRow("first of duplicates")
        << QByteArray("[A]\r\nk=1\r\nk=2\r\n[A]\r\nk=3\r\n") << "k"
        << "5" << QByteArray("[A]\r\nk=5\r\nk=2\r\n[A]\r\nk=3\r\n");
    QTest::newRow("NUL and garbage kept") << bytes("\0\xff\r\n[A]\r\n\x01=\x02\r\n") << "k"
                                          << "5" << bytes("\0\xff\r\n[A]\r\n\x01=\x02\r\nk=5\r\n");
    QTest::newRow("key with equals sign refused") << QByteArray("[A]\r\n") << "a=b"
                                                  << "5" << QByteArray("[A]\r\n");
    QTest::newRow("value with line break refused") << QByteArray("[A]\r\n") << "k"
                                                   << "5\n[B]" << QByteArray("[A]\r\n");
}

void TestIniFile::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    const QString section = QStringLiteral("A");
    QCOMPARE(Ini::writeValue(before, section, key, value), after);

    cIniFile ini;
    const QString path = makeFile(before);
    ini.setFileName(path);
    const bool refused = after == before;
    QCOMPARE(ini.WriteIniStr(section, key, value), refused ? 0 : 1);
    QCOMPARE(fileContents(path), after);
    if (!refused)
        QCOMPARE(ini.ReadIniStr(section, key, QStringLiteral("DEF")), value);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestIniFile::fileName()
{
    cIniFile ini;
    QCOMPARE(ini.FileName(), QString());
    const QString path = makeFile("[A]\r\n");
    ini.setFileName(path);
    QCOMPARE(ini.FileName(), path);
    ini.setFileName(m_dir.filePath(QStringLiteral("missing.ini")));
    QCOMPARE(ini.FileName(), QString());
    ini.setFileName(m_dir.path());
    QCOMPARE(ini.FileName(), QString());
    QVERIFY(m_capture.messages.isEmpty());

    // A name that cannot be looked up at all is reported and leaves the name as it was.
    ini.setFileName(path);
    ini.setFileName(path + QChar(0) + QStringLiteral("x"));
    QCOMPARE(ini.FileName(), path);
    QCOMPARE(m_capture.messages.size(), 1);
    QCOMPARE(m_capture.messages[0].title, QStringLiteral("Property Let IniFile"));
}

void TestIniFile::noFile()
{
    cIniFile ini;
    ini.setFileName(m_dir.filePath(QStringLiteral("missing.ini")));
    const QString a = QStringLiteral("A");
    const QString k = QStringLiteral("k");
    QCOMPARE(ini.ReadIniStr(a, k, QStringLiteral("DEF")), QStringLiteral("DEF"));
    QCOMPARE(ini.ReadIniStr(a, k, QStringLiteral("x,y"), 2), QStringLiteral("x,y"));
    QCOMPARE(int(ini.ReadIniInt(a, k, 42)), 42);
    QCOMPARE(ini.ReadIniSingle(a, k, 1.25f), 1.25f);
    QCOMPARE(ini.ReadIniBool(a, k, QStringLiteral("on")), true);
    QCOMPARE(int(ini.WriteIniStr(a, k, QStringLiteral("1"))), 0);
    QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("missing.ini"))));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestIniFile::writeRecreatesRemovedFile()
{
    cIniFile ini;
    const QString path = makeFile("[A]\r\nk=1\r\n");
    ini.setFileName(path);
    QVERIFY(QFile::remove(path));
    QCOMPARE(int(ini.WriteIniStr(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"))),
             1);
    QCOMPARE(fileContents(path), QByteArray("[A]\r\nk=2\r\n"));
}

QTEST_MAIN(TestIniFile)
#include "tst_inifile.moc"
