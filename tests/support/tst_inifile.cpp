#include "cIniFile.h"
#include "supporttest.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestIniFile : public QObject
{
    Q_OBJECT

    MessageCapture m_capture;
    QTemporaryDir m_dir;
    int m_fileCount = 0;

    // A new file holding the contents.
    QString makeFile(const QByteArray &contents)
    {
        const QString path = m_dir.filePath(QStringLiteral("test%1.ini").arg(++m_fileCount));
        return writeFileContents(path, contents) ? path : QString();
    }
    cIniFile iniOn(const QByteArray &contents)
    {
        cIniFile ini;
        ini.setFileName(makeFile(contents));
        return ini;
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_capture.messages.clear();
    }

    // Key "k" of section "A", element 0 for the whole value, default "DEF".
    void readStr_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("element");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QByteArray &contents, int element,
                            const QString &expected) {
            QTest::newRow(name) << contents << element << expected;
        };
        row("case-insensitive names", "[a]\r\nK=3\r\n", 0, "3");
        row("empty value", "[A]\r\nk=\r\n", 0, "DEF");
        row("missing section", "[B]\r\nk=1\r\n", 0, "DEF");
        row("key in other section", "[A]\r\n[B]\r\nk=1\r\n", 0, "DEF");
        row("trimmed", "[ A ]\r\n k \t=  v w \t\r\n", 0, "v w");
        row("first equals sign", "[A]\r\nk=a=b\r\n", 0, "a=b");
        row("comment skipped", "[A]\r\n;k=1\r\nk=2\r\n", 0, "2");
        row("first key wins", "[A]\r\nk=1\r\nk=2\r\n", 0, "1");
        row("LF line ends", "[A]\nj=1\nk=2\n", 0, "2");
        row("CR line ends", "[A]\rj=1\rk=2", 0, "2");
        row("UTF-8", "[A]\r\nk=d\xc3\xa9\r\n", 0, QStringView(u"d\u00e9").toString());
        row("NUL ends value", bytes("[A]\r\nk=ab\0cd\r\n"), 0, "ab");
        row("cut to 253", "[A]\r\nk=" + QByteArray(300, 'x'), 0, QString(253, u'x'));
        row("element 3", "[A]\r\nk=a,b,c\r\n", 3, "c");
        row("element past the last", "[A]\r\nk=a,b,c\r\n", 4, "DEF");
        row("element -1", "[A]\r\nk=a,b,c\r\n", -1, "DEF");
        row("empty element", "[A]\r\nk=a,,c\r\n", 2, "");
        row("trailing comma", "[A]\r\nk=a,b,\r\n", 3, "");
        row("blank kept", "[A]\r\nk=a, b\r\n", 2, " b");
    }
    void readStr()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, element);
        QFETCH(QString, expected);
        cIniFile ini = iniOn(contents);
        QVERIFY(!ini.FileName().isEmpty());
        QCOMPARE(ini.ReadIniStr("A", "k", QStringLiteral("DEF"), qint16(element)), expected);
        QVERIFY(m_capture.messages.isEmpty());
    }

    // The typed readers on key "k" of section "A"; message is "title: text" of one reported.
    void readTyped_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QString>("defaultText");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *line, const char *reader, const char *defaultText,
                            const char *expected, const char *message = "") {
            QTest::addRow("%s %s, default %s", reader, line, defaultText)
                << QByteArray(line) << QString(reader) << QString(defaultText) << QString(expected)
                << QString(message);
        };
        row("k=12abc", "int", "7", "12");
        row("k=12.9", "int", "7", "12");
        row("k=", "int", "7", "0");
        row("j=1", "int", "7", "7");
        row("k=32767", "int", "7", "32767");
        row("k=-32768", "int", "7", "-32768");
        const char *overflow = "ReadIniInt: Error: 6. Overflow";
        row("k=32768", "int", "7", "0", overflow);
        row("k=-32769", "int", "7", "0", overflow);
        row("k=99999999999999999999999999", "int", "7", "0", overflow);
        row("k=yes", "bool", "FALSE", "1");
        row("k=On", "bool", "FALSE", "1");
        row("k=1", "bool", "FALSE", "1");
        row("k=tRuE", "bool", "FALSE", "1");
        row("k=2", "bool", "TRUE", "0");
        row("k=", "bool", "TRUE", "0");
        row("j=no", "bool", "true", "1");
        row("j=yes", "bool", "no", "0");
        row("k=2 5.25", "single", "-2.5", "25.25");
        row("k=1e3", "single", "-2.5", "1000");
        row("k=", "single", "-2.5", "-2.5");
        row("k=1e100", "single", "-2.5", "3.40282e+38");
    }
    void readTyped()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, reader);
        QFETCH(QString, defaultText);
        QFETCH(QString, expected);
        QFETCH(QString, message);
        cIniFile ini = iniOn("[A]\r\n" + line + "\r\n");
        QString value;
        if (reader == "int")
            value = QString::number(ini.ReadIniInt("a", "K", qint16(defaultText.toInt())));
        else if (reader == "bool")
            value = QString::number(ini.ReadIniBool("a", "K", defaultText));
        else
            value = QString::number(ini.ReadIniSingle("a", "K", defaultText.toFloat()));
        QCOMPARE(value, expected);
        QStringList shown;
        for (const auto &m : m_capture.messages)
            shown << m.title + ": " + m.text;
        QCOMPARE(shown, message.isEmpty() ? QStringList() : QStringList{message});
    }

    // Writes key "k" (or another) of section "A"; an unchanged file means the write is refused.
    void write_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");
        const auto row = [](const char *name, const QByteArray &before, const char *key,
                            const char *value, const QByteArray &after) {
            QTest::newRow(name) << before << QString(key) << QString(value) << after;
        };
        row("in place", "[A]\r\nk=1\r\nj=2\r\n", "k", "5", "[A]\r\nk=5\r\nj=2\r\n");
        row("in place, other case", "[a]\r\n K = 1 \r\n", "k", "5", "[a]\r\nk=5\r\n");
        row("new key at end of section", "[A]\r\nj=1\r\n; c\r\n\r\n[B]\r\nk=1\r\n", "k", "5",
            "[A]\r\nj=1\r\n; c\r\nk=5\r\n\r\n[B]\r\nk=1\r\n");
        row("new section at end", "[B]\r\nk=1\r\n", "k", "5", "[B]\r\nk=1\r\n[A]\r\nk=5\r\n");
        row("empty file", "", "k", "5", "[A]\r\nk=5\r\n");
        row("lines kept", "; top  \r\n[A]\r\n  odd line \t\r\nk=1\r\n[P]\r\nC = /dev/x \r\n", "k",
            "a b", "; top  \r\n[A]\r\n  odd line \t\r\nk=a b\r\n[P]\r\nC = /dev/x \r\n");
        row("LF only", "[A]\nk=1\n; c\n", "k", "5", "[A]\r\nk=5\r\n; c\r\n");
        row("CR only", "[A]\rk=1\r\rx", "k", "5", "[A]\r\nk=5\r\n\r\nx\r\n");
        row("no final line end", "[A]\r\nj=1", "k", "5", "[A]\r\nj=1\r\nk=5\r\n");
        row("first of duplicates", "[A]\r\nk=1\r\nk=2\r\n[A]\r\nk=3\r\n", "k", "5",
            "[A]\r\nk=5\r\nk=2\r\n[A]\r\nk=3\r\n");
        row("key with equals sign refused", "[A]\r\n", "a=b", "5", "[A]\r\n");
        row("value with line break refused", "[A]\r\n", "k", "5\n[B]", "[A]\r\n");
    }
    void write()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        QCOMPARE(Ini::writeValue(before, "A", key, value), after);
        const QString path = makeFile(before);
        cIniFile ini;
        ini.setFileName(path);
        const bool refused = after == before;
        QCOMPARE(ini.WriteIniStr("A", key, value), refused ? 0 : 1);
        QCOMPARE(fileContents(path), after);
        if (!refused)
            QCOMPARE(ini.ReadIniStr("A", key, QStringLiteral("DEF")), value);
        QVERIFY(m_capture.messages.isEmpty());
    }

    void fileName()
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

    void noFile()
    {
        cIniFile ini;
        ini.setFileName(m_dir.filePath(QStringLiteral("missing.ini")));
        QCOMPARE(ini.ReadIniStr("A", "k", QStringLiteral("x,y"), 2), QStringLiteral("x,y"));
        QCOMPARE(int(ini.ReadIniInt("A", "k", 42)), 42);
        QCOMPARE(ini.ReadIniBool("A", "k", QStringLiteral("on")), true);
        QCOMPARE(int(ini.WriteIniStr("A", "k", QStringLiteral("1"))), 0);
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("missing.ini"))));
        QVERIFY(m_capture.messages.isEmpty());
    }

    void writeRecreatesRemovedFile()
    {
        const QString path = makeFile("[A]\r\nk=1\r\n");
        cIniFile ini;
        ini.setFileName(path);
        QVERIFY(QFile::remove(path));
        QCOMPARE(int(ini.WriteIniStr("A", "k", QStringLiteral("2"))), 1);
        QCOMPARE(fileContents(path), QByteArray("[A]\r\nk=2\r\n"));
    }
};

QTEST_MAIN(TestIniFile)
#include "tst_inifile.moc"
