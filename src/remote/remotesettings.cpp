#include "remotesettings.h"

#include "cIniFile.h"
#include "settings.h"

RemoteSettings RemoteSettings::Read()
{
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    const QString remote = QStringLiteral("Remote");
    return {ini.ReadIniBool(remote, QStringLiteral("Enabled"), QStringLiteral("1")),
            ini.ReadIniStr(remote, QStringLiteral("Socket"), QString()),
            ini.ReadIniBool(QStringLiteral("Log"), QStringLiteral("Traffic"), QStringLiteral("0"))};
}
