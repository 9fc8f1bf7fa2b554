#include "settings.h"

#include "cIniFile.h"
#include "conversions.h"
#include "errormessage.h"
#include "modFileUtil.h"

#include <QFileInfo>
#include <QMap>

qint16 CommPort = 1;
int EPort = -1;
QString EAddr = QStringLiteral("0.0.0.0");
QString ConfigFile = QStringLiteral("RV360.cfg");
std::array<QString, 8> PocketNames;

namespace
{

// Devices chosen in this run, by port number.
QMap<int, QString> &chosenDevices()
{
    static QMap<int, QString> devices;
    return devices;
}

const QString Section = QStringLiteral("Application");

QString nameKey(int pocket)
{
    return QStringLiteral("Name%1").arg(pocket);
}
constexpr qsizetype kMaxDevicePath = 4096;

QString fileDeviceName(int portNumber)
{
    const QString key = QStringLiteral("COM") + QString::number(portNumber);
    // Read directly: looking up a device must never show a message or touch the file.
    if (const std::optional<QByteArray> contents = Ini::readFile(SettingsFilePath())) {
        const std::optional<QString> device =
            Ini::readValue(*contents, QStringLiteral("Ports"), key);
        // No device path is that long or holds a NUL; such a value is shown and opened as
        // something that is not found, never passed on whole.
        if (device && (device->size() > kMaxDevicePath || device->contains(QChar(0))))
            return QStringLiteral("[invalid path]");
        if (device && !device->isEmpty())
            return *device;
    }
#ifdef Q_OS_WIN
    return key;
#else
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
#endif
}

// The names that differ from the file's.
QList<cIniFile::Entry> changedNames()
{
    QList<cIniFile::Entry> entries;
    const std::array<QString, 8> stored = ReadPocketNames();
    for (int k = 1; k <= 8; ++k) {
        if (PocketNames[k - 1] != stored[k - 1])
            entries.append({QStringLiteral("Pockets"), nameKey(k), PocketNames[k - 1]});
    }
    return entries;
}

} // namespace

QString SettingsFilePath()
{
    // The directory always ends with one separator, so a root gives "/RV360.INI".
    return ProgramDirectory() + QStringLiteral("RV360.INI");
}

void LoadSettings()
{
    const QString path = SettingsFilePath();
    const QFileInfo file(path);
    QString why;
    if (!file.exists())
        AppendToTextFile(path, QStringLiteral("[Application]"));
    else if (!Ini::readFile(path, &why))
        // Not rewritten either: the save finds it unreadable too.
        ShowErrorMessage(
            QStringLiteral("LoadSettings"), ErrorNumber::PathFileAccess,
            QStringLiteral("%1 not used (%2): defaults taken, nothing saved").arg(path, why));

    cIniFile ini;
    ini.setFileName(path);
    // A value that is no 16-bit whole number (a hand-edited "COM2") falls back to the default.
    CommPort =
        TextToInteger(ini.ReadIniStr(Section, QStringLiteral("CommPort"), QStringLiteral("1")))
            .value_or(qint16(1));
    // A TCP port reaches 65535: past the 16-bit range only a plain whole number is taken.
    const QString ePort = ini.ReadIniStr(Section, QStringLiteral("EPort"), QStringLiteral("-1"));
    const int widePort = ePort.trimmed().toInt(); // 0, out of the range, when it is none
    const std::optional<qint16> narrow = TextToInteger(ePort);
    EPort = narrow ? *narrow : widePort > 32767 && widePort <= 65535 ? widePort : -1;
    EAddr = ini.ReadIniStr(Section, QStringLiteral("EAddr"), QStringLiteral("0.0.0.0"));
    ConfigFile = ini.ReadIniStr(Section, QStringLiteral("ConfigFile"), QStringLiteral("RV360.cfg"));
    PocketNames = ReadPocketNames();
}

std::array<QString, 8> ReadPocketNames()
{
    std::array<QString, 8> names;
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    for (int k = 1; k <= 8; ++k)
        names[k - 1] = ini.ReadIniStr(QStringLiteral("Pockets"), nameKey(k), QString());
    return names;
}

void SaveSettings()
{
    // Not created here: a file removed while the program ran stays removed.
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    QList<cIniFile::Entry> entries = {
        {Section, QStringLiteral("CommPort"), QString::number(CommPort)},
        {Section, QStringLiteral("EPort"), QString::number(EPort)},
        {Section, QStringLiteral("EAddr"), EAddr},
        {Section, QStringLiteral("ConfigFile"), ConfigFile}};
    // A device chosen in the dialog; one that the file (or the default) already gives adds
    // nothing.
    for (auto it = chosenDevices().cbegin(); it != chosenDevices().cend(); ++it) {
        if (it.value() != fileDeviceName(it.key()))
            entries.append(
                {QStringLiteral("Ports"), QStringLiteral("COM%1").arg(it.key()), it.value()});
    }
    entries += changedNames();
    // One replacement for all, so that an interrupted save leaves the old file whole.
    ini.WriteIniEntries(entries);
}

void SavePocketNames()
{
    const QList<cIniFile::Entry> entries = changedNames();
    if (entries.isEmpty())
        return;
    cIniFile ini;
    ini.setFileName(SettingsFilePath());
    ini.WriteIniEntries(entries);
}

void SetPortDevice(int portNumber, const QString &device)
{
    if (device.isEmpty())
        chosenDevices().remove(portNumber);
    else
        chosenDevices().insert(portNumber, device);
}

QString PortDeviceName(int portNumber)
{
    const QString chosen = chosenDevices().value(portNumber);
    return chosen.isEmpty() ? fileDeviceName(portNumber) : chosen;
}
