// Kills a process while it saves, many times: the file is always the old or the new one, whole.
// Ends the program by the signals of a logoff or a closed terminal: it saves as Close does.
#include "configfile.h"
#include "drillcontent.h"
#include "testhome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

class TestSaveDrill : public QObject
{
    Q_OBJECT

    QString drillProgram;
    QString program;

private Q_SLOTS:
    void initTestCase()
    {
        drillProgram = qEnvironmentVariable("RV360_SAVEDRILL");
        QVERIFY2(QFile::exists(drillProgram), "RV360_SAVEDRILL names the drill program");
        program = qEnvironmentVariable("RV360_PROGRAM");
        QVERIFY2(QFile::exists(program), "RV360_PROGRAM names the program");
    }

    void killedWhileSaving_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("configuration file") << "config";
        QTest::newRow("settings") << "settings";
    }
    void killedWhileSaving()
    {
        QFETCH(QString, mode);
        std::array<QByteArray, 2> whole;
        for (int which = 0; which < 2; ++which) {
            whole[which] = mode == QLatin1String("config")
                               ? ConfigFileContents(Drill::layout(which))
                               : Drill::settingsFile(which);
        }
        const QString fileName = mode == QLatin1String("config") ? "drill.cfg" : "RV360.INI";
        QRandomGenerator random(360);
        constexpr int kRounds = 60;
        int seenOld = 0, seenNew = 0;
        for (int round = 0; round < kRounds; ++round) {
            QTemporaryDir dir;
            QProcess drill;
            drill.start(drillProgram, {mode, dir.path()});
            QVERIFY(drill.waitForStarted(5000));
            QVERIFY(drill.waitForReadyRead(10000));
            QTest::qWait(int(random.bounded(25)));
            ::kill(pid_t(drill.processId()), SIGKILL);
            QVERIFY(drill.waitForFinished(5000));
            const QByteArray contents = contentsOf(QDir(dir.path()).filePath(fileName));
            QVERIFY2(
                contents == whole[0] || contents == whole[1],
                qPrintable(QStringLiteral("round %1: %2 bytes").arg(round).arg(contents.size())));
            (contents == whole[0] ? seenOld : seenNew)++;
        }
        // Both states were caught, so the kills fell during the saves.
        QVERIFY(seenOld > 0 && seenNew > 0);
    }

    // Also while a start-up message is shown (a UTF-16 settings file) and with no room to save:
    // nobody is there to click a message away.
    void endedBySignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("utf16");
        QTest::addColumn<int>("fileLimit");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QByteArray() << 0;
        QTest::newRow("SIGHUP") << int(SIGHUP) << QByteArray() << 0;
        QTest::newRow("SIGINT") << int(SIGINT) << QByteArray() << 0;
        QTest::newRow("start-up message")
            << int(SIGTERM) << QByteArray("\xff\xfe[\0A\0]\0", 8) << 0;
        QTest::newRow("full disk") << int(SIGTERM) << QByteArray() << 8;
    }
    void endedBySignal()
    {
        QFETCH(int, signal);
        QFETCH(QByteArray, utf16);
        QFETCH(int, fileLimit);
        // A copy of the program in a folder of its own keeps its settings there.
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("rv360"));
        QVERIFY(QFile::copy(program, copy));
        const QString settings = dir.filePath(QStringLiteral("RV360.INI"));
        QVERIFY(ReplaceFileAtomically(settings, "[Application]\r\nCommPort=3\r\n[Ports]\r\nCOM3=" +
                                                    QFile::encodeName(dir.filePath("missing"))));
        if (!utf16.isEmpty())
            QVERIFY(ReplaceFileAtomically(settings, utf16));
        QProcess rv360;
        rv360.setChildProcessModifier([fileLimit] {
            const rlimit limit{rlim_t(fileLimit), rlim_t(fileLimit)};
            if (fileLimit > 0 && std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR)
                ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("rv360.link=true"));
        rv360.setProcessEnvironment(environment);
        rv360.start(copy, {});
        // The start-up's failed open is logged after the handlers are in place; its message
        // comes before the port is opened.
        QByteArray log;
        if (utf16.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT((log += rv360.readAllStandardError()).contains("open failed"),
                                     10000);
        else
            QTest::qWait(1500);
        ::kill(pid_t(rv360.processId()), signal);
        QVERIFY(rv360.waitForFinished(5000));
        QVERIFY(rv360.exitStatus() == QProcess::NormalExit && rv360.exitCode() == 0);
        if (!utf16.isEmpty() || fileLimit > 0) { // the file as it was; the failure on stderr
            QVERIFY(contentsOf(settings).startsWith(utf16.isEmpty() ? "[Application]" : utf16));
            QCOMPARE(rv360.readAllStandardError().contains("could not be written"), fileLimit > 0);
            return;
        }
        QCOMPARE(contentsOf(settings).mid(15, 12), QByteArray("CommPort=3\r\n"));
        QVERIFY(contentsOf(settings).contains("EAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n"));
    }
};

QTEST_MAIN(TestSaveDrill)
#include "tst_savedrill.moc"
