#include "modFileUtil.h"
#include "modUtil.h"
#include "supporttest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <limits>

class TestTextUtil : public QObject
{
    Q_OBJECT

    MessageCapture m_capture;
    QTemporaryDir m_dir;

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_capture.messages.clear();
    }
    void cleanup()
    {
        SetProgramDirectoryOverride(QString());
        QVERIFY(m_capture.messages.isEmpty());
    }

    void delimitedWord_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("delimiter");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *text, int number, const char *delimiter,
                            const char *expected) {
            QTest::addRow("\"%s\" %d \"%s\"", text, number, delimiter)
                << QString(text) << number << QString(delimiter) << QString(expected);
        };
        row("2 46", 2, " ", "46");
        row("2 46", 3, " ", "");
        row("a,,c", 2, ",", "");
        row("a,,c", 3, ",", "c");
        row(" 1, 3", 0, ",", " 1");
        row("1, 3, 46", -5, ",", "1");
        row("a,b", std::numeric_limits<int>::max(), ",", "");
        row("a,", 2, ",", "");
        row("abc", 1, ",", "abc");
        row("", 2, ",", "");
        row("aXbxc", 2, "x", "c");
        row("a<>b<>c", 1, "<>", "a");
        row("a<>b<>c", 3, "<>", ">c");
        row("xaaay", 3, "aa", "ay");
        row("abc", 2, "", "");
    }
    void delimitedWord()
    {
        QFETCH(QString, text);
        QFETCH(int, number);
        QFETCH(QString, delimiter);
        QFETCH(QString, expected);
        QCOMPARE(GetDelimitedWord(text, number, delimiter), expected);
    }

    void pathParts_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("pathPart");
        QTest::addColumn<QString>("namePart");
        // "|" stands for the platform's separator.
        const auto row = [](const char *path, const char *dir, const char *name) {
            QTest::addRow("\"%s\"", path) << QString(path) << QString(dir) << QString(name);
        };
        row("|data|a.cfg", "|data|", "a.cfg");
        row("a.cfg", "", "a.cfg");
        row("|data|", "|data|", "");
        row("|", "|", "");
        row("", "", "");
    }
    void pathParts()
    {
        QFETCH(QString, path);
        QFETCH(QString, pathPart);
        QFETCH(QString, namePart);
        const QString sep(DirSeparator());
        path.replace(u'|', sep);
        QCOMPARE(GetPathPart(path), pathPart.replace(u'|', sep));
        QCOMPARE(GetNamePart(path), namePart);
        QCOMPARE(GetPathPart(path) + GetNamePart(path), path);
    }

    void tooLongPath()
    {
        const QString longest = QString(32766, u'a') + DirSeparator();
        QCOMPARE(GetPathPart(longest), longest);
        QVERIFY(m_capture.messages.isEmpty());
        QCOMPARE(GetPathPart(longest + u'b'), QString());
        QCOMPARE(GetNamePart(longest + u'b'), QString());
        QCOMPARE(m_capture.messages.size(), 2);
        QCOMPARE(m_capture.messages[0].title, QStringLiteral("GetPathPart"));
        QCOMPARE(m_capture.messages[1].title, QStringLiteral("GetNamePart"));
        QVERIFY(m_capture.messages[0].text.startsWith(u"Error: "));
        m_capture.messages.clear();
    }

    void fileExistsAndKill()
    {
        const QString file = m_dir.filePath(QStringLiteral("present.txt"));
        QVERIFY(writeFileContents(file, "x"));
        QVERIFY(FileExists(file));
        QVERIFY(!FileExists(QString()));
        QVERIFY(!FileExists(m_dir.path()));
        QVERIFY(KillFile(file));
        QVERIFY(!FileExists(file));
        QVERIFY(KillFile(file));
        QVERIFY(KillFile(m_dir.filePath(QStringLiteral("no/such/dir/file"))));
    }

    void appendCreatesAndAppends()
    {
        const QString file = m_dir.filePath(QStringLiteral("new.txt"));
        QVERIFY(AppendToTextFile(file, QStringLiteral("[Application]")));
        QCOMPARE(fileContents(file), QByteArray("[Application]\r\n"));
        QVERIFY(AppendToTextFile(file, QStringView(u"d\u00e9f").toString()));
        QCOMPARE(fileContents(file), QByteArray("[Application]\r\nd\xc3\xa9"
                                                "f\r\n"));
    }

    void appendFailure_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("number");
        QTest::newRow("missing directory") << "missing/file.txt" << ErrorNumber::PathNotFound;
        QTest::newRow("a directory") << "folder" << ErrorNumber::PathFileAccess;
    }
    void appendFailure()
    {
        QFETCH(QString, where);
        QFETCH(int, number);
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder")));
        QVERIFY(!AppendToTextFile(m_dir.filePath(where), QStringLiteral("line")));
        QCOMPARE(m_capture.messages.size(), 1);
        QCOMPARE(m_capture.messages[0].title, QStringLiteral("AppendToTextFile"));
        const QString text = m_capture.messages.takeFirst().text;
        const QString prefix = QStringLiteral("Error: %1. ").arg(number);
        QVERIFY2(text.startsWith(prefix) && text.size() > prefix.size(), qPrintable(text));
    }

    void replaceFileAtomically()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("atomic.ini"));
        QVERIFY(ReplaceFileAtomically(file, "first"));
        QVERIFY(ReplaceFileAtomically(file, "second"));
        QCOMPARE(fileContents(file), QByteArray("second"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"atomic.ini"});
        QString why;
        QVERIFY(!ReplaceFileAtomically(dir.filePath(QStringLiteral("no/a.ini")), "x", &why));
        QVERIFY(!why.isEmpty());
    }

    void programDirectory_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("expected");
        QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/");
        QTest::newRow("no separator") << QStringLiteral("/tmp/rv") << QStringLiteral("/tmp/rv/");
        QTest::newRow("several") << QStringLiteral("/tmp/rv//") << QStringLiteral("/tmp/rv/");
    }
    void programDirectory()
    {
        QFETCH(QString, directory);
        QFETCH(QString, expected);
        SetProgramDirectoryOverride(QDir::toNativeSeparators(directory));
        expected = QDir::toNativeSeparators(expected);
        QCOMPARE(ProgramDirectory(), expected);
    }

    void programDirectoryWithoutOverride()
    {
        SetProgramDirectoryOverride(QStringLiteral("/somewhere/else"));
        SetProgramDirectoryOverride(QString());
        const QString path = GetAppFullPath();
        QCOMPARE(path, QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
        QCOMPARE(ProgramDirectory(), GetPathPart(path));
        QCOMPARE(GetNamePart(path), QFileInfo(path).fileName());
    }
};

QTEST_MAIN(TestTextUtil)
#include "tst_textutil.moc"
