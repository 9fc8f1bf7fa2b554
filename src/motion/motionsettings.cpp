#include "motionsettings.h"

#include "cIniFile.h"
#include "settings.h"

MotionSettings MotionSettings::Read()
{
    MotionSettings settings;
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    bool whole = false;
    const int seconds =
        ini.ReadIniStr(QStringLiteral("Motion"), QStringLiteral("MoveTimeout"), QString())
            .trimmed()
            .toInt(&whole);
    if (whole && seconds >= 1 && seconds <= 3600)
        settings.moveTimeoutS = seconds;
    settings.recordMoves =
        ini.ReadIniBool(QStringLiteral("Log"), QStringLiteral("Moves"), QStringLiteral("1"));
    return settings;
}
