// The real program: ended by the signals of a logoff or a closed terminal, it saves as Close
// does; its instrument port comes from the settings.
#include "freeport.h"
#include "simprocess.h"
#include "testhome.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

// A copy of the program in a folder of its own, which keeps its settings there; empty when it
// cannot be made.
QString programIn(const QTemporaryDir &dir, const QByteArray &settings)
{
    const QString copy = dir.filePath(QStringLiteral("rv360"));
    return QFile::copy(qEnvironmentVariable("RV360_PROGRAM"), copy) &&
                   ReplaceFileAtomically(dir.filePath(QStringLiteral("RV360.INI")), settings)
               ? copy
               : QString();
}

class TestSaveDrill : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Also while a start-up message is shown (a UTF-16 settings file) and with no room to save:
    // nobody is there to click a message away.
    void endedBySignal()
    {
        qputenv("QT_LOGGING_RULES", "rv360.link=true");
        // clang-format off
        const struct { int signal; QByteArray utf16; int fileLimit; } rows[] = {
            {SIGTERM, {}, 0}, {SIGHUP, {}, 0}, {SIGINT, {}, 0},
            {SIGTERM, QByteArray("\xff\xfe[\0A\0]\0", 8), 0}, // a start-up message
            {SIGTERM, {}, 8}};                                 // a full disk
        // clang-format on
        for (const auto &[signal, utf16, fileLimit] : rows) {
            QTemporaryDir dir;
            const QString settings = dir.filePath(QStringLiteral("RV360.INI"));
            const QByteArray ini = "[Application]\r\nCommPort=3\r\n[Ports]\r\nCOM3=" +
                                   QFile::encodeName(dir.filePath("missing"));
            QProcess rv360;
            rv360.setChildProcessModifier([limit = fileLimit] {
                const rlimit bytes{rlim_t(limit), rlim_t(limit)};
                if (limit > 0)
                    ::setrlimit(RLIMIT_FSIZE, &bytes);
            });
            rv360.start(programIn(dir, utf16.isEmpty() ? ini : utf16));
            // The start-up's failed open is logged after the handlers are in place; its message
            // comes before the port is opened.
            QByteArray log;
            if (utf16.isEmpty())
                QTRY_VERIFY_WITH_TIMEOUT(
                    (log += rv360.readAllStandardError()).contains("open failed"), 10000);
            else
                QTest::qWait(1500);
            ::kill(pid_t(rv360.processId()), signal);
            QVERIFY(rv360.waitForFinished(5000));
            QVERIFY(rv360.exitStatus() == QProcess::NormalExit && rv360.exitCode() == 0);
            const QByteArray saved = contentsOf(settings);
            if (!utf16.isEmpty() || fileLimit > 0) { // the file as it was; the failure on stderr
                QVERIFY(saved.startsWith(utf16.isEmpty() ? "[Application]" : utf16));
                QCOMPARE(rv360.readAllStandardError().contains("could not be written"),
                         fileLimit > 0);
            } else {
                QVERIFY(saved.mid(15, 12) == "CommPort=3\r\n" &&
                        saved.contains("EAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n"));
            }
        }
    }

    // The records at the file-size limit (ulimit -f): the program lives, each record says once
    // that it stops, and holds whole lines (the one cut short taken back).
    void recordsAtFileSizeLimit()
    {
        SimProcess sim;
        QTemporaryDir dir;
        QProcess rv360;
        QVERIFY(sim.start());
        rv360.setChildProcessModifier([] {
            const rlimit bytes{300, 300};
            std::signal(SIGXFSZ, SIG_DFL);
            ::setrlimit(RLIMIT_FSIZE, &bytes);
        });
        rv360.start(programIn(dir, "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=" +
                                       QFile::encodeName(sim.linkPath()) +
                                       "\r\n[Log]\r\nTraffic=1\r\n"));
        QByteArray said;
        // Moves at the indexer's panel, a line of the record each (the poll sees each in 500 ms),
        // until both are full; then more lines, and time for a repeated message to show.
        for (int n = 0, after = 0; n < 16 && after < 3; ++n) {
            QVERIFY(sim.control(QStringLiteral("pocket %1").arg(n % 2 ? 2 : 7)).startsWith("ok"));
            QTest::qWait(600);
            after += (said += rv360.readAllStandardError()).count("; stopped\n") >= 2;
        }
        QVERIFY2(rv360.state() == QProcess::Running && said.count(" record ") == 2 &&
                     said.count(" not written: File too large; stopped\n") == 2,
                 said);
        for (const char *name : {"moves.csv", "traffic.log"}) {
            const QByteArray record = contentsOf(dir.filePath(QString::fromLatin1(name)));
            QVERIFY2(record.size() > 150 && record.endsWith('\n'), record);
        }
        rv360.terminate();
        QVERIFY(rv360.waitForFinished(5000));
    }

    // The instrument port as the settings give it: it answers a peer on the allow-list, and
    // closes another with a line on standard error; a wildcard address keeps it off, saying why.
    void instrumentPortFromSettings()
    {
        const QByteArray port = QByteArray::number(freePort());
        for (const QByteArray &listen : {"127.0.0.1:" + port, "*:" + port}) {
            QTemporaryDir dir;
            QProcess rv360;
            rv360.start(
                programIn(dir, "[Instrument]\r\nListen=" + listen + "\r\nAllow=127.0.0.1\r\n"));
            QByteArray said;
            const auto saying = [&](const char *text) {
                return QTest::qWaitFor(
                    [&] { return (said += rv360.readAllStandardError()).contains(text); }, 10000);
            };
            if (listen.startsWith('*')) {
                QVERIFY2(saying("instrument port off: \"*:"), said);
            } else {
                QTcpSocket lab, stranger;
                stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")));
                // Once it listens.
                QTRY_VERIFY_WITH_TIMEOUT(
                    (lab.connectToHost(QHostAddress::LocalHost, port.toUShort()),
                     lab.waitForConnected(100)),
                    10000);
                lab.write("*IDN?\n");
                QVERIFY(QTest::qWaitFor([&] { return lab.canReadLine(); }, 5000));
                QVERIFY(lab.readLine().startsWith("RV360,crucible indexer,0,"));
                stranger.connectToHost(QHostAddress(QHostAddress::LocalHost), port.toUShort());
                QVERIFY2(saying("127.0.0.2 refused: not in [Instrument] Allow"), said);
                // A stranger in a loop: a line a second at most, the others counted; each named.
                for (int n = 0; n < 100; ++n) {
                    QTcpSocket again;
                    again.bind(QHostAddress(QStringLiteral("127.0.0.2")));
                    again.connectToHost(QHostAddress(QHostAddress::LocalHost), port.toUShort());
                    (void)(again.waitForConnected(1000) && again.write("*IDN?\n") &&
                           again.waitForBytesWritten(1000));
                }
                int lines = 0, told = 0; // until the count of those left out is said
                (void)QTest::qWaitFor(
                    [&] {
                        lines = told = 0;
                        for (const QByteArray &line :
                             (said += rv360.readAllStandardError()).split('\n')) {
                            lines += line.contains("refused") || line.contains("left out");
                            told +=
                                line.contains(" refused") ? 1 : line.split(' ').value(3).toInt();
                        }
                        return told >= 101;
                    },
                    5000);
                QVERIFY2(told == 101 && lines <= 6 && !said.contains("port:  "), said);
            }
            rv360.terminate();
            QVERIFY(rv360.waitForFinished(5000));
        }
    }
};

QTEST_MAIN(TestSaveDrill)
#include "tst_savedrill.moc"
