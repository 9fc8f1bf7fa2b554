// Pictures of the main window, a move alert and the setup dialog talking to a simulator, for the
// README.
// Usage: rv360-shots LINK OUTDIR [SUFFIX]
// LINK is the pseudo-terminal of a running rv360-sim; the settings live in a temporary folder.
#include "frmComm.h"
#include "frmMain.h"
#include "modFileUtil.h"
#include "motionsupervisor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: rv360-shots LINK OUTDIR [SUFFIX]\n");
        return 2;
    }
    const QByteArray link = argv[1];
    const QString out = QString::fromLocal8Bit(argv[2]);
    const QString suffix = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    QTemporaryDir programDir;
    QFile ini(QDir(programDir.path()).filePath(QStringLiteral("RV360.INI")));
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write(
        "[Application]\r\nCommPort=1\r\n[Pockets]\r\nName1=Ti\r\nName5=Au\r\n[Ports]\r\nCOM1=" +
        link + "\r\n");
    ini.close();
    SetProgramDirectoryOverride(programDir.path());
    QDir().mkpath(out);

    frmMain window;
    window.show();
    window.Form_Load();
    QTest::qWait(2500); // a few polls
    bool ok = window.grab().save(QDir(out).filePath("main" + suffix + ".png"));

    // A script's move that cannot arrive within its second, then the script's inhibit.
    const QString script = QStringLiteral("script uid=1000 pid=4242");
    window.motion().setTimeLimit(1);
    const bool at5 = window.findChild<QLabel *>(QStringLiteral("lblPocket"))->text() == u'5';
    window.motion().move(at5 ? 1 : 5, script, nullptr, {});
    QTest::qWait(1300);
    window.motion().setInhibit(true, QStringLiteral("HV on"), script);
    // A lab computer holding remote control of the instrument port.
    window.motion().setRemotePort(QStringLiteral("192.168.10.5:5025"));
    window.motion().setRemoteAllowed(true);
    window.motion().takeRemote(&app, QStringLiteral("192.168.10.7"));
    QTest::qWait(100);
    ok = window.grab().save(QDir(out).filePath("alert" + suffix + ".png")) && ok;
    window.motion().setInhibit(false, {}, script);

    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdComm")), Qt::LeftButton);
    if (frmComm *dialog = frmComm::instance()) {
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("cmdFind")),
                          Qt::LeftButton);
        QTest::qWait(300);
        ok = dialog->grab().save(QDir(out).filePath("setup" + suffix + ".png")) && ok;
        dialog->close();
    }
    window.close();
    return ok ? 0 : 1;
}
