#include "websettings.h"

#include "cIniFile.h"
#include "settings.h"

WebSettings WebSettings::Read()
{
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    const QString section = QStringLiteral("Web");
    WebSettings settings;
    const auto listen = ini.ReadIniWhole(section, QStringLiteral("Listen"), {}, &settings.error);
    const auto allow = ini.ReadIniWhole(section, QStringLiteral("Allow"), {}, &settings.error);
    if (listen && allow) {
        settings.listen = listen->trimmed();
        settings.allow = allow->trimmed();
    }
    return settings;
}
