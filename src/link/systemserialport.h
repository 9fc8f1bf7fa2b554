#pragma once

#include "lineport.h"

#include <QSerialPort>

// Whether the device (a symbolic link is followed) is one the kernel uses as its console:
// /dev/console, /dev/tty0, or a device named in the active console list. Such a device is
// never opened: the poll would write to a server's console.
bool IsSystemConsole(const QString &device,
                     const QString &activeList = QStringLiteral("/sys/class/tty/console/active"));

// The program holding the device, as its UUCP lock file in a system lock folder names it
// ("minicom, pid 1234"), by the path given and by the device a symbolic link leads to; empty
// when no lock file names a running process that the file's owner could own.
QString LockHolder(const QString &device);

// The real serial port over QSerialPort, on the device the choice names, with the fixed line
// settings. A fatal line error (device lost) closes the port once, so that a vanished device
// cannot keep the event loop busy with a stream of errors.
class SystemSerialPort : public LinePort
{
    Q_OBJECT
public:
    explicit SystemSerialPort(QObject *parent = nullptr);

    bool open(const PortChoice &choice) override;
    void close() override;
    bool isOpen() const override { return m_port.isOpen(); }

    void write(const QByteArray &frame) override;
    qint64 readInto(QByteArray &buffer) override;
    void discardInput() override;
    void discardOutput() override;

private:
    void onError(QSerialPort::SerialPortError error);
    bool applySettings();
    bool lineHungUp() const;

    QSerialPort m_port;
};
