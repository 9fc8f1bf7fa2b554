#pragma once

#include "serialport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

// Whether an Ethernet endpoint can be connected to: an IPv4 or IPv6 address or a host name,
// and a port from 1 to 65535 (the stored defaults "0.0.0.0" and -1 are not).
bool UsableEndpoint(const QString &address, int port);

// The indexer's line through a serial device server (or ser2net) over TCP, byte for byte: the
// Ethernet choice. The endpoint is EAddr:EPort of the settings. Opening never blocks: open()
// starts the host lookup and the connection on the next turn of the event loop and returns true
// (isConnecting() until connectFinished()); frames written meanwhile go out once connected.
class TcpPort : public SerialPort
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 3000;
    // Keepalive probes, so that a dead peer is found in seconds, not in Linux's two hours.
    static constexpr int kKeepIdleS = 5, kKeepIntervalS = 2, kKeepCount = 3;
    // What a device server sends as it accepts (a banner, "Device open failure ..." before it
    // closes) is nobody's reply: after the connection is made, input is dropped and output held
    // until the server has been quiet for kGreetingQuietMs, kGreetingMaxMs at most.
    static constexpr int kGreetingQuietMs = 100;
    static constexpr int kGreetingMaxMs = 1000;
    static constexpr int kReadChunk = 4096;

    explicit TcpPort(QObject *parent = nullptr);

    bool setPortNumber(int portNumber) override;
    int portNumber() const override { return m_portNumber; }
    // "host:port", an IPv6 address in brackets.
    QString deviceName() const override;

    bool isOpen() const override { return m_open; }
    bool open() override;
    bool close() override;
    bool isConnecting() const override { return m_open && !m_connected; }

    // A TCP connection has no line settings: they are accepted as they are.
    bool setLineFormat(const QString &) override { return true; }
    bool setNoHandshaking() override { return true; }
    bool setReceiveBufferSize(int) override { return true; }
    bool setRequestToSend(bool) override { return true; }

    void discardInput() override;
    // Output still queued (here or in the kernel) is dropped by resetting the connection: a
    // frame that timed out must never reach the indexer after the network comes back.
    void discardOutput() override;
    bool write(const QByteArray &data) override;
    qint64 bytesAvailable() const override { return m_input.size(); }
    QByteArray read(qint64 maxBytes) override;
    qint64 readInto(QByteArray &buffer, qint64 maxBytes) override;

    OpenFailure lastOpenFailure() const override { return m_failure; }
    QString errorText() const override { return m_errorText; }

private:
    void startConnecting();
    void onConnected();
    void onGreetingOver();
    void onError(QAbstractSocket::SocketError error);
    void fail(const QString &why);
    void reset();

    QTcpSocket m_socket;
    QTimer m_connectTimer;
    QTimer m_greeting;
    QElapsedTimer m_greetingSince;
    int m_portNumber = 0;
    QString m_host;
    quint16 m_port = 0;
    bool m_open = false;
    bool m_connected = false;
    QByteArray m_pending;
    // What arrived, taken from the kernel in one read per notification.
    QByteArray m_input;
    // What is read only to be dropped (a greeting, input past the bound).
    QByteArray m_dropped;
    OpenFailure m_failure = OpenFailure::None;
    QString m_errorText;
};
