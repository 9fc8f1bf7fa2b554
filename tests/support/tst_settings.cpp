#include "modFileUtil.h"
#include "settings.h"
#include "supporttest.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

class TestSettings : public QObject
{
    Q_OBJECT

    MessageCapture m_capture;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("RV360.INI")); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        SetProgramDirectoryOverride(m_dir->path());
        m_capture.messages.clear();
        // Values no load would give, so that a load that leaves one alone shows.
        CommPort = 99;
        EPort = 99;
        EAddr = QStringLiteral("stale");
        ConfigFile = QStringLiteral("stale.cfg");
    }
    void cleanup() { SetProgramDirectoryOverride(QString()); }

    void loadWithoutFile()
    {
        QCOMPARE(SettingsFilePath(), settingsPath());
        LoadSettings();
        QCOMPARE(fileContents(settingsPath()), QByteArray("[Application]\r\n"));
        QCOMPARE(CommPort, qint16(1));
        QCOMPARE(EPort, qint16(-1));
        QCOMPARE(EAddr, QStringLiteral("0.0.0.0"));
        QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));
        SaveSettings();
        QCOMPARE(fileContents(settingsPath()),
                 QByteArray("[Application]\r\nCommPort=1\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n"
                            "ConfigFile=RV360.cfg\r\n"));
        QVERIFY(m_capture.messages.isEmpty());
    }

    // Loads the file, checks the values, saves them unchanged and checks the file written.
    void loadAndSave_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("commPort");
        QTest::addColumn<int>("ePort");
        QTest::addColumn<QString>("eAddr");
        QTest::addColumn<QString>("configFile");
        QTest::addColumn<QByteArray>("after");
        const QByteArray rest = "EPort=-1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n";
        const QByteArray megabyte(1 << 20, '\xff');
        const QByteArray longName(300, 'c');
        const auto row = [](const char *name, const QByteArray &contents, int commPort, int ePort,
                            const QString &eAddr, const QString &configFile,
                            const QByteArray &after) {
            QTest::newRow(name) << contents << commPort << ePort << eAddr << configFile << after;
        };
        row("names in other case", "[APPLICATION]\r\ncommport=3\r\n", 3, -1, "0.0.0.0", "RV360.cfg",
            "[APPLICATION]\r\nCommPort=3\r\n" + rest);
        row("not numbers, empty", "[Application]\r\nCommPort=COM2\r\nEPort=x\r\nEAddr=\r\n", 1, -1,
            "0.0.0.0", "RV360.cfg",
            "[Application]\r\nCommPort=1\r\nEPort=-1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n");
        row("out of range", "[Application]\r\nCommPort=40000\r\n", 1, -1, "0.0.0.0", "RV360.cfg",
            "[Application]\r\nCommPort=1\r\n" + rest);
        row("fraction rounds", "[Application]\r\nCommPort=3.5\r\n", 4, -1, "0.0.0.0", "RV360.cfg",
            "[Application]\r\nCommPort=4\r\n" + rest);
        row("carried",
            "[Application]\r\nConfigFile=/data/a.cfg\r\nEPort=1001\r\nEAddr=10.0.0.5\r\n"
            "CommPort=3\r\n",
            3, 1001, "10.0.0.5", "/data/a.cfg",
            "[Application]\r\nConfigFile=/data/a.cfg\r\nEPort=1001\r\nEAddr=10.0.0.5\r\n"
            "CommPort=3\r\n");
        row("long name cut", "[Application]\r\nConfigFile=" + longName + "\r\n", 1, -1, "0.0.0.0",
            QString(253, u'c'),
            "[Application]\r\nConfigFile=" + longName.left(253) +
                "\r\nCommPort=1\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n");
        row("binary garbage",
            bytes("\0\xff\xfe\r\n[Application]\r\n\x01\x02=\x03\r\nCommPort=2\r\n\xff=\xfe"), 2, -1,
            "0.0.0.0", "RV360.cfg",
            bytes("\0\xff\xfe\r\n[Application]\r\n\x01\x02=\x03\r\nCommPort=2\r\n\xff=\xfe\r\n") +
                rest);
        row("NUL in value", bytes("[Application]\r\nEAddr=1.2\0.3.4\r\n"), 1, -1, "1.2",
            "RV360.cfg",
            "[Application]\r\nEAddr=1.2\r\nCommPort=1\r\nEPort=-1\r\nConfigFile=RV360.cfg\r\n");
        row("megabyte line", "[Application]\r\n" + megabyte + "\r\nCommPort=3\r\n", 3, -1,
            "0.0.0.0", "RV360.cfg", "[Application]\r\n" + megabyte + "\r\nCommPort=3\r\n" + rest);
        row("duplicates",
            "[Application]\r\nCommPort=2\r\nCommPort=3\r\n[application]\r\nEAddr=x\r\n", 2, -1,
            "0.0.0.0", "RV360.cfg",
            "[Application]\r\nCommPort=2\r\nCommPort=3\r\n" + rest +
                "[application]\r\nEAddr=x\r\n");
        row("no section", bytes("\0\0\0"), 1, -1, "0.0.0.0", "RV360.cfg",
            bytes("\0\0\0\r\n[Application]\r\nCommPort=1\r\n") + rest);
    }
    void loadAndSave()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, commPort);
        QFETCH(int, ePort);
        QFETCH(QString, eAddr);
        QFETCH(QString, configFile);
        QFETCH(QByteArray, after);
        QVERIFY(writeFileContents(settingsPath(), contents));
        LoadSettings();
        QCOMPARE(int(CommPort), commPort);
        QCOMPARE(int(EPort), ePort);
        QCOMPARE(EAddr, eAddr);
        QCOMPARE(ConfigFile, configFile);
        SaveSettings();
        const QByteArray written = fileContents(settingsPath());
        QVERIFY2(written == after, written.left(200).constData());
        QVERIFY(m_capture.messages.isEmpty());
    }

    void portsSectionKept()
    {
        const QByteArray ports = "[Ports]\r\nCOM1 = /dev/ttyUSB0 \r\n; odd  line\r\n";
        QVERIFY(writeFileContents(settingsPath(), "[Application]\r\nCommPort=2\r\n" + ports));
        LoadSettings();
        QCOMPARE(PortDeviceName(1), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(PortDeviceName(2), QStringLiteral("/dev/ttyS1"));
        CommPort = 4;
        SaveSettings();
        QCOMPARE(fileContents(settingsPath()),
                 "[Application]\r\nCommPort=4\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n"
                 "ConfigFile=RV360.cfg\r\n" +
                     ports);

        // Without a file the default names come back, and no file appears.
        QVERIFY(QFile::remove(settingsPath()));
        QCOMPARE(PortDeviceName(1), QStringLiteral("/dev/ttyS0"));
        QVERIFY(!QFileInfo::exists(settingsPath()));
        QVERIFY(m_capture.messages.isEmpty());
    }

    void unwritableDirectory()
    {
        QVERIFY(writeFileContents(m_dir->filePath(QStringLiteral("plain")), "x"));
        SetProgramDirectoryOverride(m_dir->filePath(QStringLiteral("plain/sub")));
        LoadSettings();
        QCOMPARE(CommPort, qint16(1));
        QCOMPARE(EPort, qint16(-1));
        QCOMPARE(EAddr, QStringLiteral("0.0.0.0"));
        QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));
        QCOMPARE(m_capture.messages.size(), 1);
        QCOMPARE(m_capture.messages[0].title, QStringLiteral("AppendToTextFile"));
        SaveSettings();
        QCOMPARE(m_capture.messages.size(), 1);
        QVERIFY(!QFileInfo::exists(SettingsFilePath()));
    }

    void removedBeforeSave()
    {
        LoadSettings();
        QVERIFY(QFile::remove(settingsPath()));
        SaveSettings();
        QVERIFY(!QFileInfo::exists(settingsPath()));
        QVERIFY(m_capture.messages.isEmpty());
    }

    void rootDirectory()
    {
        SetProgramDirectoryOverride(QDir::rootPath());
        QCOMPARE(SettingsFilePath(), QDir::toNativeSeparators(QDir::rootPath()) + "RV360.INI");
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
