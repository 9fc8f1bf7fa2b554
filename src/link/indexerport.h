#pragma once

#include "serialport.h"
#include "systemserialport.h"
#include "tcpport.h"

// The program's port: the serial device for port numbers 1 to 4 and the TCP connection to a
// serial device server for the Ethernet choice (5 or more), behind one interface, so that the
// link and the windows never ask which.
class IndexerPort : public SerialPort
{
    Q_OBJECT
public:
    explicit IndexerPort(QObject *parent = nullptr);

    bool setPortNumber(int portNumber) override;
    int portNumber() const override { return m_portNumber; }
    QString deviceName() const override { return current().deviceName(); }
    bool isOpen() const override { return current().isOpen(); }
    bool isConnecting() const override { return current().isConnecting(); }
    bool open() override { return current().open(); }
    bool close() override { return current().close(); }
    bool setLineFormat(const QString &settings) override
    {
        return current().setLineFormat(settings);
    }
    bool setNoHandshaking() override { return current().setNoHandshaking(); }
    bool setReceiveBufferSize(int bytes) override { return current().setReceiveBufferSize(bytes); }
    bool setRequestToSend(bool on) override { return current().setRequestToSend(on); }
    void discardInput() override { current().discardInput(); }
    void discardOutput() override { current().discardOutput(); }
    bool write(const QByteArray &data) override { return current().write(data); }
    qint64 bytesAvailable() const override { return current().bytesAvailable(); }
    QByteArray read(qint64 maxBytes) override { return current().read(maxBytes); }
    qint64 readInto(QByteArray &buffer, qint64 maxBytes) override
    {
        return current().readInto(buffer, maxBytes);
    }
    OpenFailure lastOpenFailure() const override { return current().lastOpenFailure(); }
    QString errorText() const override { return current().errorText(); }

    SystemSerialPort &serial() { return m_serial; }

private:
    bool ethernet() const { return m_portNumber >= 5; }
    SerialPort &current() { return ethernet() ? static_cast<SerialPort &>(m_tcp) : m_serial; }
    const SerialPort &current() const
    {
        return ethernet() ? static_cast<const SerialPort &>(m_tcp) : m_serial;
    }

    SystemSerialPort m_serial;
    TcpPort m_tcp;
    int m_portNumber = 0;
};
