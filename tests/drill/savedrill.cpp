// Saves a configuration file or the settings over and over, alternating two states, until it is
// killed. The drill test kills it at random moments and checks the file is always whole.
#include "configfile.h"
#include "drillcontent.h"
#include "errormessage.h"
#include "modFileUtil.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: rv360-savedrill config|settings DIR\n");
        return 2;
    }
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    SetProgramDirectoryOverride(dir);
    SetErrorMessageHandler([](const QString &title, const QString &text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    });

    if (mode == QLatin1String("config")) {
        const QString path = QDir(dir).filePath(QStringLiteral("drill.cfg"));
        const std::array<PocketLayout, 2> layouts = {Drill::layout(0), Drill::layout(1)};
        QString why;
        WriteConfigFile(path, layouts[0], &why);
        std::puts("ready");
        std::fflush(stdout);
        for (int which = 1;; which ^= 1)
            WriteConfigFile(path, layouts[which], &why);
    }
    if (mode == QLatin1String("settings")) {
        LoadSettings();
        for (int which = 0, round = 0;; which ^= 1, ++round) {
            CommPort = qint16(which + 1);
            EAddr = Drill::address(which);
            SaveSettings();
            if (round == 0) {
                std::puts("ready");
                std::fflush(stdout);
            }
        }
    }
    return 2;
}
