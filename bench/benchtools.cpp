#include "benchtools.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace Bench
{

double microsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double processCpuMicros()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval &t) { return double(t.tv_sec) * 1e6 + double(t.tv_usec); };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

int msOfDay()
{
    return QTime::currentTime().msecsSinceStartOfDay();
}

QList<LogEntry> parseLog(const QByteArray &bytes)
{
    QList<LogEntry> entries;
    for (const QByteArray &line : bytes.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() < 3)
            continue;
        const QTime time = QTime::fromString(QString::fromLatin1(words[0]), u"hh:mm:ss.zzz");
        if (!time.isValid())
            continue;
        entries.append({time.msecsSinceStartOfDay(), words[1], words[2]});
    }
    return entries;
}

std::vector<double> receivedAt(const QList<LogEntry> &log, const QByteArray &start, int fromMs)
{
    constexpr int Day = 24 * 3600 * 1000;
    std::vector<double> times;
    for (const LogEntry &entry : log) {
        if (entry.direction != "rx" || !entry.text.startsWith(start))
            continue;
        // A run that crosses midnight continues the count.
        int ms = entry.ms;
        if (ms < fromMs - Day / 2)
            ms += Day;
        if (ms >= fromMs)
            times.push_back(ms);
    }
    return times;
}

std::vector<double> intervals(const std::vector<double> &times)
{
    std::vector<double> result;
    for (std::size_t i = 1; i < times.size(); ++i)
        result.push_back(times[i] - times[i - 1]);
    return result;
}

Simulator::Simulator(const QString &program, const QString &directory, const QString &name)
    : SimProcess(program), m_logPath(directory + QLatin1Char('/') + name + QStringLiteral(".log"))
{
    setLinkPath(directory + QLatin1Char('/') + name);
    setLogFile(m_logPath);
}

QByteArray Simulator::readLog(qint64 &offset) const
{
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    const QByteArray bytes = file.readAll();
    // Only whole lines: the rest is read next time.
    const qsizetype end = bytes.lastIndexOf('\n') + 1;
    offset += end;
    return bytes.left(end);
}

qint64 Simulator::logSize() const
{
    return QFile(m_logPath).size();
}

RawLine::~RawLine()
{
    close();
}

bool RawLine::open(const QString &path)
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

void RawLine::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RawLine::transact(const QByteArray &frame, std::chrono::microseconds timeout)
{
    if (m_fd < 0)
        return false;
    const Clock::time_point deadline = Clock::now() + timeout;
    qsizetype done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::write(m_fd, frame.constData() + done, std::size_t(frame.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    char buffer[4096];
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return false;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{time_t(ns / 1000000000), long(ns % 1000000000)};
        pollfd pfd{m_fd, POLLIN, 0};
        if (::ppoll(&pfd, 1, &wait, nullptr) <= 0)
            continue;
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0 && std::memchr(buffer, '\r', std::size_t(n)))
            return true;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
    }
}

qint64 procStatusKb(qint64 pid, const char *field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double procCpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // The command name may hold spaces: count fields after its closing parenthesis.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / ticks;
}

double procCpuMicros(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    double total = 0;
    bool any = false;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + u'/' + task + QStringLiteral("/schedstat"));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const double ns = file.readAll().split(' ').value(0).toDouble(&ok);
        if (ok) {
            total += ns / 1000;
            any = true;
        }
    }
    if (any)
        return total;
    const double seconds = procCpuSeconds(pid);
    return seconds < 0 ? -1 : seconds * 1e6;
}

qint64 callgrindInstructions(const QString &outputFile)
{
    QFile file(outputFile);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("summary:") || line.startsWith("totals:"))
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace Bench
