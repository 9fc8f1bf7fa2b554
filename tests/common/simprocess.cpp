#include "simprocess.h"

#include <QCoreApplication>

#include <QDeadlineTimer>
#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace
{
constexpr int StartTimeoutMs = 5000;
constexpr int ControlTimeoutMs = 5000;
constexpr int StopTimeoutMs = 5000;
} // namespace

// QSerialPort locks a device by the base name of its path (/var/lock/LCK..<name>): tests that
// run side by side need names of their own.
static QString uniqueLinkName()
{
    static int counter = 0;
    return QStringLiteral("ttyRV360-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

SimProcess::SimProcess(QString fallbackProgram)
    : m_fallbackProgram(std::move(fallbackProgram)), m_linkPath(m_dir.filePath(uniqueLinkName()))
{
}

SimProcess::~SimProcess()
{
    stop();
}

QString SimProcess::program() const
{
    const QString fromEnvironment = qEnvironmentVariable("RV360_SIM");
    return fromEnvironment.isEmpty() ? m_fallbackProgram : fromEnvironment;
}

bool SimProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

bool SimProcess::start(const QStringList &extraArgs)
{
    if (isRunning() || program().isEmpty() || !m_dir.isValid())
        return false;
    m_stderr.clear();
    m_process.start(program(), QStringList{"--link", m_linkPath} + extraArgs);
    if (!m_process.waitForStarted(StartTimeoutMs))
        return false;
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        const QString line = readLine(int(deadline.remainingTime()));
        if (line == "ready " + m_linkPath)
            return true;
        if (!isRunning())
            break;
    }
    qWarning("rv360-sim did not become ready: %s", errorOutput().constData());
    stop();
    return false;
}

QString SimProcess::readLine(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (!isRunning() || deadline.hasExpired())
            return {};
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

QString SimProcess::control(const QString &line)
{
    if (!isRunning())
        return {};
    m_process.write(line.toLocal8Bit() + '\n');
    return readLine(ControlTimeoutMs);
}

void SimProcess::closeInput()
{
    m_process.closeWriteChannel();
}

QByteArray SimProcess::errorOutput()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

void SimProcess::kill()
{
    if (!isRunning())
        return;
    m_process.kill();
    m_process.waitForFinished(StopTimeoutMs);
}

void SimProcess::stop()
{
    if (!isRunning())
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(StopTimeoutMs))
        kill();
}

RawClient::~RawClient()
{
    close();
}

bool RawClient::open(const QString &path)
{
    close();
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) {
        close();
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(m_fd, TCSANOW, &tio);
    return true;
}

void RawClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void RawClient::discardInput()
{
    if (m_fd < 0)
        return;
    ::tcflush(m_fd, TCIFLUSH);
    // Drain too: bytes may still be on their way through the pty after the flush.
    // Bounded, because a flooding simulator never stops writing.
    char buffer[4096];
    for (int i = 0; i < 64 && ::read(m_fd, buffer, sizeof buffer) > 0; ++i) {
    }
}

bool RawClient::write(const QByteArray &bytes)
{
    if (m_fd < 0)
        return false;
    const QDeadlineTimer deadline(5000);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        pollfd pfd{m_fd, POLLOUT, 0};
        ::poll(&pfd, 1, int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

QByteArray RawClient::readUntilCr(int timeoutMs)
{
    QByteArray received;
    if (m_fd < 0)
        return received;
    const QDeadlineTimer deadline(timeoutMs);
    while (!received.contains('\r')) {
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, n);
            continue;
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (deadline.hasExpired())
            break;
        pollfd pfd{m_fd, POLLIN, 0};
        ::poll(&pfd, 1, int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return received;
}

QByteArray RawClient::readFor(int ms)
{
    QByteArray received;
    if (m_fd < 0)
        return received;
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(qMax<qint64>(1, deadline.remainingTime()))) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, n);
        else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
    }
    return received;
}

QByteArray RawClient::transact(const QByteArray &frame, int timeoutMs)
{
    discardInput();
    if (!write(frame))
        return {};
    return readUntilCr(timeoutMs);
}
