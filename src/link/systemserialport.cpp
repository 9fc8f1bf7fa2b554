#include "systemserialport.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString LockHolder(const QString &device)
{
    QStringList names;
    for (const QString &path : {device, QFileInfo(device).canonicalFilePath()}) {
        // Named as the serial layer names its own: the path below /dev, "/" as "_".
        QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
        if (!name.isEmpty())
            names << QStringLiteral("LCK..") + name.replace(u'/', u'_');
    }
    // The system's lock folders only. Anyone may write a lock file in a sticky folder, so a
    // holder is named only when the lock file's owner could own that process (root, or the
    // process's own user).
    for (const char *directory :
         {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp"}) {
        for (const QString &name : names) {
            QFile lock(QString::fromLatin1(directory) + u'/' + name);
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            const qint64 pid = lock.readLine(64).trimmed().toLongLong();
            struct stat lockInfo = {};
            struct stat process = {};
            if (pid <= 0 || ::fstat(lock.handle(), &lockInfo) != 0 ||
                ::stat(QByteArray("/proc/") + QByteArray::number(pid), &process) != 0 ||
                (lockInfo.st_uid != 0 && lockInfo.st_uid != process.st_uid))
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString program = comm.open(QIODevice::ReadOnly)
                                        ? QString::fromLocal8Bit(comm.readLine(64).trimmed())
                                        : QString();
            return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                                     : QStringLiteral("%1, pid %2").arg(program).arg(pid);
        }
    }
    return {};
}

bool IsSystemConsole(const QString &device, const QString &activeList)
{
    const QString path = QFileInfo(device).canonicalFilePath();
    if (path.isEmpty())
        return false;
    if (path == QLatin1String("/dev/console") || path == QLatin1String("/dev/tty0"))
        return true;
    QFile list(activeList);
    if (!list.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &name : list.read(4096).simplified().split(' ')) {
        if (!name.isEmpty() && path == QLatin1String("/dev/") + QString::fromLatin1(name))
            return true;
    }
    return false;
}

SystemSerialPort::SystemSerialPort(QObject *parent) : LinePort(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &LinePort::dataReceived);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SystemSerialPort::onError);
}

bool SystemSerialPort::open(const PortChoice &choice)
{
    close();
    beginOpen(choice);
    // Always a full device path: QSerialPort would take a bare "COM1" as /dev/COM1.
    const QString &device = choice.device;
    if (IsSystemConsole(device))
        return failed(OpenFailure::SystemConsole, QStringLiteral("system console"));
    m_port.setPortName(device);
    if (m_port.open(QIODevice::ReadWrite)) {
        if (applySettings())
            return true;
        failed(OpenFailure::Other, m_port.errorString());
        m_port.close();
        return false;
    }
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        m_failure = OpenFailure::NotFound;
        break;
    case QSerialPort::PermissionError:
        // QSerialPort reports a device locked by another program as a permission error too.
        m_failure = QFileInfo(device).isWritable() ? OpenFailure::InUse : OpenFailure::NoPermission;
        break;
    default:
        m_failure = QFileInfo::exists(device) ? OpenFailure::Other : OpenFailure::NotFound;
        break;
    }
    m_errorText = m_failure == OpenFailure::InUse ? LockHolder(device) : m_port.errorString();
    return false;
}

bool SystemSerialPort::applySettings()
{
    const LineSettings &line = kLineSettings;
    // NUL pass-through, byte-wise delivery and a notification per arrival are how the port
    // always works here.
    m_port.setReadBufferSize(line.readBufferSize);
    if (!m_port.setBaudRate(line.baudRate) || !m_port.setParity(line.parity) ||
        !m_port.setDataBits(line.dataBits) || !m_port.setStopBits(line.stopBits) ||
        !m_port.setFlowControl(line.flowControl))
        return false;
    if (m_port.setRequestToSend(line.requestToSend))
        return true;
    // A pseudo-terminal has no modem lines: RTS does not apply there and is no failure.
    if (m_port.error() == QSerialPort::UnsupportedOperationError) {
        m_port.clearError();
        return true;
    }
    return false;
}

void SystemSerialPort::close()
{
    if (m_port.isOpen())
        m_port.close();
}

void SystemSerialPort::discardInput()
{
    if (!m_port.isOpen())
        return;
    // The driver's queue (tcflush TCIFLUSH) and the serial layer's buffer.
    m_port.clear(QSerialPort::Input);
    if (const qint64 left = m_port.bytesAvailable(); left > 0)
        m_port.skip(left);
}

void SystemSerialPort::discardOutput()
{
    // QSerialPort's write buffer and the driver's queue (tcflush TCOFLUSH).
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Output);
}

void SystemSerialPort::write(const QByteArray &data)
{
    if (!m_port.isOpen())
        return;
    qint64 done = 0;
#ifdef Q_OS_UNIX
    // Straight to the driver when nothing waits before it: QSerialPort would only queue the
    // frame and arm its write notifier, two more wake-ups to send a few bytes.
    if (m_port.bytesToWrite() == 0) {
        const ssize_t n = ::write(m_port.handle(), data.constData(), size_t(data.size()));
        if (n == data.size())
            return;
        // A full queue or an error: the rest goes through QSerialPort, which reports errors.
        done = qMax<qint64>(n, 0);
    }
#endif
    m_port.write(data.constData() + done, data.size() - done);
}

qint64 SystemSerialPort::readInto(QByteArray &buffer)
{
    const qint64 wanted = m_port.bytesAvailable();
    const qsizetype at = buffer.size();
    buffer.resize(at + wanted);
    const qint64 got = qMax<qint64>(m_port.read(buffer.data() + at, wanted), 0);
    buffer.resize(at + got);
    return got;
}

bool SystemSerialPort::lineHungUp() const
{
#ifdef Q_OS_UNIX
    pollfd line{int(m_port.handle()), POLLIN, 0};
    return ::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return true;
#endif
}

void SystemSerialPort::onError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
        // A read that found nothing is no loss: a discard may have taken the bytes whose
        // arrival woke the reader (stale bytes at open). A line that is gone stays hung up.
        if (!lineHungUp())
            break;
        [[fallthrough]];
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError:
        // A lost device makes QSerialPort repeat the error at full speed until the port closes.
        if (m_port.isOpen()) {
            m_errorText = m_port.errorString();
            m_port.close();
            Q_EMIT deviceLost();
        }
        break;
    default:
        // NoError arrives on every open; other errors are left to the transaction's timeout.
        break;
    }
}
