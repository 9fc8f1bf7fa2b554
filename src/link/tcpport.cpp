#include "tcpport.h"

#include "commandset.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <utility>

TcpPort::TcpPort(QObject *parent) : LinePort(parent), m_socket(this)
{
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(kConnectTimeoutMs);
    connect(&m_connectTimer, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("connection timed out")); });
    connect(&m_socket, &QTcpSocket::connected, this, &TcpPort::onConnected);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpPort::onError);
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        if (m_probe.isActive())
            return onProbeInput();
        if (!m_greeting.isActive()) {
            Q_EMIT dataReceived();
            return;
        }
        // Still greeting: dropped, and the server is quiet only once nothing has come for a while.
        QByteArray dropped;
        if (readInto(dropped) <= 0)
            return;
        const qint64 left = kGreetingMaxMs - m_greetingSince.elapsed();
        m_greeting.start(int(qBound(qint64(0), left, qint64(kGreetingQuietMs))));
    });
    m_greeting.setSingleShot(true);
    m_greeting.setTimerType(Qt::PreciseTimer);
    connect(&m_greeting, &QTimer::timeout, this, &TcpPort::onGreetingOver);
    m_probe.setSingleShot(true);
    m_probe.setTimerType(Qt::PreciseTimer);
    connect(&m_probe, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no answer to %1 within %2 s (not an RV-360 indexer?)")
                 .arg(Indexer::kQueryMotion)
                 .arg(kProbeMs / 1000));
    });
}

bool TcpPort::open(const PortChoice &choice)
{
    close();
    beginOpen(choice);
    if (!UsableEndpoint(choice.host, choice.tcpPort))
        return failed(OpenFailure::Other, QStringLiteral("no usable address and port"));
    m_open = true; // not connected: close() has reset that
    // On the next turn: an open that is closed again at once costs no connection.
    QTimer::singleShot(0, this, [this] {
        if (m_open && !m_connected && m_socket.state() == QAbstractSocket::UnconnectedState)
            startConnecting();
    });
    return true;
}

void TcpPort::startConnecting()
{
    m_connectTimer.start();
    // Unbuffered: frames go straight to the kernel and replies straight from it.
    m_socket.connectToHost(m_choice.host.trimmed(), quint16(m_choice.tcpPort),
                           QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void TcpPort::onConnected()
{
    m_connectTimer.stop();
    m_greetingSince.start();
    m_greeting.start(kGreetingQuietMs);
    // Options take effect only on a connected socket.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(m_socket.socketDescriptor());
    for (const auto &[option, value] : {std::pair{TCP_KEEPIDLE, kKeepIdleS},
                                        {TCP_KEEPINTVL, kKeepIntervalS},
                                        {TCP_KEEPCNT, kKeepCount}})
        ::setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
}

void TcpPort::onGreetingOver()
{
    // A greeting later than the quiet time, or a reply still on its way from an earlier
    // connection, would be taken as the first command's reply: the stream is proven first.
    m_probeInput.clear();
    m_socket.write('$' + Indexer::kQueryMotion.toLatin1() + "\r\n");
    m_socket.flush();
    m_probe.start(kProbeMs);
}

void TcpPort::onProbeInput()
{
    if (readInto(m_probeInput) <= 0 || !m_open)
        return;
    for (qsizetype end; (end = m_probeInput.indexOf('\r')) >= 0;) {
        // The first two characters are the device's own; a line end's LF may lead.
        const QString line = QString::fromLatin1(m_probeInput.left(end)).remove(u'\n');
        m_probeInput.remove(0, end + 1);
        if (Indexer::motionState(line))
            return onProven();
    }
    if (m_probeInput.size() > kReadChunk)
        m_probeInput.clear(); // a line with no end is no answer: memory stays bounded
}

void TcpPort::onProven()
{
    m_probe.stop();
    m_probeInput.clear();
    m_connected = true;
    if (!m_pending.isEmpty()) {
        m_socket.write(std::exchange(m_pending, {}));
        m_socket.flush();
    }
    Q_EMIT connectFinished(true);
}

void TcpPort::onError(QAbstractSocket::SocketError error)
{
    if (!m_open)
        return;
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(QStringLiteral("connection refused"));
        break;
    case QAbstractSocket::HostNotFoundError:
        fail(QStringLiteral("host not found"));
        break;
    case QAbstractSocket::SocketTimeoutError:
        fail(QStringLiteral("connection timed out"));
        break;
    case QAbstractSocket::RemoteHostClosedError:
        fail(QStringLiteral("closed by the far end"));
        break;
    default:
        fail(m_socket.errorString());
        break;
    }
}

void TcpPort::fail(const QString &why)
{
    const bool wasConnected = m_connected;
    m_errorText = why;
    m_failure = OpenFailure::Other;
    reset();
    // Before the connection: the open failed. After: the device is lost, as a serial one can be.
    // Either way a later request tries again, at most once a second.
    if (!wasConnected)
        Q_EMIT connectFinished(false);
    Q_EMIT deviceLost();
}

void TcpPort::reset()
{
    m_connectTimer.stop();
    m_greeting.stop();
    m_probe.stop();
    m_probeInput.clear();
    m_open = false;
    m_connected = false;
    m_pending.clear();
    m_socket.abort();
}

void TcpPort::close()
{
    reset();
}

void TcpPort::discardInput()
{
    // Unbuffered: what waits is in the kernel, taken a chunk at a time.
    QByteArray dropped;
    for (qint64 left = m_socket.bytesAvailable(); m_connected && left > 0;) {
        const qint64 n = readInto(dropped);
        if (n <= 0)
            break;
        left -= n;
        dropped.resize(0);
    }
}

qint64 TcpPort::readInto(QByteArray &buffer)
{
    const qsizetype at = buffer.size();
    buffer.resize(at + kReadChunk);
    const qint64 n = m_socket.read(buffer.data() + at, kReadChunk);
    buffer.resize(at + qMax<qint64>(n, 0));
    // An unbuffered socket that reads the end of the connection leaves the connected state; a
    // read of nothing on a connected socket is only nothing for now.
    if (m_open && m_socket.state() != QAbstractSocket::ConnectedState)
        fail(QStringLiteral("closed by the far end"));
    return qMax<qint64>(n, 0);
}

void TcpPort::discardOutput()
{
    m_pending.clear();
    if (!m_connected)
        return;
    int queued = 0;
    // Connected, so the descriptor is valid.
    const int fd = int(m_socket.socketDescriptor());
    ::ioctl(fd, TIOCOUTQ, &queued);
    if (m_socket.bytesToWrite() == 0 && queued == 0)
        return;
    // SO_LINGER zero: the close sends a reset and the kernel drops what it still holds.
    const linger drop{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
    m_errorText = QStringLiteral("output not taken by the far end");
    reset();
    Q_EMIT deviceLost();
}

void TcpPort::write(const QByteArray &data)
{
    if (!m_open)
        return;
    if (!m_connected) {
        m_pending += data;
        return;
    }
    // Out now, not on the next turn of the event loop: a frame is a few bytes.
    m_socket.write(data);
    m_socket.flush();
}
