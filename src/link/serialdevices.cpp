#include "serialdevices.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

namespace
{

SerialDeviceSource &source()
{
    static SerialDeviceSource s;
    return s;
}

QString &byIdDirectory()
{
    static QString d;
    return d;
}

QList<SerialDeviceReport> systemReport()
{
    QList<SerialDeviceReport> out;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        out.append(
            {info.systemLocation(), info.description(), info.manufacturer(), info.serialNumber()});
    return out;
}

} // namespace

QList<SerialDevice> SerialDevices()
{
    // The stable names, by the device each leads to.
    QHash<QString, QString> stable;
    const QDir byId(byIdDirectory().isEmpty() ? QStringLiteral("/dev/serial/by-id")
                                              : byIdDirectory());
    for (const QFileInfo &link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty() && !stable.contains(target))
            stable.insert(target, link.absoluteFilePath());
    }
    QList<SerialDevice> devices;
    for (const SerialDeviceReport &report : source() ? source()() : systemReport()) {
        QStringList details;
        for (const QString &part : {report.description, report.manufacturer, report.serialNumber})
            if (!part.isEmpty())
                details << part;
        const QString target = QFileInfo(report.systemLocation).canonicalFilePath();
        devices.append({stable.value(target, report.systemLocation), details.join(u", ")});
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDevice &a, const SerialDevice &b) { return a.path < b.path; });
    return devices;
}

void SetSerialDeviceSource(SerialDeviceSource newSource, const QString &directory)
{
    source() = std::move(newSource);
    byIdDirectory() = directory;
}
