#include "instrumentsettings.h"

#include "cIniFile.h"
#include "settings.h"

InstrumentSettings InstrumentSettings::Read()
{
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    const QString section = QStringLiteral("Instrument");
    return {ini.ReadIniStr(section, QStringLiteral("Listen"), QString()).trimmed(),
            ini.ReadIniStr(section, QStringLiteral("Allow"), QString()).trimmed()};
}
