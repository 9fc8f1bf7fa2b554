// Saves a configuration file or the settings over and over, alternating two states, until it is
// killed. The drill test kills it at random moments and checks the file is always whole.
#include "cFileDialog.h"
#include "configfile.h"
#include "drillcontent.h"
#include "errormessage.h"
#include "modFileUtil.h"
#include "settings.h"

#include <QApplication>
#include <QDir>
#include <QWidget>
#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
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
        cFileDialog::SetShowHandler([path](cFileDialog &dialog, bool) {
            dialog.setFileName(path);
            return true;
        });
        QWidget frame;
        std::array<PocketTable *, 2> tables = {new PocketTable(&frame, 0),
                                               new PocketTable(&frame, 0)};
        for (int which = 0; which < 2; ++which) {
            tables[which]->FillLocationLists();
            tables[which]->FillModeLists();
            Drill::fillTable(*tables[which], which);
        }
        SaveConfigFile(*tables[0], nullptr);
        std::puts("ready");
        std::fflush(stdout);
        for (int which = 1;; which ^= 1)
            SaveConfigFile(*tables[which], nullptr);
    }
    if (mode == QLatin1String("settings")) {
        LoadSettings();
        for (int which = 0, round = 0;; which ^= 1, ++round) {
            CommPort = Drill::port(which);
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
