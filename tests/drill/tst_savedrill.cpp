// Kills a process while it saves, many times: the file is always the old or the new one, whole.
#include "configfile.h"
#include "drillcontent.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

class TestSaveDrill : public QObject
{
    Q_OBJECT

    QString drillProgram;

    QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private Q_SLOTS:
    void initTestCase()
    {
        drillProgram = qEnvironmentVariable("RV360_SAVEDRILL");
        QVERIFY2(QFile::exists(drillProgram), "RV360_SAVEDRILL names the drill program");
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
            const QByteArray contents = readAll(QDir(dir.path()).filePath(fileName));
            QVERIFY2(
                contents == whole[0] || contents == whole[1],
                qPrintable(QStringLiteral("round %1: %2 bytes").arg(round).arg(contents.size())));
            (contents == whole[0] ? seenOld : seenNew)++;
        }
        // Both states were caught, so the kills fell during the saves.
        QVERIFY(seenOld > 0 && seenNew > 0);
    }
};

QTEST_MAIN(TestSaveDrill)
#include "tst_savedrill.moc"
