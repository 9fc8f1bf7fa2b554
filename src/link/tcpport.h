#pragma once

#include "lineport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

// The indexer's line through a serial device server (or ser2net) over TCP, byte for byte: the
// Ethernet choice. Opening never blocks: open() starts the host lookup and the connection on the
// next turn of the event loop and returns true (isConnecting() until connectFinished()); frames
// written meanwhile go out once connected and the stream is proven in step.
class TcpPort : public LinePort
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 3000;
    void setConnectTimeout(int ms) { m_connectTimer.setInterval(ms); } // for tests
    // Keepalive probes, so that a dead peer is found in seconds, not in Linux's two hours.
    static constexpr int kKeepIdleS = 5, kKeepIntervalS = 2, kKeepCount = 3;
    // What a device server sends as it accepts (a banner, "Device open failure ..." before it
    // closes) is nobody's reply: after the connection is made, input is dropped and output held
    // until the server has been quiet for kGreetingQuietMs, kGreetingMaxMs at most.
    static constexpr int kGreetingQuietMs = 100;
    static constexpr int kGreetingMaxMs = 1000;
    // Then the stream is proven in step before anything else goes: the motion query's answer (R
    // or M in the third character) within kProbeMs, any other line before it dropped. Without
    // it the open fails.
    static constexpr int kProbeMs = 1000;
    // The most one read takes: a flood is read a chunk per notification.
    static constexpr int kReadChunk = 4096;

    explicit TcpPort(QObject *parent = nullptr);

    bool open(const PortChoice &choice) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    bool isConnecting() const override { return m_open && !m_connected; }

    void write(const QByteArray &frame) override;
    qint64 readInto(QByteArray &buffer) override;
    void discardInput() override;
    // Output still queued (here or in the kernel) is dropped by resetting the connection: a
    // frame that timed out must never reach the indexer after the network comes back.
    void discardOutput() override;

private:
    void startConnecting();
    void onConnected();
    void onGreetingOver();
    void onProbeInput();
    void onProven();
    void onError(QAbstractSocket::SocketError error);
    void fail(const QString &why);
    void reset();

    QTcpSocket m_socket;
    QTimer m_connectTimer;
    QTimer m_greeting;
    QElapsedTimer m_greetingSince;
    QTimer m_probe;
    QByteArray m_probeInput;
    bool m_open = false;
    bool m_connected = false;
    QByteArray m_pending;
};
