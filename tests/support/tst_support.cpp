// The support layer: number conversions, text and file utilities, the INI layer, the settings
// and the error message.
#include "cIniFile.h"
#include "conversions.h"
#include "limitedlog.h"
#include "modUtil.h"
#include "quitsignals.h"
#include "recordfile.h"
#include "settings.h"
#include "testhome.h"

#include <QDir>
#include <QTest>
#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// libgcov's own dump at the exit, present in a coverage build only (its __gcov_dump is an archive
// member that a weak reference does not pull in).
extern "C" void __gcov_exit() __attribute__((weak));

// Ends a forked child with its result, without the parent's exit handlers (a sanitizer would
// check the parent's memory there), but with a coverage build's counts written: as root again
// and with no file-size limit, where the child had given them up.
[[noreturn]] static void exitChild(bool ok)
{
    if (__gcov_exit) {
        const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
        [[maybe_unused]] const int back = ::seteuid(0) + ::setrlimit(RLIMIT_FSIZE, &none);
        __gcov_exit();
    }
    ::_exit(ok ? 0 : 1);
}

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

    // Each text through both number readers: LeadingNumber's value and TextToInteger's (kNone:
    // none); words split at a delimiter.
    void numbers()
    {
        constexpr int kNone = std::numeric_limits<int>::min();
        const double max = std::numeric_limits<double>::max();
        // clang-format off
        const struct { QString text; double leading; int integer; } rows[] = {
            {"  42abc", 42, kNone}, {"1e23", 1e23, kNone}, {"25E-2", 0.25, kNone}, {"-", 0, kNone},
            {"12.5.6", 12.5, kNone}, {"&H9F", 159, kNone}, {"&H1:", 1, kNone}, {"&o178", 15, kNone},
            {QString(QChar(0x663)), 0, kNone}, {" \t+07\r\n", 7, 7}, {"1e-400", 0, kNone},
            {QString(500, u'0') + "17", 17, 17}, {"-1e99999999999999999999", -max, kNone},
            {QString(5000, u'9'), max, kNone}, {"&H" + QString(17, u'F'), max, kNone},
            {"3.5", 3.5, 4}, {"-2.5", -2.5, -2}, {"-.7", -0.7, -1}, {"12.51", 12.51, 13},
            {"32767", 32767, 32767}, {"32767.5", 32767.5, kNone}, {"-32768.5", -32768.5, -32768},
            {"-32769", -32769, kNone}, {"-327680", -327680, kNone}, {"&Z5", 0, kNone}};
        // clang-format on
        for (const auto &[text, leading, integer] : rows) {
            // Exact: QCOMPARE on doubles would forgive the last bits.
            QCOMPARE(QString::number(LeadingNumber(text), 'g', 17),
                     QString::number(leading, 'g', 17));
            const std::optional<qint16> result = TextToInteger(text);
            QCOMPARE(result ? int(*result) : kNone, integer);
        }
        // An empty delimiter splits nothing; word 0 is word 1.
        // clang-format off
        const struct { const char *text; int number; const char *delimiter, *word; } words[] = {
            {"2 46", 3, " ", ""}, {" 1, 3", 0, ",", " 1"}, {",b", 1, ",", ""}, {",b", 2, ",", "b"},
            {"abc", 2, "", ""}, {"abc", 1, "", "abc"}};
        // clang-format on
        for (const auto &row : words)
            QCOMPARE(GetDelimitedWord(row.text, row.number, row.delimiter), QString(row.word));
    }

    void files()
    {
        const QString file = inHome("new.txt");
        QVERIFY(AppendToTextFile(file, "a") && AppendToTextFile(file, QString::fromUtf8("\u00e9")));
        QCOMPARE(contentsOf(file), "a\r\n\xc3\xa9\r\n");
        QVERIFY(FileExists(file) && !FileExists(home->dir.path()) && !FileExists({}));
        QVERIFY(!AppendToTextFile(inHome("no/file.txt"), "x") &&
                !AppendToTextFile(home->dir.path(), "x"));            // no folder; a folder
        QVERIFY(!AppendToTextFile(QStringLiteral("/dev/full"), "x")); // the disk is full
        QCOMPARE(messages().size(), 3);
        QVERIFY(messages()[0].startsWith(QLatin1String("AppendToTextFile: Error: 76. ")));
        QVERIFY(messages()[1].startsWith(QLatin1String("AppendToTextFile: Error: 75. ")));
        // The new file keeps the old one's mode; read-only, it is written over by root only.
        const QFile::Permissions readOnly(0x4444);
        QVERIFY(QFile::setPermissions(file, readOnly));
        QCOMPARE(ReplaceFileAtomically(file, "third"), ::getuid() == 0);
        QCOMPARE(QFileInfo(file).permissions() & 0x7077, readOnly & 0x7077); // not the "user" flags
        QString why;
        QVERIFY(!ReplaceFileAtomically(inHome("no/a.ini"), "x", &why) && why == "Path not found");
        // Paths of up to 32767 characters, as the old platform took.
        const QString longest = QString(32766, u'a') + u'/';
        QCOMPARE(GetPathPart(longest) + GetPathPart(longest + u'b'), longest);
        QCOMPARE(messages().last(), QStringLiteral("GetPathPart: Error: 6. Path too long"));
    }

    // A record (header "h\n", a cap of 12 bytes, one old file) a line at a time: a failure (no
    // folder yet) leaves the next line to be tried; at the file-size limit (0: none) the line cut
    // short is taken back and the record stops there, as it does when a rotation cannot be done.
    // No line leaves a descriptor open.
    void records()
    {
        const QString file = inHome("rec/r.log");
        RecordFile records[] = {{file, 12, 1, "h\n"}, {file, 12, 1, "h\n"}};
        // clang-format off
        const struct { const char *folder; int record; rlim_t limit; QByteArray line, after, why; }
            rows[] = {{"", 0, 0, "a\n", "<none>", "No such file or directory"},
            {"rec", 0, 0, "a\n", "h\na\n", ""}, {"", 0, 0, "b\n", "h\na\nb\n", ""},
            {"", 0, 8, "cd\n", "h\na\nb\n", "File too large; stopped"},
            {"", 0, 0, "c\n", "h\na\nb\n", "File too large; stopped"},
            {"rec/r.log.1", 1, 0, "0123456\n", "h\na\nb\n", "could not be rotated; stopped"}};
        // clang-format on
        rlimit old = {};
        QVERIFY(std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::getrlimit(RLIMIT_FSIZE, &old) == 0);
        QDir files("/proc/self/fd", {}, QDir::NoSort, QDir::AllEntries | QDir::System);
        const uint open = files.count();
        for (const auto &row : rows) {
            QVERIFY(QDir().mkpath(inHome(row.folder)));
            const rlimit limit{row.limit ? row.limit : old.rlim_cur, old.rlim_max};
            QString why;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const bool written = records[row.record].append(row.line, &why);
            ::setrlimit(RLIMIT_FSIZE, &old);
            QVERIFY2(written == why.isEmpty() && why.toUtf8() == row.why, qPrintable(why));
            QCOMPARE(contentsOf(file), row.after);
        }
        QCOMPARE((files.refresh(), files.count()), open);
    }

    // The pipe that signals come through is closed with the object, on descriptor 0 too
    // (standard input closed, as a daemon's may be).
    void quitSignals()
    {
        const int input = ::dup(STDIN_FILENO);
        QVERIFY(::close(STDIN_FILENO) == 0);
        delete new QuitSignals({});
        QVERIFY(::dup(input) == STDIN_FILENO && ::close(input) == 0);
    }

    // Lines of a kind (a gap of 100 ms here): one a gap, the others counted; the count said as
    // the gap ends, or before the next line when the loop was busy meanwhile; no count of none.
    void limitedLog()
    {
        const int stderrCopy = ::dup(2);
        QVERIFY(std::freopen(qPrintable(inHome("said")), "w", stderr));
        SetLogLimitGap(100);
        // clang-format off
        const struct { int wait; bool busy; const char *line; } rows[] = { // a wait, then a line
            {0, false, "a"}, {0, false, "b"}, {400, false, "c"}, {0, false, "d"},
            {200, true, "e"}, {200, false, "f"}};
        // clang-format on
        for (const auto &[wait, busy, line] : rows) {
            busy ? void(::usleep(wait * 1000)) : QTest::qWait(wait);
            LogLimited("k", "p: ", line);
        }
        ::dup2(stderrCopy, 2), ::close(stderrCopy), SetLogLimitGap(1000);
        QCOMPARE(contentsOf(inHome("said")),
                 "a\np: 1 more like that left out\nc\np: 1 more like that left out\ne\nf\n");
    }

    // The INI layer, key "k" of section "A". Read (default "DEF"): a value ends at a NUL and
    // after 253 characters (never half a pair). Written: in place, at the section's end, or a new
    // section; every other line kept (lines end in CR LF, LF, CR or nothing); a key or value
    // that would break the file is refused alone.
    void iniFile()
    {
        // clang-format off
        const struct { QByteArray contents; QString value; } rows[] = {
            {"[A]\r\n[B]\r\nk=1\r\n", "DEF"}, {"[A]\r\n[a]\r\nk=2\r\n", "DEF"},
            {"k=9\r\n[A]\r\nk=2\r\nk=3\r\n", "2"}, {"[ A ]\r\n k \t=  v w \t\r\n", "v w"},
            {"[A]\r\n\vk\f=v\r\n", "v"}, {"[A]\r\nk=a=b\r\n", "a=b"},
            {QByteArray("[A]\r\nk=ab\0cd\r\n", 14), "ab"}, {"[A]\r\nk=" + QByteArray(300, 'x'), QString(253, u'x')},
            {"[A]\r\nk=" + QByteArray(252, 'x') + "\xf0\x9f\x98\x80", QString(252, u'x')}};
        // clang-format on
        for (const auto &[contents, value] : rows)
            QCOMPARE(iniWith(contents).ReadIniStr("A", "k", "DEF"), value);
        // The boolean reader: On, True (any case) or 1 are true, anything else false; a missing
        // key gives the fallback.
        for (const auto &[value, read] :
             {std::pair{"On", true}, {"tRuE", true}, {"1", true}, {"2", false}, {"", false}})
            QVERIFY2(iniWith("[A]\r\nk=" + QByteArray(value))
                             .ReadIniBool("a", "K", read ? "FALSE" : "TRUE") == read,
                     value);
        QVERIFY(iniWith("[A]\r\n").ReadIniBool("A", "missing", "on"));
        // clang-format off
        const std::pair<QByteArray, QByteArray> writes[] = {
            {"[A]\r\nk=1\r\nj=2\r\n", "[A]\r\nk=5\r\nj=2\r\n"},
            {"[A]\r\nj=1\r\n; c\r\n\r\n[B]\r\nk=1\r\n",
             "[A]\r\nj=1\r\n; c\r\nk=5\r\n\r\n[B]\r\nk=1\r\n"},
            {"[B]\r\nk=1\r\n", "[B]\r\nk=1\r\n[A]\r\nk=5\r\n"},
            {"[a]\r\n K = 1\r\n", "[a]\r\nk=5\r\n"}, {"[A]\nk=1\r\n\rx", "[A]\r\nk=5\r\n\r\nx\r\n"},
            {"[A]\r\nk=1\r\n[A]\r\nk=3\r\n", "[A]\r\nk=5\r\n[A]\r\nk=3\r\n"}};
        // clang-format on
        const QString path = inHome("test.ini");
        for (const auto &[before, after] : writes) {
            QCOMPARE(iniWith(before).WriteIniEntries({{"A", "k", "5"}}), 1);
            QCOMPARE(contentsOf(path), after);
        }
        cIniFile ini = iniWith("[A]\r\nj=1\r\n");
        QCOMPARE(ini.WriteIniEntries({{"A", "a=b", "5"}, {"A", "k", "\n"}, {"A", "j", "2"}}), 0);
        QCOMPARE(ini.WriteIniEntries({{"A", "a=b", "5"}}), 0);
        QCOMPARE(contentsOf(path), "[A]\r\nj=2\r\n");
        QCOMPARE(messages().size(), 3);
        QVERIFY(messages()[0].startsWith(QLatin1String("WriteIniStr: Error: 52. a=b not saved")));
        QCOMPARE(cIniFile().WriteIniEntries({{"A", "k", "1"}}), 0); // no file
        ini.setFileName(path + QChar(0));                           // refused: the name stays
        QCOMPARE(ini.FileName(), path);
        QVERIFY(messages().last().startsWith(QLatin1String("Property Let IniFile: ")));
    }

    // Loads a settings file, then saves the values unchanged: what each key reads (and the
    // devices of COM1 and COM2, the eighth pocket's name), and what the file holds after (byte for
    // byte where nothing changed). One that cannot be used (a FIFO: an open would wait for a
    // writer) gives the defaults and a message, and is not written.
    void settings()
    {
        const QByteArray rest = "EAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n";
        const QByteArray carried =
            "[Application]\r\nConfigFile=/d/a.cfg\r\nEPort=65535\r\nEAddr=10.0.0.5\r\n"
            "CommPort=3\r\n[Ports]\r\nCOM1 = /dev/ttyUSB0 \r\n[Pockets]\r\nName8=Cu\r\n";
        const QByteArray eightBit = "[Application]\nEAddr=caf\xe9\nConfigFile=d\xc3\xa9j\xc3\xa0\n"
                                    "CommPort=2\r\nEPort=-1\r\n; \xe9t\xe9\n";
        // Device paths of up to 4096 characters.
        const QByteArray devices = "[Ports]\r\nCOM1=/dev/" + QByteArray(4091, 'x') +
                                   "\r\nCOM2=/dev/" + QByteArray(4092, 'x') + "\r\n";
        const QString ttys = QStringLiteral(" /dev/ttyS0 /dev/ttyS1 ");
        const QByteArray utf16("\xff\xfe[\0A\0]\0", 8); // a rewrite would mangle it
        // clang-format off
        const std::tuple<QByteArray, QString, QByteArray> rows[] = {
            {"[Application]\r\nCommPort=40000\r\nEPort=65536\r\n", "1 -1 0.0.0.0 RV360.cfg" + ttys,
             "[Application]\r\nCommPort=1\r\nEPort=-1\r\n" + rest},
            {carried, "3 65535 10.0.0.5 /d/a.cfg /dev/ttyUSB0 /dev/ttyS1 Cu", carried},
            {eightBit, "2 -1 caf\u00e9 d\u00e9j\u00e0" + ttys, eightBit},
            {devices, "1 -1 0.0.0.0 RV360.cfg /dev/" + QString(4091, u'x') + " [invalid path] ",
             devices + "[Application]\r\nCommPort=1\r\nEPort=-1\r\n" + rest},
            {utf16, "1 -1 0.0.0.0 RV360.cfg" + ttys, utf16}}; // one message, nothing saved
        // clang-format on
        SetPortDevice(2, "/dev/ttyACM0"), SetPortDevice(2, {}); // the choice dropped again
        for (const auto &[contents, values, after] : rows) {
            QVERIFY(ReplaceFileAtomically(SettingsFilePath(), contents));
            LoadSettings();
            const QStringList read = {
                QString::number(CommPort), QString::number(EPort), EAddr,         ConfigFile,
                PortDeviceName(1),         PortDeviceName(2),      PocketNames[7]};
            QCOMPARE(read.join(u' '), values);
            SaveSettings();
            QVERIFY(contentsOf(SettingsFilePath()) == after);
        }
        QVERIFY(QFile::remove(SettingsFilePath()) &&
                ::mkfifo(QFile::encodeName(SettingsFilePath()).constData(), 0600) == 0);
        CommPort = 3, LoadSettings(), SaveSettings();
        QVERIFY(CommPort == 1 && !QFileInfo(SettingsFilePath()).isFile());
        QCOMPARE(messages().size(), 2);
        QVERIFY(messages()[0].startsWith("LoadSettings: Error: 75. ") &&
                messages()[0].contains("not used (Not 8-bit text)"));
        QVERIFY(messages()[1].contains(SettingsFilePath() + " not used (Not a regular file)"));
    }

    // Saves the disk cannot take (a file size limit stands in for a full disk, EFBIG for
    // ENOSPC) and folders that take no temporary file (written in place, room reserved first; a
    // large file too, and one emptied); a read-only file is not written over.
    // Run in a child process, which may give up root so that permissions count.
    void savesUnderLimits()
    {
        const QByteArray old(9000, 'o'), big(9000, 'n'), small(2000, 's');
        // clang-format off
        const struct { bool readOnly, saved; int limit; QByteArray before, contents; int mode = 0x0606; } rows[] = {
            {false, true, 1 << 20, old, big}, {false, false, 4096, old, big},
            {true, true, 1 << 20, small, big}, {true, false, 4096, small, big},
            {true, false, 4096, old, small}, // no room for a copy
            {true, true, 1 << 30, QByteArray(16 << 20, 'o'), small}, {true, true, 1 << 20, small, {}},
            {false, false, 1 << 20, old, small, 0x0404}}; // a read-only file
        // clang-format on
        QVERIFY(::chmod(QFile::encodeName(home->dir.path()).constData(), 0711) == 0);
        const QString folder = inHome("folder");
        const QString file = folder + QStringLiteral("/RV360.INI");
        // Where the old contents are kept while a file is written in place, for the child too.
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(inHome("data")) &&
                QFile::setPermissions(inHome("data"), QFile::Permissions(0x7777)));
        qputenv("XDG_DATA_HOME", QFile::encodeName(inHome("data")));
        for (const auto &row : rows) {
            QVERIFY(ReplaceFileAtomically(file, row.before) &&
                    QFile::setPermissions(file, QFile::Permissions(row.mode)));
            QFile::setPermissions(folder, QFile::Permissions(row.readOnly ? 0x5555 : 0x7777));
            const pid_t child = ::fork();
            if (child == 0) {
                // Root kept as the saved user, for a coverage build's counts at the exit.
                if (::getuid() == 0 &&
                    (::setresgid(65534, 65534, 0) != 0 || ::setresuid(65534, 65534, 0) != 0))
                    ::_exit(2);
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{rlim_t(row.limit), RLIM_INFINITY};
                ::setrlimit(RLIMIT_FSIZE, &limit);
                exitChild(ReplaceFileAtomically(file, row.contents));
            }
            int status = -1;
            ::waitpid(child, &status, 0);
            QFile::setPermissions(folder, QFile::Permissions(0x7777));
            QCOMPARE(status, row.saved ? 0 : 1 << 8);
            QCOMPARE(contentsOf(file), row.saved ? row.contents : row.before);
            QVERIFY(!row.saved || (QFileInfo(file).permissions() & 0x0FFF) == 0x0606);
            QVERIFY(!QFileInfo::exists(KeptCopyPath(file)));
        }
        // A write in place cut by a crash (the old contents kept, the file half written): the
        // next read puts the old contents back.
        cIniFile cut = iniWith("[A]\r\nk=ne");
        QVERIFY(ReplaceFileAtomically(KeptCopyPath(inHome("test.ini")), "[A]\r\nk=old\r\n"));
        QCOMPARE(cut.ReadIniStr("A", "k", ""), QStringLiteral("old"));
        QVERIFY(!QFileInfo::exists(KeptCopyPath(inHome("test.ini"))));
    }
};

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
