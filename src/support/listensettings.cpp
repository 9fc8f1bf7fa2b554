#include "listensettings.h"

#include "cIniFile.h"
#include "settings.h"

ListenSettings ListenSettings::Read(const QString &section)
{
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    ListenSettings settings;
    const auto listen = ini.ReadIniWhole(section, QStringLiteral("Listen"), {}, &settings.error);
    const auto allow = ini.ReadIniWhole(section, QStringLiteral("Allow"), {}, &settings.error);
    if (listen && allow) {
        settings.listen = listen->trimmed();
        settings.allow = allow->trimmed();
    }
    return settings;
}
