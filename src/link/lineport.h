#pragma once

#include "portchoice.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

// Whether an Ethernet endpoint can be connected to: an IPv4 or IPv6 address or a host name,
// and a port from 1 to 65535 (the stored defaults "0.0.0.0" and -1 are not).
bool UsableEndpoint(const QString &address, int port);

// The indexer's fixed line settings, applied as a serial port opens.
struct LineSettings {
    qint32 baudRate = 19200;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    QSerialPort::FlowControl flowControl = QSerialPort::NoFlowControl;
    bool requestToSend = false;
    qint64 readBufferSize = 2048;
};
inline constexpr LineSettings kLineSettings{};

// The line to the indexer over the device that carries it (QSerialPort, QTcpSocket), with only
// what the link needs besides reading and writing: open with the reason of a failure, discard
// input and output, and the loss of the device. The program's ports and the tests' fake
// implement it.
class LinePort : public QObject
{
    Q_OBJECT
public:
    // Why the last open failed, in terms an operator can act on.
    enum class OpenFailure { None, NotFound, InUse, NoPermission, SystemConsole, Other };

    using QObject::QObject;

    // Opens the line that the choice names. False, with lastOpenFailure() and errorText(), when
    // it cannot; a network line may still be connecting on true, and connectFinished() tells how
    // that ended.
    virtual bool open(const PortChoice &choice) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual bool isConnecting() const { return false; }

    virtual void write(const QByteArray &frame) = 0;
    // Appends what is waiting to buffer, in one read; the number of bytes appended.
    virtual qint64 readInto(QByteArray &buffer) = 0;
    virtual void discardInput() = 0;
    // Drops output not yet sent: the program's buffer and the driver's.
    virtual void discardOutput() = 0;

    // The choice last opened (or tried).
    const PortChoice &choice() const { return m_choice; }
    OpenFailure lastOpenFailure() const { return m_failure; }
    QString errorText() const { return m_errorText; }

Q_SIGNALS:
    // Received data is waiting.
    void dataReceived();
    // The device went away (adapter unplugged, far end closed): the port has closed itself.
    void deviceLost();
    // An open that was still connecting has ended: connected or not.
    void connectFinished(bool connected);

protected:
    // Starts an open of the choice: no failure so far.
    void beginOpen(const PortChoice &choice)
    {
        m_choice = choice;
        m_failure = OpenFailure::None;
        m_errorText.clear();
    }
    bool failed(OpenFailure failure, const QString &why)
    {
        m_failure = failure;
        m_errorText = why;
        return false;
    }

    PortChoice m_choice;
    OpenFailure m_failure = OpenFailure::None;
    QString m_errorText;
};
