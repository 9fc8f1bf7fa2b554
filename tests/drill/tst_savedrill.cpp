// Ends the program by the signals of a logoff or a closed terminal: it saves as Close does.
#include "testhome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

class TestSaveDrill : public QObject
{
    Q_OBJECT

    QString program;

private Q_SLOTS:
    void initTestCase()
    {
        program = qEnvironmentVariable("RV360_PROGRAM");
        QVERIFY2(QFile::exists(program), "RV360_PROGRAM names the program");
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
