#include "remotesettings.h"

#include "cIniFile.h"
#include "settings.h"

RemoteSettings RemoteSettings::Read()
{
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    const QString remote = QStringLiteral("Remote");
    RemoteSettings settings{
        ini.ReadIniBool(remote, QStringLiteral("Enabled"), QStringLiteral("1")), QString(),
        ini.ReadIniBool(QStringLiteral("Log"), QStringLiteral("Traffic"), QStringLiteral("0")),
        QString()};
    settings.socket = ini.ReadIniWhole(remote, QStringLiteral("Socket"), QString(), &settings.error)
                          .value_or(QString());
    return settings;
}
