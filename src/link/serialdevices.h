#pragma once

#include <QList>
#include <QString>
#include <functional>

// A serial device the system reports, by the name to open it with: its stable
// /dev/serial/by-id/ name where it has one, else its device path.
struct SerialDevice {
    QString path;
    // Description, maker and serial number, as far as known ("FT232R USB UART, FTDI, A1B2C3").
    QString details;
};

// What the system reports, before the by-id names are looked up: tests fill it.
struct SerialDeviceReport {
    QString systemLocation, description, manufacturer, serialNumber;
};
using SerialDeviceSource = std::function<QList<SerialDeviceReport>()>;

// The serial devices found now, sorted by path. The source defaults to QSerialPortInfo and the
// stable names to /dev/serial/by-id.
QList<SerialDevice> SerialDevices();
// Tests report devices of their own and look up stable names elsewhere; empty restores both.
void SetSerialDeviceSource(SerialDeviceSource source, const QString &byIdDirectory = {});
