#include "cIniFile.h"
#include "modFileUtil.h"
#include "settings.h"
#include "supporttest.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace
{
const QByteArray FreshFile = "[Application]\r\nCommPort=1\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n"
                             "ConfigFile=RV360.cfg\r\n";
}

class TestSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void loadWithoutFile();
    void loadValues_data();
    void loadValues();
    void carriedBack();
    void portsSectionKept();
    void longConfigFile();
    void unreadableContents_data();
    void unreadableContents();
    void unwritableDirectory_data();
    void unwritableDirectory();
    void removedBeforeSave();
    void rootDirectory();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("RV360.INI")); }
    void spoilSettings();

    MessageCapture m_capture;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    SetProgramDirectoryOverride(m_dir->path());
    m_capture.messages.clear();
    spoilSettings();
}

void TestSettings::cleanup()
{
    SetProgramDirectoryOverride(QString());
    m_dir.reset();
}

// Values no load would give, so that a load that leaves one alone shows.
void TestSettings::spoilSettings()
{
    CommPort = 99;
    EPort = 99;
    EAddr = QStringLiteral("stale");
    ConfigFile = QStringLiteral("stale.cfg");
}

void TestSettings::loadWithoutFile()
{
    QCOMPARE(SettingsFilePath(), settingsPath());
    LoadSettings();
    QCOMPARE(fileContents(settingsPath()), QByteArray("[Application]\r\n"));
    QCOMPARE(CommPort, qint16(1));
    QCOMPARE(EPort, qint16(-1));
    QCOMPARE(EAddr, QStringLiteral("0.0.0.0"));
    QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));

    SaveSettings();
    QCOMPARE(fileContents(settingsPath()), FreshFile);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSettings::loadValues_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("commPort");
    QTest::addColumn<int>("ePort");
    QTest::addColumn<QString>("eAddr");

    QTest::newRow("names in other case")
        << QByteArray("[APPLICATION]\r\ncommport=3\r\n") << 3 << -1 << "0.0.0.0";
    QTest::newRow("empty values") << QByteArray("[Application]\r\nCommPort=\r\nEAddr=\r\n") << 1
                                  << -1 << "0.0.0.0";
    QTest::newRow("not numbers") << QByteArray("[Application]\r\nCommPort=COM2\r\nEPort=x\r\n") << 1
                                 << -1 << "0.0.0.0";
    QTest::newRow("out of range") << QByteArray("[Application]\r\nCommPort=40000\r\n") << 1 << -1
                                  << "0.0.0.0";
    QTest::newRow("fraction rounds")
        << QByteArray("[Application]\r\nCommPort=2.5\r\n") << 2 << -1 << "0.0.0.0";
    QTest::newRow("values") << QByteArray("[Application]\nEPort=1001\nEAddr=10.0.0.5\n") << 1
                            << 1001 << "10.0.0.5";
}

void TestSettings::loadValues()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, commPort);
    QFETCH(int, ePort);
    QFETCH(QString, eAddr);
    QVERIFY(writeFileContents(settingsPath(), contents));
    LoadSettings();
    QCOMPARE(int(CommPort), commPort);
    QCOMPARE(int(EPort), ePort);
    QCOMPARE(EAddr, eAddr);
    QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSettings::carriedBack()
{
    QVERIFY(writeFileContents(settingsPath(),
                              "[Application]\r\nConfigFile=/data/a.cfg\r\nEPort=1001\r\n"
                              "EAddr=10.0.0.5\r\nCommPort=3\r\n"));
    LoadSettings();
    CommPort = 4;
    SaveSettings();
    QCOMPARE(fileContents(settingsPath()),
             QByteArray("[Application]\r\nConfigFile=/data/a.cfg\r\nEPort=1001\r\n"
                        "EAddr=10.0.0.5\r\nCommPort=4\r\n"));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSettings::portsSectionKept()
{
    const QByteArray ports = "[Ports]\r\nCOM1 = /dev/ttyUSB0 \r\n; odd  line\r\n";
    QVERIFY(writeFileContents(settingsPath(), "[Application]\r\nCommPort=2\r\n" + ports));
    LoadSettings();
    QCOMPARE(PortDeviceName(1), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(PortDeviceName(2), QStringLiteral("/dev/ttyS1"));
    SaveSettings();
    QCOMPARE(fileContents(settingsPath()),
             "[Application]\r\nCommPort=2\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n"
             "ConfigFile=RV360.cfg\r\n" +
                 ports);

    // Without a file the default names come back, and no file appears.
    QVERIFY(QFile::remove(settingsPath()));
    QCOMPARE(PortDeviceName(1), QStringLiteral("/dev/ttyS0"));
    QVERIFY(!QFileInfo::exists(settingsPath()));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSettings::longConfigFile()
{
    const QByteArray name = QByteArray(300, 'c');
    QVERIFY(writeFileContents(settingsPath(), "[Application]\r\nConfigFile=" + name + "\r\n"));
    LoadSettings();
    QCOMPARE(ConfigFile, QString(253, u'c'));
    SaveSettings();
    QCOMPARE(fileContents(settingsPath()), "[Application]\r\nConfigFile=" + name.left(253) +
                                               "\r\nCommPort=1\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n");
}

void TestSettings::unreadableContents_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("commPort");
    QTest::addColumn<QString>("eAddr");
    QTest::addColumn<QByteArray>("after");

    const QByteArray keys = "CommPort=%1\r\nEPort=-1\r\nEAddr=%2\r\nConfigFile=RV360.cfg\r\n";
    const QByteArray megabyte(1 << 20, '\xff');
    QTest::newRow("binary garbage")
        << bytes("\0\xff\xfe\r\n[Application]\r\n\x01\x02=\x03\r\nCommPort=2\r\n\xff=\xfe") << 2
        << "0.0.0.0"
        << bytes("\0\xff\xfe\r\n[Application]\r\n\x01\x02=\x03\r\nCommPort=2\r\n\xff=\xfe\r\n"
                 "EPort=-1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n");
    QTest::newRow("NUL in value") << bytes("[Application]\r\nEAddr=1.2\0.3.4\r\n") << 1 << "1.2"
                                  << QByteArray("[Application]\r\nEAddr=1.2\r\nCommPort=1\r\n"
                                                "EPort=-1\r\nConfigFile=RV360.cfg\r\n");
    QTest::newRow("megabyte line")
        << "[Application]\r\n" + megabyte + "\r\nCommPort=3\r\n"
        << 3 << "0.0.0.0"
        << "[Application]\r\n" + megabyte +
               "\r\nCommPort=3\r\nEPort=-1\r\nEAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n";
    QTest::newRow("duplicates")
        << QByteArray("[Application]\r\nCommPort=2\r\nCommPort=3\r\n[application]\r\nEAddr=x\r\n")
        << 2 << "0.0.0.0"
        << QByteArray("[Application]\r\nCommPort=2\r\nCommPort=3\r\nEPort=-1\r\nEAddr=0.0.0.0\r\n"
                      "ConfigFile=RV360.cfg\r\n[application]\r\nEAddr=x\r\n");
    QTest::newRow("no section") << bytes("\0\0\0") << 1 << "0.0.0.0"
                                << bytes("\0\0\0\r\n[Application]\r\nCommPort=1\r\nEPort=-1\r\n"
                                         "EAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n");
}

void TestSettings::unreadableContents()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, commPort);
    QFETCH(QString, eAddr);
    QFETCH(QByteArray, after);
    QVERIFY(writeFileContents(settingsPath(), contents));
    LoadSettings();
    QCOMPARE(int(CommPort), commPort);
    QCOMPARE(int(EPort), -1);
    QCOMPARE(EAddr, eAddr);
    QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));
    SaveSettings();
    const QByteArray written = fileContents(settingsPath());
    QCOMPARE(written.size(), after.size());
    QVERIFY(written == after);
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSettings::unwritableDirectory_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("under a regular file") << false;
    QTest::newRow("read-only directory") << true;
}

void TestSettings::unwritableDirectory()
{
    QFETCH(bool, readOnly);
    QString directory;
    if (readOnly) {
        if (!permissionBitsApply())
            QSKIP("Running as root: permission bits do not stop writes");
        directory = m_dir->path();
        QVERIFY(QFile::setPermissions(directory, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QVERIFY(writeFileContents(m_dir->filePath(QStringLiteral("plain")), "x"));
        directory = m_dir->filePath(QStringLiteral("plain/sub"));
    }
    const auto restore = qScopeGuard([this] {
        QFile::setPermissions(m_dir->path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    SetProgramDirectoryOverride(directory);

    LoadSettings();
    QCOMPARE(CommPort, qint16(1));
    QCOMPARE(EPort, qint16(-1));
    QCOMPARE(EAddr, QStringLiteral("0.0.0.0"));
    QCOMPARE(ConfigFile, QStringLiteral("RV360.cfg"));
    QCOMPARE(m_capture.messages.size(), 1);
    QCOMPARE(m_capture.messages[0].title, QStringLiteral("AppendToTextFile"));
    QVERIFY(m_capture.messages[0].text.startsWith(u"Error: "));

    SaveSettings();
    QCOMPARE(m_capture.messages.size(), 1);
    QVERIFY(!QFileInfo::exists(SettingsFilePath()));
}

void TestSettings::removedBeforeSave()
{
    LoadSettings();
    QVERIFY(QFile::remove(settingsPath()));
    CommPort = 3;
    SaveSettings();
    QVERIFY(!QFileInfo::exists(settingsPath()));
    QVERIFY(m_capture.messages.isEmpty());
}

void TestSettings::rootDirectory()
{
    const QString root = QDir::rootPath();
    SetProgramDirectoryOverride(root);
    QCOMPARE(SettingsFilePath(), QDir::toNativeSeparators(root) + QStringLiteral("RV360.INI"));
    QCOMPARE(SettingsFilePath().count(DirSeparator()), 1);
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
