#include "errormessage.h"
#include "modFileUtil.h"
#include "modUtil.h"
#include "supporttest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <new>

class TestTextUtil : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void delimitedWord_data();
    void delimitedWord();
    void pathParts_data();
    void pathParts();
    void tooLongPath();

    void errorMessageText();
    void fileExists();
    void killFile();
    void appendCreatesAndAppends();
    void appendFailure_data();
    void appendFailure();
    void replaceFileAtomically();

    void programDirectory_data();
    void programDirectory();
    void programDirectoryWithoutOverride();
    void appFullPath();

private:
    MessageCapture m_capture;
    QTemporaryDir m_dir;
};

void TestTextUtil::init()
{
    QVERIFY(m_dir.isValid());
    m_capture.messages.clear();
}

void TestTextUtil::cleanup()
{
    SetProgramDirectoryOverride(QString());
}

void TestTextUtil::delimitedWord_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("delimiter");
    QTest::addColumn<QString>("expected");

    QTest::newRow("reply word 1") << "2 46" << 1 << " "
                                  << "2";
    QTest::newRow("reply word 2") << "2 46" << 2 << " "
                                  << "46";
    QTest::newRow("past the last word") << "2 46" << 3 << " "
                                        << "";
    QTest::newRow("empty middle word") << "a,,c" << 2 << ","
                                       << "";
    QTest::newRow("after empty word") << "a,,c" << 3 << ","
                                      << "c";
    QTest::newRow("blanks kept") << "1, 3, 46" << 2 << ","
                                 << " 3";
    QTest::newRow("word 0") << "1, 3, 46" << 0 << ","
                            << "1";
    QTest::newRow("word -5") << "1, 3, 46" << -5 << ","
                             << "1";
    QTest::newRow("largest number") << "a,b" << std::numeric_limits<int>::max() << ","
                                    << "";
    QTest::newRow("delimiter first") << ",a" << 1 << ","
                                     << "";
    QTest::newRow("delimiter last") << "a," << 2 << ","
                                    << "";
    QTest::newRow("no delimiter") << "abc" << 1 << ","
                                  << "abc";
    QTest::newRow("empty text") << "" << 1 << ","
                                << "";
    QTest::newRow("empty text word 2") << "" << 2 << ","
                                       << "";
    QTest::newRow("case-sensitive") << "aXbxc" << 2 << "x"
                                    << "c";
    QTest::newRow("multi-char word 1") << "a<>b<>c" << 1 << "<>"
                                       << "a";
    QTest::newRow("multi-char keeps rest") << "a<>b<>c" << 2 << "<>"
                                           << ">b";
    QTest::newRow("multi-char last") << "a<>b<>c" << 3 << "<>"
                                     << ">c";
    QTest::newRow("overlapping delimiter") << "xaaay" << 2 << "aa"
                                           << "";
    QTest::newRow("overlapping delimiter 3") << "xaaay" << 3 << "aa"
                                             << "ay";
    QTest::newRow("empty delimiter word 1") << "abc" << 1 << ""
                                            << "abc";
    QTest::newRow("empty delimiter word 2") << "abc" << 2 << ""
                                            << "";
}

void TestTextUtil::delimitedWord()
{
    QFETCH(QString, text);
    QFETCH(int, number);
    QFETCH(QString, delimiter);
    QFETCH(QString, expected);
    QCOMPARE(GetDelimitedWord(text, number, delimiter), expected);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestTextUtil::pathParts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("pathPart");
    QTest::addColumn<QString>("namePart");

    // "|" stands for the platform's separator.
    QTest::newRow("full path") << "|data|pockets.cfg"
                               << "|data|"
                               << "pockets.cfg";
    QTest::newRow("bare name") << "pockets.cfg"
                               << ""
                               << "pockets.cfg";
    QTest::newRow("ends with separator") << "|data|"
                                         << "|data|"
                                         << "";
    QTest::newRow("root") << "|"
                          << "|"
                          << "";
    QTest::newRow("relative") << "a|b|c"
                              << "a|b|"
                              << "c";
    QTest::newRow("double separator") << "a||b"
                                      << "a||"
                                      << "b";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
}

void TestTextUtil::pathParts()
{
    QFETCH(QString, path);
    QFETCH(QString, pathPart);
    QFETCH(QString, namePart);
    const QString sep(DirSeparator());
    path.replace(u'|', sep);
    pathPart.replace(u'|', sep);
    namePart.replace(u'|', sep);

    QCOMPARE(GetPathPart(path), pathPart);
    QCOMPARE(GetNamePart(path), namePart);
    QCOMPARE(GetPathPart(path) + GetNamePart(path), path);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestTextUtil::tooLongPath()
{
    const QString longest = QString(32766, u'a') + DirSeparator();
    QCOMPARE(GetPathPart(longest), longest);
    QVERIFY(m_capture.messages.isEmpty());

    const QString tooLong = longest + u'b';
    QCOMPARE(GetPathPart(tooLong), QString());
    QCOMPARE(GetNamePart(tooLong), QString());
    QCOMPARE(m_capture.messages.size(), 2);
    QCOMPARE(m_capture.messages[0].title, QStringLiteral("GetPathPart"));
    QCOMPARE(m_capture.messages[1].title, QStringLiteral("GetNamePart"));
    QVERIFY(m_capture.messages[0].text.startsWith(u"Error: "));
}

void TestTextUtil::errorMessageText()
{
    QCOMPARE(ErrorMessageText(53, QStringLiteral("File not found")),
             QStringLiteral("Error: 53. File not found"));
    ShowErrorMessage(QStringLiteral("Proc"), 70, QStringLiteral("Permission denied"));
    try {
        throw std::bad_alloc();
    } catch (...) {
        ShowCurrentExceptionMessage(QStringLiteral("Other"));
    }
    QCOMPARE(m_capture.messages.size(), 2);
    QCOMPARE(m_capture.messages[0].title, QStringLiteral("Proc"));
    QCOMPARE(m_capture.messages[0].text, QStringLiteral("Error: 70. Permission denied"));
    QCOMPARE(m_capture.messages[1].title, QStringLiteral("Other"));
    QCOMPARE(m_capture.messages[1].text, QStringLiteral("Error: 7. Out of memory"));
}

void TestTextUtil::fileExists()
{
    const QString file = m_dir.filePath(QStringLiteral("present.txt"));
    QVERIFY(writeFileContents(file, "x"));
    QVERIFY(FileExists(file));
    QVERIFY(!FileExists(QString()));
    QVERIFY(!FileExists(m_dir.path()));
    QVERIFY(!FileExists(m_dir.filePath(QStringLiteral("missing.txt"))));
    QVERIFY(!FileExists(m_dir.filePath(QStringLiteral("missing/present.txt"))));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestTextUtil::killFile()
{
    const QString file = m_dir.filePath(QStringLiteral("doomed.txt"));
    QVERIFY(writeFileContents(file, "x"));
    QVERIFY(KillFile(file));
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(KillFile(file));
    QVERIFY(KillFile(QString()));
    QVERIFY(KillFile(m_dir.filePath(QStringLiteral("no/such/dir/file"))));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestTextUtil::appendCreatesAndAppends()
{
    const QString file = m_dir.filePath(QStringLiteral("new.txt"));
    QVERIFY(AppendToTextFile(file, QStringLiteral("[Application]")));
    QCOMPARE(fileContents(file), QByteArray("[Application]\r\n"));
    QVERIFY(AppendToTextFile(file, QStringView(u"d\u00e9f").toString()));
    QVERIFY(AppendToTextFile(file, QString()));
    QCOMPARE(fileContents(file), QByteArray("[Application]\r\nd\xc3\xa9"
                                            "f\r\n\r\n"));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestTextUtil::appendFailure_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("number");

    QTest::newRow("missing directory") << "missing/file.txt" << ErrorNumber::PathNotFound;
    QTest::newRow("under a regular file") << "plain.txt/file.txt" << ErrorNumber::PathNotFound;
    QTest::newRow("a directory") << "folder" << ErrorNumber::PathFileAccess;
    QTest::newRow("read-only directory") << "readonly/file.txt" << ErrorNumber::PermissionDenied;
}

void TestTextUtil::appendFailure()
{
    QFETCH(QString, where);
    QFETCH(int, number);
    QVERIFY(writeFileContents(m_dir.filePath(QStringLiteral("plain.txt")), "x"));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder")));
    const QString readOnly = m_dir.filePath(QStringLiteral("readonly"));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("readonly")));
    QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (where.startsWith(u"readonly") && !permissionBitsApply())
        QSKIP("Running as root: permission bits do not stop writes");

    const QString file = m_dir.filePath(where);
    QVERIFY(!AppendToTextFile(file, QStringLiteral("line")));
    QCOMPARE(m_capture.messages.size(), 1);
    QCOMPARE(m_capture.messages[0].title, QStringLiteral("AppendToTextFile"));
    const QString prefix =
        QStringLiteral("Error: ") + QString::number(number) + QStringLiteral(". ");
    QVERIFY2(m_capture.messages[0].text.startsWith(prefix), qPrintable(m_capture.messages[0].text));
    QVERIFY(m_capture.messages[0].text.size() > prefix.size());
    QVERIFY(!QFileInfo(file).isFile());
}

void TestTextUtil::replaceFileAtomically()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("atomic.ini"));
    QString why;
    QVERIFY(ReplaceFileAtomically(file, "first", &why));
    QCOMPARE(fileContents(file), QByteArray("first"));
    QVERIFY(ReplaceFileAtomically(file, "second"));
    QCOMPARE(fileContents(file), QByteArray("second"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("atomic.ini")});

    const QString nowhere = dir.filePath(QStringLiteral("missing/atomic.ini"));
    QVERIFY(!ReplaceFileAtomically(nowhere, "x", &why));
    QVERIFY(!why.isEmpty());
    QVERIFY(!QFileInfo::exists(nowhere));

    if (permissionBitsApply()) {
        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner));
        why.clear();
        QVERIFY(!ReplaceFileAtomically(file, "third", &why));
        QCOMPARE(why, QStringLiteral("Permission denied"));
        QCOMPARE(fileContents(file), QByteArray("second"));
    }
    QVERIFY(m_capture.messages.isEmpty());
}

void TestTextUtil::programDirectory_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("expected");

    QTest::newRow("root") << "/"
                          << "/";
    QTest::newRow("no separator") << "/tmp/rv"
                                  << "/tmp/rv/";
    QTest::newRow("one separator") << "/tmp/rv/"
                                   << "/tmp/rv/";
    QTest::newRow("several separators") << "/tmp/rv//"
                                        << "/tmp/rv/";
}

void TestTextUtil::programDirectory()
{
    QFETCH(QString, directory);
    QFETCH(QString, expected);
    SetProgramDirectoryOverride(QDir::toNativeSeparators(directory));
    expected = QDir::toNativeSeparators(expected);
    QCOMPARE(ProgramDirectory(), expected);
    QCOMPARE(ResolveInProgramDirectory(QStringLiteral("RV360.cfg")),
             expected + QStringLiteral("RV360.cfg"));
    const QString relative = QStringLiteral("sub") + DirSeparator() + QStringLiteral("a.cfg");
    QCOMPARE(ResolveInProgramDirectory(relative), relative);
    const QString absolute = m_dir.filePath(QStringLiteral("a.cfg"));
    QCOMPARE(ResolveInProgramDirectory(absolute), absolute);
}

void TestTextUtil::programDirectoryWithoutOverride()
{
    SetProgramDirectoryOverride(QStringLiteral("/somewhere/else"));
    SetProgramDirectoryOverride(QString());
    const QString directory = ProgramDirectory();
    QVERIFY(directory.endsWith(DirSeparator()));
    QVERIFY(!directory.endsWith(QString(2, DirSeparator())));
    QVERIFY(QFileInfo(directory).isDir());
}

void TestTextUtil::appFullPath()
{
    const QString path = GetAppFullPath();
    QCOMPARE(path, QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
    QVERIFY(FileExists(path));
    QCOMPARE(GetNamePart(path), QFileInfo(path).fileName());
}

QTEST_MAIN(TestTextUtil)
#include "tst_textutil.moc"
