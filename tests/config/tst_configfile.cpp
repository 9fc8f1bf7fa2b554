#include "cFileDialog.h"
#include "configfile.h"
#include "configfiledialog.h"
#include "errormessage.h"
#include "layoutfixture.h"
#include "modFileUtil.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

namespace
{
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}
} // namespace

class TestConfigFile : public QObject
{
    Q_OBJECT

    QTemporaryDir programDir;
    QTemporaryDir elsewhere;
    QStringList messages;
    // What the scripted dialog saw, and what it answers.
    QString shownTitle, shownName, shownDir, shownFilter, shownExt;
    qint32 shownFlags = 0;
    bool shownOpen = false;
    QString answer; // full path chosen; empty: cancel

private Q_SLOTS:
    void init()
    {
        SetProgramDirectoryOverride(programDir.path());
        SetErrorMessageHandler(
            [this](const QString &title, const QString &text) { messages << title + ": " + text; });
        cFileDialog::SetShowHandler([this](cFileDialog &dialog, bool fOpen) {
            shownTitle = dialog.DialogTitle();
            shownName = dialog.FileName();
            shownDir = dialog.InitialDir();
            shownFilter = dialog.Filter();
            shownExt = dialog.DefaultExt();
            shownFlags = dialog.Flags();
            shownOpen = fOpen;
            if (answer.isEmpty())
                return false;
            dialog.setFileName(answer);
            return true;
        });
        messages.clear();
        ConfigFile = QStringLiteral("RV360.cfg");
        answer.clear();
    }
    void cleanup()
    {
        cFileDialog::SetShowHandler({});
        SetErrorMessageHandler({});
        SetProgramDirectoryOverride({});
    }

    void startUpTableIsSavedAsEightLines()
    {
        LayoutFixture f;
        answer = programDir.filePath("start.cfg");
        SaveConfigFile(f.table, nullptr);
        QCOMPARE(readAll(answer), QByteArray("1, 3, 1\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n"
                                             "5, 3, 1\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n"));
        QVERIFY(messages.isEmpty());
    }

    void saveThenOpenGivesTheSameTable()
    {
        LayoutFixture saved;
        const QList<QPair<int, int>> layout = {{0, 0},  {1, 359}, {2, 90},  {0, 45},
                                               {3, 12}, {1, 1},   {2, 358}, {0, 180}};
        for (int row = 0; row < 8; ++row)
            saved.set(row, layout[row].first, layout[row].second);
        answer = elsewhere.filePath("layout.cfg");
        SaveConfigFile(saved.table, nullptr);
        LayoutFixture opened;
        OpenConfigFile(opened.table, nullptr);
        QCOMPARE(opened.rows(), saved.rows());
        QCOMPARE(shownName, answer); // the last file is proposed next time
    }

    void dialogSetUp_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("proposed");
        QTest::newRow("default") << "RV360.cfg"
                                 << "RV360.cfg";
        QTest::newRow("bare base name") << "pockets"
                                        << "pockets.cfg";
        QTest::newRow("dot in a folder name") << "/data/v1.2/pockets"
                                              << "/data/v1.2/pockets";
        QTest::newRow("empty") << ""
                               << "";
    }
    void dialogSetUp()
    {
        QFETCH(QString, setting);
        QFETCH(QString, proposed);
        LayoutFixture f;
        for (const bool open : {true, false}) {
            ConfigFile = setting;
            if (open)
                OpenConfigFile(f.table, nullptr);
            else
                SaveConfigFile(f.table, nullptr);
            QCOMPARE(shownOpen, open);
            QCOMPARE(shownTitle, open ? QStringLiteral("Open Config File")
                                      : QStringLiteral("Save Config File"));
            QCOMPARE(shownName, proposed);
            QCOMPARE(shownDir, ProgramDirectory());
            QCOMPARE(shownFilter, QStringLiteral("Log files (*.cfg)|*.cfg"));
            QCOMPARE(shownExt, QStringLiteral("cfg"));
            QCOMPARE(shownFlags, 2054);
            // Cancelled: nothing changes.
            QCOMPARE(ConfigFile, setting);
        }
    }

    void chosenFileIsRemembered_data()
    {
        QTest::addColumn<bool>("inProgramDir");
        QTest::addColumn<bool>("otherCase");
        QTest::newRow("program directory: bare name") << true << false;
        QTest::newRow("elsewhere: full path") << false << false;
        QTest::newRow("other letter case: full path") << true << true;
    }
    void chosenFileIsRemembered()
    {
        QFETCH(bool, inProgramDir);
        QFETCH(bool, otherCase);
        LayoutFixture f;
        QString dir = (inProgramDir ? programDir.path() : elsewhere.path()) + QDir::separator();
        if (otherCase)
            dir = dir.toUpper();
        answer = dir + "mine.cfg";
        SaveConfigFile(f.table, nullptr);
        QCOMPARE(ConfigFile, inProgramDir && !otherCase ? QStringLiteral("mine.cfg") : answer);
    }

    void bareNameIsInTheProgramDirectoryWhateverTheWorkingDirectory()
    {
        LayoutFixture f;
        f.set(0, Discrete, 7);
        const QString before = QDir::currentPath();
        QDir::setCurrent(elsewhere.path());
        // The dialog accepts the proposed name where it starts: the program's own directory.
        cFileDialog::SetShowHandler([](cFileDialog &dialog, bool) {
            dialog.setFileName(dialog.InitialDir() + dialog.FileName());
            return true;
        });
        SaveConfigFile(f.table, nullptr);
        QDir::setCurrent(before);
        QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));
        QVERIFY(QFile::exists(programDir.filePath("RV360.cfg")));
        QVERIFY(!QFile::exists(elsewhere.filePath("RV360.cfg")));
    }

    void unwritableTargetShowsOneMessage()
    {
        LayoutFixture f;
        writeAll(elsewhere.filePath("plain"), "x");
        answer = elsewhere.filePath("plain") + "/sub/x.cfg"; // a folder that cannot exist
        SaveConfigFile(f.table, nullptr);
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages[0].startsWith("SaveConfigFile: Error: "));
        QCOMPARE(ConfigFile, answer);
    }

    void readOnlyTargetKeepsTheOldFile()
    {
        if (geteuid() == 0)
            QSKIP("permission bits do not stop root");
        LayoutFixture f;
        const QString path = elsewhere.filePath("old.cfg");
        writeAll(path, "old contents");
        QFile::setPermissions(path, QFile::ReadOwner);
        answer = path;
        SaveConfigFile(f.table, nullptr);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(readAll(path), QByteArray("old contents"));
    }

    void openApplies_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QList<int>>("types");
        QTest::addColumn<QList<int>>("positions");
        // Before each open every row holds End Banana at 200.
        const QList<int> t2(8, 2), p200(8, 200);
        QTest::newRow("line 5 goes to row 4")
            << QByteArray("\r\n\r\n\r\n\r\n1, 3, 1\r\n") << QList<int>{2, 2, 2, 2, 3, 2, 2, 2}
            << QList<int>{200, 200, 200, 200, 0, 200, 200, 200};
        QTest::newRow("LF line ends")
            << QByteArray("1, 0, 11\n2, 1, 12\n") << QList<int>{0, 1, 2, 2, 2, 2, 2, 2}
            << QList<int>{10, 11, 200, 200, 200, 200, 200, 200};
        QTest::newRow("CR line ends")
            << QByteArray("1, 0, 11\r2, 1, 12\r") << QList<int>{0, 1, 2, 2, 2, 2, 2, 2}
            << QList<int>{10, 11, 200, 200, 200, 200, 200, 200};
        QTest::newRow("more fields")
            << QByteArray("1, 1, 91, 7, 8\r\n") << QList<int>{1, 2, 2, 2, 2, 2, 2, 2}
            << QList<int>{90, 200, 200, 200, 200, 200, 200, 200};
        QTest::newRow("out of range and negative")
            << QByteArray("1, 4, 361\r\n2, -1, 0\r\n3, 1, -5\r\n4, 0, 360\r\n")
            << QList<int>{2, 2, 1, 0, 2, 2, 2, 2}
            << QList<int>{200, 200, 200, 359, 200, 200, 200, 200};
        QTest::newRow("missing commas")
            << QByteArray("1 2 3\r\n2, 1\r\n") << QList<int>{2, 1, 2, 2, 2, 2, 2, 2} << p200;
        QTest::newRow("more than eight lines")
            << QByteArray("1, 0, 1\r\n2, 0, 1\r\n3, 0, 1\r\n4, 0, 1\r\n5, 0, 1\r\n6, 0, 1\r\n"
                          "7, 0, 1\r\n8, 0, 1\r\n9, 1, 5\r\n")
            << QList<int>(8, 0) << QList<int>(8, 0);
        QTest::newRow("binary garbage")
            << QByteArray("\0\xff\x01,\x80,\xfe\r\n\0\0\0", 12) << t2 << p200;
        QTest::newRow("very long line") << QByteArray(300000, '7') + "\r\n2, 1, 2\r\n"
                                        << QList<int>{2, 1, 2, 2, 2, 2, 2, 2}
                                        << QList<int>{200, 1, 200, 200, 200, 200, 200, 200};
        QTest::newRow("empty file") << QByteArray() << t2 << p200;
    }
    void openApplies()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QList<int>, types);
        QFETCH(QList<int>, positions);
        LayoutFixture f;
        for (int row = 0; row < 8; ++row)
            f.set(row, EndBanana, 200);
        answer = elsewhere.filePath("in.cfg");
        writeAll(answer, contents);
        OpenConfigFile(f.table, nullptr);
        for (int row = 0; row < 8; ++row) {
            QCOMPARE(f.table.type(row), types[row]);
            QCOMPARE(f.table.position(row), positions[row]);
        }
        QVERIFY(messages.isEmpty());
    }

    void missingFileChangesOnlyTheSetting()
    {
        LayoutFixture f;
        f.set(0, Discrete, 5);
        const auto before = f.rows();
        answer = elsewhere.filePath("nothing-here.cfg");
        OpenConfigFile(f.table, nullptr);
        QCOMPARE(f.rows(), before);
        QCOMPARE(ConfigFile, answer);
        QVERIFY(messages.isEmpty());
    }
};

QTEST_MAIN(TestConfigFile)
#include "tst_configfile.moc"
