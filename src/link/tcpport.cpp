#include "tcpport.h"

#include "settings.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <utility>

bool UsableEndpoint(const QString &address, int port)
{
    const QString host = address.trimmed();
    if (port < 1 || port > 65535 || host.isEmpty() || host.size() > 253)
        return false;
    if (const QHostAddress ip(host); !ip.isNull())
        return !ip.isEqual(QHostAddress::AnyIPv4) && !ip.isEqual(QHostAddress::AnyIPv6);
    // A host name: dot-separated labels of letters, digits and inner hyphens.
    static const QRegularExpression name(
        QStringLiteral("^(?!-)[A-Za-z0-9-]{1,63}(?<!-)(\\.(?!-)[A-Za-z0-9-]{1,63}(?<!-))*\\.?$"));
    return name.match(host).hasMatch() &&
           !host.contains(QRegularExpression(QStringLiteral("^[0-9.]+$")));
}

TcpPort::TcpPort(QObject *parent) : SerialPort(parent), m_socket(this)
{
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(kConnectTimeoutMs);
    connect(&m_connectTimer, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("connection timed out")); });
    connect(&m_socket, &QTcpSocket::connected, this, &TcpPort::onConnected);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpPort::onError);
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        // One read straight into the input. A greeting, and input past the bound (what
        // nobody takes is dropped with the next discard), go to a scratch buffer instead.
        const bool keep = !m_greeting.isActive() && m_input.size() < kReadChunk;
        QByteArray &into = keep ? m_input : m_dropped;
        const qsizetype at = keep ? m_input.size() : 0;
        into.resize(at + kReadChunk);
        const qint64 n = m_socket.read(into.data() + at, kReadChunk);
        into.resize(at + qMax<qint64>(n, 0));
        // An unbuffered socket that reads the end of the connection leaves the connected state;
        // a read of nothing on a connected socket is only nothing for now.
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            if (m_open)
                fail(QStringLiteral("closed by the far end"));
            return;
        }
        if (n <= 0)
            return;
        if (m_greeting.isActive()) {
            // Still greeting: the server is quiet only once nothing has come for a while.
            const qint64 left = kGreetingMaxMs - m_greetingSince.elapsed();
            m_greeting.start(int(qBound(qint64(0), left, qint64(kGreetingQuietMs))));
            return;
        }
        Q_EMIT dataReceived();
    });
    m_greeting.setSingleShot(true);
    m_greeting.setTimerType(Qt::PreciseTimer);
    connect(&m_greeting, &QTimer::timeout, this, &TcpPort::onGreetingOver);
}

bool TcpPort::setPortNumber(int portNumber)
{
    if (m_open)
        return false;
    m_portNumber = portNumber;
    return true;
}

QString TcpPort::deviceName() const
{
    const QString host = m_open ? m_host : EAddr;
    const int port = m_open ? m_port : EPort;
    const bool ipv6 = QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol;
    return (ipv6 ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(port);
}

bool TcpPort::open()
{
    m_failure = OpenFailure::None;
    m_errorText.clear();
    if (m_open)
        return true;
    if (!UsableEndpoint(EAddr, EPort)) {
        m_failure = OpenFailure::Other;
        m_errorText = QStringLiteral("no usable address and port");
        return false;
    }
    m_host = EAddr.trimmed();
    m_port = quint16(EPort);
    m_open = true;
    m_connected = false;
    // On the next turn: an open that is closed again at once (a probe) costs no connection.
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
    m_socket.connectToHost(m_host, m_port, QIODevice::ReadWrite | QIODevice::Unbuffered);
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
    m_input.clear();
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
    m_open = false;
    m_connected = false;
    m_pending.clear();
    m_input.clear();
    m_socket.abort();
}

bool TcpPort::close()
{
    reset();
    return true;
}

void TcpPort::discardInput()
{
    m_input.resize(0);
}

QByteArray TcpPort::read(qint64 maxBytes)
{
    const QByteArray out = m_input.left(maxBytes);
    m_input.remove(0, out.size());
    return out;
}

qint64 TcpPort::readInto(QByteArray &buffer, qint64 maxBytes)
{
    const qsizetype n = qsizetype(qBound<qint64>(0, maxBytes, m_input.size()));
    buffer.append(m_input.constData(), n);
    m_input.remove(0, n);
    return n;
}

void TcpPort::discardOutput()
{
    m_pending.clear();
    if (!m_connected)
        return;
    int queued = 0;
    const int fd = int(m_socket.socketDescriptor());
    if (fd >= 0)
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

bool TcpPort::write(const QByteArray &data)
{
    if (!m_open)
        return false;
    if (!m_connected) {
        m_pending += data;
        return true;
    }
    // Out now, not on the next turn of the event loop: a frame is a few bytes.
    const bool queued = m_socket.write(data) == data.size();
    m_socket.flush();
    return queued;
}
