// The support layer: number conversions, text and file utilities, the INI layer, the settings
// and the error message.
#include "cIniFile.h"
#include "conversions.h"
#include "modUtil.h"
#include "settings.h"
#include "testhome.h"

#include <QDir>
#include <QTemporaryFile>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr int kNone = std::numeric_limits<int>::min();

QByteArray withNuls(QByteArray text)
{
    return text.replace('~', '\0');
}
} // namespace

class TestSupport : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHome> home;
    QStringList &messages() { return home->messages; }
    QString inHome(const char *name) { return home->dir.filePath(QString::fromLatin1(name)); }
    // An INI file in the home folder holding these bytes.
    cIniFile iniWith(const QByteArray &contents)
    {
        cIniFile ini;
        if (ReplaceFileAtomically(inHome("test.ini"), contents))
            ini.setFileName(inHome("test.ini"));
        return ini;
    }

private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    // Each text through both readers: LeadingNumber's value and TextToInteger's (kNone: none).
    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("leading");
        QTest::addColumn<int>("integer");
        const double max = std::numeric_limits<double>::max();
        // clang-format off
        const struct {
            QString text;
            double leading;
            int integer;
        } rows[] = {
            {"", 0, kNone}, {"  42abc", 42, kNone}, {"9 0", 90, kNone}, {"1e+", 1, kNone},
            {"25E-2", 0.25, kNone}, {"-", 0, kNone}, {"12.5.6", 12.5, kNone}, {"&H9F", 159, kNone},
            {"&H1:", 1, kNone}, {"&o178", 15, kNone}, {QString(QChar(0x663)), 0, kNone},
            {" \t+07\r\n", 7, 7}, {QString(500, u'0') + "17", 17, 17}, {"1e23", 1e23, kNone},
            {"9007199254740993", 9007199254740992.0, kNone}, {"1e-400", 0, kNone},
            {"-1e99999999999999999999", -max, kNone}, {QString(5000, u'9'), max, kNone},
            {"&H" + QString(999, u'F'), max, kNone}, {"2.5", 2.5, 2}, {"3.5", 3.5, 4},
            {"-2.5", -2.5, -2}, {"-.5", -0.5, 0}, {"12.5000001", 12.5000001, 13}, {".7", 0.7, 1},
            {"32767", 32767, 32767}, {"32767.5", 32767.5, kNone}, {"32768", 32768, kNone},
            {"-32768.5", -32768.5, -32768}, {"-32769", -32769, kNone}, {"-327680", -327680, kNone},
            {"9007199254740993." + QString(800, u'0') + "1", 9007199254740994.0, kNone}};
        // clang-format on
        for (const auto &row : rows)
            QTest::addRow("\"%s\"", qPrintable(row.text.left(24)))
                << row.text << row.leading << row.integer;
    }
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(double, leading);
        QFETCH(int, integer);
        // Exact: QCOMPARE on doubles would forgive the last bits.
        QCOMPARE(QString::number(LeadingNumber(text), 'g', 17), QString::number(leading, 'g', 17));
        const std::optional<qint16> result = TextToInteger(text);
        QCOMPARE(result ? int(*result) : kNone, integer);
    }

    void words()
    {
        // clang-format off
        const struct {
            const char *text;
            int number;
            const char *delimiter, *word;
        } rows[] = {
            {"2 46", 2, " ", "46"}, {"2 46", 3, " ", ""}, {"a,,c", 3, ",", "c"},
            {" 1, 3", 0, ",", " 1"}, {"1, 3", -5, ",", "1"}, {"a,", 2, ",", ""}, {",b", 1, ",", ""}, {",b", 2, ",", "b"},
            {"aXbxc", 2, "x", "c"}, {"a<>b<>c", 3, "<>", ">c"}, {"xaaay", 3, "aa", "ay"},
            {"abc", 2, "", ""}, {"abc", 1, "", "abc"}, {"a,b", std::numeric_limits<int>::max(), ",", ""}};
        // clang-format on
        for (const auto &row : rows)
            QCOMPARE(GetDelimitedWord(row.text, row.number, row.delimiter), QString(row.word));
    }

    void files()
    {
        const QString file = inHome("new.txt");
        QVERIFY(AppendToTextFile(file, QStringLiteral("[Application]")));
        QVERIFY(AppendToTextFile(file, QString::fromUtf8("d\u00e9f")));
        QCOMPARE(contentsOf(file), QByteArray("[Application]\r\nd\xc3\xa9"
                                              "f\r\n"));
        QVERIFY(FileExists(file) && !FileExists(home->dir.path()) && !FileExists({}));
        QVERIFY(messages().isEmpty());
        QVERIFY(!AppendToTextFile(inHome("no/file.txt"), "x"));
        QVERIFY(!AppendToTextFile(home->dir.path(), "x"));
        QCOMPARE(messages().size(), 2);
        QVERIFY(messages()[0].startsWith(QLatin1String("AppendToTextFile: Error: 76. ")));
        QVERIFY(messages()[1].startsWith(QLatin1String("AppendToTextFile: Error: 75. ")));
        QVERIFY(ReplaceFileAtomically(file, "first") && ReplaceFileAtomically(file, "second"));
        QCOMPARE(contentsOf(file), QByteArray("second"));
        // The new file keeps the old one's mode; read-only, it is written over by root only.
        const QFile::Permissions readOnly(0x4444);
        QVERIFY(QFile::setPermissions(file, readOnly));
        QCOMPARE(ReplaceFileAtomically(file, "third"), ::getuid() == 0);
        QCOMPARE(QFileInfo(file).permissions() & 0x7077, readOnly & 0x7077); // not the "user" flags
        QCOMPARE(QDir(home->dir.path()).entryList(QDir::Files), QStringList{"new.txt"});
        QString why;
        QVERIFY(!ReplaceFileAtomically(inHome("no/a.ini"), "x", &why));
        QCOMPARE(why, QStringLiteral("Path not found"));
        messages().clear();
        QVERIFY(!AppendToTextFile(QStringLiteral("/dev/full"), "x")); // the disk is full
        QCOMPARE(messages().size(), 1);
        // Paths of up to 32767 characters, as the old platform took.
        const QString longest = QString(32766, u'a') + u'/';
        QCOMPARE(GetPathPart(longest) + GetPathPart(longest + u'b'), longest);
        QCOMPARE(messages().last(), QStringLiteral("GetPathPart: Error: 6. Path too long"));
    }

    // Key "k" of section "A": the whole value (element 0) or one element; default "DEF".
    void iniRead()
    {
        // clang-format off
        const struct {
            QByteArray contents;
            int element;
            const char *value;
        } rows[] = {
            {"[a]\r\nK=3\r\n", 0, "3"}, {"[A]\r\nk=\r\n", 0, "DEF"},
            {"[A]\r\n[B]\r\nk=1\r\n", 0, "DEF"}, {"[ A ]\r\n k \t=  v w \t\r\n", 0, "v w"},
            {"[A]\r\nk=a=b\r\n", 0, "a=b"}, {"[A]\r\n\vk\f=v\r\n", 0, "v"}, {"[A]\r\n;k=1\r\nk=2\r\n", 0, "2"},
            {"[A]\r\nk=1\r\nk=2\r\n", 0, "1"}, {"k=9\r\n[A]\r\nk=2\r\n", 0, "2"},
            {withNuls("[A]\r\nk=ab~cd\r\n"), 0, "ab"},
            {"[A]\r\nk=a,b,c\r\n", 3, "c"}, {"[A]\r\nk=a,b,c\r\n", 4, "DEF"},
            {"[A]\r\nk=a,b,c\r\n", -1, "DEF"}, {"[A]\r\nk=a,,c\r\n", 2, ""},
            {"[A]\r\nk=a, b\r\n", 2, " b"}, {"[A]\r\nk=" + QByteArray(300, 'x'), 0, "253 x"},
            {"[A]\r\nk=" + QByteArray(252, 'x') + "\xf0\x9f\x98\x80", 0, "252 x"}};
        // clang-format on
        for (const auto &row : rows) {
            const QString value =
                iniWith(row.contents).ReadIniStr("A", "k", "DEF", qint16(row.element));
            const int xs = QString::fromLatin1(row.value).endsWith(QLatin1String(" x"))
                               ? QString::fromLatin1(row.value).section(u' ', 0, 0).toInt()
                               : -1;
            QCOMPARE(value, xs >= 0 ? QString(xs, u'x') : row.value); // half a pair never kept
        }
        QCOMPARE(iniWith("[A]\r\nk=d\xc3\xa9\r\n").ReadIniStr("A", "k", "DEF"),
                 QString::fromUtf8("d\u00e9"));
        QVERIFY(messages().isEmpty());
    }

    // The boolean reader: On, True (any case) or 1 are true, anything else false; a missing key
    // gives the fallback.
    void iniBool()
    {
        const std::pair<const char *, bool> rows[] = {
            {"On", true}, {"tRuE", true}, {"1", true}, {"2", false}, {"", false}};
        for (const auto &[value, read] : rows) {
            cIniFile ini = iniWith(QByteArray("[A]\r\nk=") + value + "\r\n");
            QVERIFY2(ini.ReadIniBool("a", "K", read ? "FALSE" : "TRUE") == read, value);
        }
        QCOMPARE(iniWith("[A]\r\n").ReadIniBool("A", "missing", "on"), true);
    }

    // Writing key "k" of section "A": in place, at the section's end, or a new section; every
    // other line kept; a key or value that would break the file is refused.
    void iniWrite()
    {
        // clang-format off
        const struct {
            QByteArray before;
            const char *key, *value;
            QByteArray after;
        } rows[] = {
            {"[A]\r\nk=1\r\nj=2\r\n", "k", "5", "[A]\r\nk=5\r\nj=2\r\n"},
            {"[a]\r\n K = 1 \r\n", "k", "5", "[a]\r\nk=5\r\n"},
            {"[A]\r\nj=1\r\n; c\r\n\r\n[B]\r\nk=1\r\n", "k", "5", "[A]\r\nj=1\r\n; c\r\nk=5\r\n\r\n[B]\r\nk=1\r\n"},
            {"[B]\r\nk=1\r\n", "k", "5", "[B]\r\nk=1\r\n[A]\r\nk=5\r\n"},
            {"; top  \r\n[A]\r\n  odd \t\r\nk=1\r\n", "k", "a b", "; top  \r\n[A]\r\n  odd \t\r\nk=a b\r\n"},
            {"[A]\nk=1\n; c\n", "k", "5", "[A]\r\nk=5\r\n; c\r\n"},
            {"[A]\rk=1\r\rx", "k", "5", "[A]\r\nk=5\r\n\r\nx\r\n"},
            {"[A]\r\nj=1", "k", "5", "[A]\r\nj=1\r\nk=5\r\n"},
            {"[A]\r\nk=1\r\n[A]\r\nk=3\r\n", "k", "5", "[A]\r\nk=5\r\n[A]\r\nk=3\r\n"},
            {"[A]\r\n", "a=b", "5", "[A]\r\n"}, {"[A]\r\n", "k", "5\n[B]", "[A]\r\n"}};
        // clang-format on
        const QString path = inHome("test.ini");
        for (const auto &row : rows) {
            cIniFile ini = iniWith(row.before);
            QCOMPARE(ini.WriteIniEntries({{"A", row.key, row.value}}),
                     row.after == row.before ? 0 : 1);
            QCOMPARE(contentsOf(path), row.after);
        }
        cIniFile ini;
        ini.setFileName(inHome("missing.ini"));
        QCOMPARE(ini.FileName(), QString());
        QCOMPARE(int(ini.WriteIniEntries({{"A", "k", "1"}})), 0);
        ini.setFileName(path);
        ini.setFileName(path + QChar(0));
        QCOMPARE(ini.FileName(), path);
        QCOMPARE(messages().size(), 3); // the two refused keys, the NUL in the name
        QVERIFY(messages()[0].startsWith(QLatin1String("WriteIniStr: Error: 52. a=b not saved")));
        QVERIFY(messages()[2].startsWith(QLatin1String("Property Let IniFile: ")));
    }

    // Loads a settings file, then saves the values unchanged: what each key reads, the device of
    // COM1, and what the file holds after (byte for byte where nothing changed).
    void settings()
    {
        const QByteArray rest = "EPort=-1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n";
        const QByteArray carried =
            "[Application]\r\nConfigFile=/d/a.cfg\r\nEPort=1001\r\n"
            "EAddr=10.0.0.5\r\nCommPort=3\r\n[Ports]\r\nCOM1 = /dev/ttyUSB0 \r\n";
        const QByteArray junk = withNuls("~\xff\r\n[Application]\r\n\x01=\x03\r\n") +
                                QByteArray(1 << 20, '\xff') + "\r\nCommPort=2\r\nCommPort=3\r\n";
        const QByteArray eightBit = "[Application]\nEAddr=caf\xe9\nConfigFile=d\xc3\xa9j\xc3\xa0\n"
                                    "CommPort=2\r\nEPort=-1\r\n; \xe9t\xe9\n";
        const QByteArray utf16 = QByteArray("\xff\xfe[\0A\0]\0", 8);
        const QByteArray longPath = "[Ports]\r\nCOM1=/dev/" + QByteArray(10 << 20, 'x');
        const QByteArray longest = "[Ports]\r\nCOM1=/dev/" + QByteArray(4091, 'x') + "\r\n";
        // clang-format off
        const std::tuple<QByteArray, QString, QString, QByteArray> rows[] = {
            {"<none>", "1 -1 0.0.0.0 RV360.cfg", "/dev/ttyS0", "[Application]\r\nCommPort=1\r\n" + rest},
            {"[Application]\r\nCommPort=40000\r\nEPort=3.5\r\n", "1 4 0.0.0.0 RV360.cfg", "/dev/ttyS0",
             "[Application]\r\nCommPort=1\r\nEPort=4\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n"},
            {"[Application]\r\nEPort=65535\r\n", "1 65535 0.0.0.0 RV360.cfg", "/dev/ttyS0",
             "[Application]\r\nEPort=65535\r\nCommPort=1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n"},
            {"[Application]\r\nEPort=65536\r\n", "1 -1 0.0.0.0 RV360.cfg", "/dev/ttyS0",
             "[Application]\r\nEPort=-1\r\nCommPort=1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n"},
            {carried, "3 1001 10.0.0.5 /d/a.cfg", "/dev/ttyUSB0", carried},
            {junk + "[application]\r\nEAddr=x\r\n", "2 -1 0.0.0.0 RV360.cfg", "/dev/ttyS0",
             junk + rest + "[application]\r\nEAddr=x\r\n"},
            {withNuls("~~"), "1 -1 0.0.0.0 RV360.cfg", "/dev/ttyS0", withNuls("~~\r\n[Application]\r\nCommPort=1\r\n") + rest},
            {eightBit, "2 -1 caf\u00e9 d\u00e9j\u00e0", "/dev/ttyS0", eightBit},
            {longPath, "1 -1 0.0.0.0 RV360.cfg", "[invalid path]", longPath + "\r\n[Application]\r\nCommPort=1\r\n" + rest},
            {longest, "1 -1 0.0.0.0 RV360.cfg", "/dev/" + QString(4091, u'x'), longest + "[Application]\r\nCommPort=1\r\n" + rest},
            {utf16, "1 -1 0.0.0.0 RV360.cfg", "/dev/ttyS0", utf16}}; // one message, not rewritten
        // clang-format on
        for (const auto &[contents, values, device, after] : rows) {
            QFile::remove(SettingsFilePath());
            if (contents != "<none>")
                QVERIFY(ReplaceFileAtomically(SettingsFilePath(), contents));
            CommPort = EPort = 99;
            LoadSettings();
            QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(CommPort).arg(EPort).arg(EAddr, ConfigFile),
                     values);
            QCOMPARE(PortDeviceName(1), device);
            QCOMPARE(PortDeviceName(2), QStringLiteral("/dev/ttyS1"));
            SaveSettings();
            QVERIFY(contentsOf(SettingsFilePath()) == after);
        }
        QCOMPARE(messages().size(), 1);
        QVERIFY(messages()[0].startsWith("LoadSettings: Error: 75. ") &&
                messages()[0].endsWith("RV360.INI not used (Not 8-bit text): defaults taken, "
                                       "nothing saved"));
        // A value that cannot be stored on a line is refused alone.
        QFile::remove(SettingsFilePath());
        LoadSettings();
        CommPort = 2;
        ConfigFile = QStringLiteral("a\nb.cfg");
        SaveSettings();
        QCOMPARE(contentsOf(SettingsFilePath()),
                 "[Application]\r\nCommPort=2\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n");
        QCOMPARE(messages().last(), "WriteIniStr: Error: 52. ConfigFile not saved: it cannot be "
                                    "stored on one line");
    }

    // A settings file that cannot be used: a FIFO is never opened (an open would wait for a
    // writer), a missing folder takes no file. The defaults, one message, nothing written.
    void settingsUnusable()
    {
        QVERIFY(::mkfifo(QFile::encodeName(SettingsFilePath()).constData(), 0600) == 0);
        CommPort = 3;
        LoadSettings();
        SaveSettings();
        QCOMPARE(messages(), QStringList{"LoadSettings: Error: 75. " + SettingsFilePath() +
                                         " not used (Not a regular file): defaults taken, nothing "
                                         "saved"});
        QVERIFY(QFileInfo(SettingsFilePath()).exists() && CommPort == 1); // still the FIFO
        messages().clear();
        SetProgramDirectoryOverride(inHome("missing/sub"));
        LoadSettings();
        SaveSettings();
        QCOMPARE(messages().size(), 1);
        QVERIFY(messages()[0].startsWith(QLatin1String("AppendToTextFile: ")));
        QVERIFY(!QFileInfo::exists(SettingsFilePath()));
    }

    // Saves the disk cannot take (a file size limit stands in for a full disk, EFBIG for
    // ENOSPC) and folders that take no temporary file (written in place, room reserved first).
    // Run in a child process, which may give up root so that permissions count.
    void savesUnderLimits()
    {
        const QByteArray old(9000, 'o'), big(9000, 'n'), small(2000, 's');
        // clang-format off
        const struct {
            bool readOnlyFolder;
            int limit;
            QByteArray before, contents;
            bool saved;
        } rows[] = {
            {false, 0, old, big, true}, {false, 4096, old, big, false},
            {false, 4096, QByteArray(), big, false}, {true, 0, small, big, true},
            {true, 4096, small, big, false}, {true, 4096, old, small, false}, // no room for a copy
            {true, 0, QByteArray(), small, false}};
        // clang-format on
        QVERIFY(::chmod(QFile::encodeName(home->dir.path()).constData(), 0711) == 0);
        // Where the old contents are kept while a file is written in place, for the child too.
        QVERIFY(QDir().mkpath(inHome("data")) &&
                QFile::setPermissions(inHome("data"), QFile::Permissions(0x7777)));
        qputenv("XDG_DATA_HOME", QFile::encodeName(inHome("data")));
        const QString folder = inHome("folder");
        const QString file = folder + QStringLiteral("/RV360.INI");
        for (const auto &row : rows) {
            QDir(folder).removeRecursively();
            QVERIFY(QDir().mkpath(folder));
            if (!row.before.isEmpty()) {
                QVERIFY(ReplaceFileAtomically(file, row.before));
                QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner |
                                                QFile::ReadOther | QFile::WriteOther);
            }
            QFile::setPermissions(folder, row.readOnlyFolder ? QFile::Permissions(0x5555)
                                                             : QFile::Permissions(0x7777));
            std::fflush(nullptr);
            const pid_t child = ::fork();
            if (child == 0) {
                if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                    ::_exit(2);
                if (row.limit > 0) {
                    std::signal(SIGXFSZ, SIG_IGN);
                    const rlimit limit{rlim_t(row.limit), rlim_t(row.limit)};
                    ::setrlimit(RLIMIT_FSIZE, &limit);
                }
                exitChild(ReplaceFileAtomically(file, row.contents));
            }
            int status = -1;
            ::waitpid(child, &status, 0);
            QFile::setPermissions(folder, QFile::Permissions(0x7777));
            QCOMPARE(status, row.saved ? 0 : 1 << 8);
            QCOMPARE(contentsOf(file), row.saved              ? row.contents
                                       : row.before.isEmpty() ? QByteArray("<none>")
                                                              : row.before);
            QCOMPARE(QDir(folder).entryList(QDir::Files),
                     row.before.isEmpty() && !row.saved ? QStringList() : QStringList{"RV360.INI"});
            QCOMPARE(QFileInfo(file).permissions() & 0x0FFF, row.saved || !row.before.isEmpty()
                                                                 ? QFile::Permissions(0x0606)
                                                                 : QFile::Permissions());
            QVERIFY(!QFileInfo::exists(KeptCopyPath(file)));
        }
        // A write in place cut by a crash (the old contents kept, the file half written): the
        // next read puts the old contents back.
        QVERIFY(ReplaceFileAtomically(file, "[A]\r\nk=ne") &&
                ReplaceFileAtomically(KeptCopyPath(file), "[A]\r\nk=old\r\n"));
        cIniFile settings;
        settings.setFileName(file);
        QCOMPARE(settings.ReadIniStr("A", "k", ""), QStringLiteral("old"));
        QVERIFY(!QFileInfo::exists(KeptCopyPath(file)));
        qunsetenv("XDG_DATA_HOME");
    }

    // Without windows the error message is one line on standard error.
    void errorMessageOnStandardError()
    {
        SetErrorMessageHandler({});
        QTemporaryFile capture;
        QVERIFY(capture.open());
        std::fflush(stderr);
        const int saved = ::dup(2);
        ::dup2(capture.handle(), 2);
        ShowErrorMessage(QStringLiteral("AppendToTextFile"), 70,
                         QStringLiteral("Permission denied"));
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        QCOMPARE(contentsOf(capture.fileName()),
                 QByteArray("AppendToTextFile: Error: 70. Permission denied\n"));
    }
};

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
