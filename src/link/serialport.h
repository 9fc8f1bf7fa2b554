#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// The serial port as the link needs it. The program's own port (SystemSerialPort) and the tests'
// fake port implement it, so the transaction and the windows never see QSerialPort directly.
class SerialPort : public QObject
{
    Q_OBJECT
public:
    // Why the last open failed, in terms an operator can act on.
    enum class OpenFailure { None, NotFound, InUse, NoPermission, SystemConsole, Other };

    using QObject::QObject;

    // Selects the device with number n (COM1..COM9); the device name comes from the settings.
    virtual bool setPortNumber(int portNumber) = 0;
    virtual int portNumber() const = 0;
    // The device that the selected number opens.
    virtual QString deviceName() const = 0;

    virtual bool isOpen() const = 0;
    // open() may finish later (a network connection): true while it has not, and
    // connectFinished() tells how it ended.
    virtual bool isConnecting() const { return false; }
    virtual bool open() = 0;
    virtual bool close() = 0;

    // Line settings in the form "19200,N,8,1".
    virtual bool setLineFormat(const QString &settings) = 0;
    virtual bool setNoHandshaking() = 0;
    virtual bool setReceiveBufferSize(int bytes) = 0;
    virtual bool setRequestToSend(bool on) = 0;

    virtual void discardInput() = 0;
    // Drops output not yet sent: the program's buffer and the driver's.
    virtual void discardOutput() = 0;
    virtual bool write(const QByteArray &data) = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray read(qint64 maxBytes) = 0;
    // Appends what is waiting, up to maxBytes, to buffer; the number of bytes appended. A port
    // that can fill the caller's buffer directly does so, without an array of its own per read.
    virtual qint64 readInto(QByteArray &buffer, qint64 maxBytes)
    {
        const QByteArray data = read(maxBytes);
        buffer.append(data.constData(), data.size());
        return data.size();
    }

    virtual OpenFailure lastOpenFailure() const = 0;
    virtual QString errorText() const = 0;

Q_SIGNALS:
    // Received data is waiting.
    void dataReceived();
    // The device went away (adapter unplugged, far end closed): the port has closed itself.
    void deviceLost();
    // An open that was still connecting has ended: connected or not.
    void connectFinished(bool connected);
};
