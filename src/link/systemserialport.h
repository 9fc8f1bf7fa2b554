#pragma once

#include "serialport.h"

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

// The real serial port over QSerialPort. Port number n opens the device that the settings map
// n to. A fatal line error (device lost) closes the port once, so that a vanished device cannot
// keep the event loop busy with a stream of errors.
class SystemSerialPort : public SerialPort
{
    Q_OBJECT
public:
    explicit SystemSerialPort(QObject *parent = nullptr);

    bool setPortNumber(int portNumber) override;
    int portNumber() const override { return m_portNumber; }
    // The path as given: the serial layer's portName() is a short name for devices under /dev.
    QString deviceName() const override { return m_device; }

    bool isOpen() const override { return m_port.isOpen(); }
    bool open() override;
    bool close() override;

    bool setLineFormat(const QString &settings) override;
    bool setNoHandshaking() override;
    bool setReceiveBufferSize(int bytes) override;
    bool setRequestToSend(bool on) override;

    void discardInput() override;
    void discardOutput() override;
    bool write(const QByteArray &data) override;
    qint64 bytesAvailable() const override { return m_port.bytesAvailable(); }
    QByteArray read(qint64 maxBytes) override { return m_port.read(maxBytes); }
    qint64 readInto(QByteArray &buffer, qint64 maxBytes) override;

    // The line settings the port holds now, as "19200,N,8,1,none" (flow control last).
    QString lineSettings() const;

    OpenFailure lastOpenFailure() const override { return m_openFailure; }
    QString errorText() const override { return m_errorText; }

private:
    void onError(QSerialPort::SerialPortError error);
    bool applyRequestToSend();
    bool lineHungUp() const;

    QSerialPort m_port;
    QString m_device;
    int m_portNumber = 0;
    OpenFailure m_openFailure = OpenFailure::None;
    QString m_errorText;
    bool m_rtsChosen = false;
    bool m_rts = false;
};
