// The pocket layout and its configuration file (the fuzz targets and their corpora check the
// file's lines and the layout read; the window and script tests its sending). Layouts are written
// as the pockets that differ from a layout of End Bananas at 200 degrees: "5=3:0" is pocket 5
// "Not Used" at 0.
#include "configfile.h"
#include "testhome.h"

#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
PocketLayout base()
{
    PocketLayout layout;
    for (int row = 0; row < PocketLayout::kRows; ++row)
        layout.setType(row, EndBanana), layout.setPosition(row, 200);
    return layout;
}
PocketLayout changed(const QString &text)
{
    PocketLayout layout = base();
    for (const QString &cell : text.split(u' ', Qt::SkipEmptyParts)) {
        const int row = cell.section(u'=', 0, 0).toInt() - 1;
        layout.setType(row, cell.section(u'=', 1).section(u':', 0, 0).toInt());
        layout.setPosition(row, cell.section(u':', 1).toInt());
    }
    return layout;
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fileWrittenAndReadBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("layout.cfg"));
        QString why;
        QVERIFY(WriteConfigFile(path, PocketLayout(), &why));
        QCOMPARE(contentsOf(path), QByteArray("1, 3, 1\r\n2, 3, 1\r\n3, 3, 1\r\n4, 3, 1\r\n"
                                              "5, 3, 1\r\n6, 3, 1\r\n7, 3, 1\r\n8, 3, 1\r\n"));
        const PocketLayout saved = changed("1=0:0 2=1:359 3=2:90 5=3:12 8=0:180");
        QVERIFY(WriteConfigFile(path, saved, &why));
        PocketLayout opened;
        QVERIFY(ReadConfigFile(path, opened));
        QVERIFY(opened == saved);
        PocketLayout bounds; // the last row's values, and no ninth row
        QVERIFY(bounds.setType(7, 3) && !bounds.setType(7, 4) && !bounds.setPosition(7, 360));
        QVERIFY(bounds.setPosition(7, 359) && !bounds.setType(8, 0));
        // A file that cannot be read changes nothing; one that cannot be written says why.
        QVERIFY(!ReadConfigFile(dir.filePath(QStringLiteral("none.cfg")), opened));
        QVERIFY(opened == saved);
        // A FIFO is refused unopened: an open would wait for a writer.
        const QString fifo = dir.filePath(QStringLiteral("fifo.cfg"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(!ReadConfigFile(fifo, opened) && !WriteConfigFile(fifo, saved, &why));
        QVERIFY(!WriteConfigFile(path + QStringLiteral("/sub.cfg"), saved, &why));
        QVERIFY(!why.isEmpty());
        // A file it may not read, a folder it may not write: in a child, which gives up root.
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7711)));
        QVERIFY(QFile::setPermissions(path, {}));
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            const bool user = ::getuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
            const bool refused = !ReadConfigFile(path, opened) &&
                                 !WriteConfigFile(path + QStringLiteral(".new"), saved, &why);
            // exit, not _exit: a coverage build records the child too.
            std::exit(user && refused && why == QLatin1String("Permission denied") ? 0 : 1);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        QCOMPARE(status, 0);
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
