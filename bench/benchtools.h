#pragma once

#include "simprocess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <vector>

// Clocks, statistics and the two ends of a pseudo-terminal that the benchmark needs.
namespace Bench
{

using Clock = std::chrono::steady_clock;

double microsBetween(Clock::time_point from, Clock::time_point to);
// CPU time of this process, user plus system, in microseconds.
double processCpuMicros();
// Nearest-rank percentile (p in 0..100); 0 for no values.
double percentile(std::vector<double> values, double p);
inline double median(const std::vector<double> &values)
{
    return percentile(values, 50);
}

// Runs the event loop for the given time, so that timers and ports keep working.
void spin(int ms);
// Milliseconds since local midnight: the clock of the simulator's log.
int msOfDay();

// One line of the simulator's log.
struct LogEntry {
    int ms = 0; // since local midnight
    QByteArray direction;
    QByteArray text; // escaped as logged, e.g. "$B?\r"
};
QList<LogEntry> parseLog(const QByteArray &bytes);
// Times (ms of day) of received frames that start with the text, at or after fromMs.
std::vector<double> receivedAt(const QList<LogEntry> &log, const QByteArray &start, int fromMs);
// Differences between successive times.
std::vector<double> intervals(const std::vector<double> &times);

// rv360-sim on a pty linked at directory/name; its stderr (the log) goes to directory/name.log.
class Simulator : public SimProcess
{
public:
    Simulator(const QString &program, const QString &directory, const QString &name);
    QString link() const { return linkPath(); }
    // The log from byte offset on; the offset moves past what was read.
    QByteArray readLog(qint64 &offset) const;
    qint64 logSize() const;

private:
    QString m_logPath;
};

// The minimal client: POSIX open, raw termios, write, then poll and read until CR.
class RawLine
{
public:
    RawLine() = default;
    ~RawLine();
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;

    bool open(const QString &path);
    void close();
    // Writes the frame and reads until a CR arrives; false when the time ran out first.
    bool transact(const QByteArray &frame, std::chrono::microseconds timeout);

private:
    int m_fd = -1;
};

// A field of /proc/<pid>/status in kB; -1 when missing.
qint64 procStatusKb(qint64 pid, const char *field);
// User plus system CPU time of a process, in seconds; -1 when unreadable.
double procCpuSeconds(qint64 pid);
// CPU time of a process's threads, in microseconds, from the scheduler's nanosecond count
// (the clock ticks of procCpuSeconds are too coarse for a poll at a tenth of a percent);
// procCpuSeconds when the kernel has no such count; -1 when unreadable.
double procCpuMicros(qint64 pid);
// The instruction count of a callgrind output file ("summary:" or "totals:"); -1 when missing.
qint64 callgrindInstructions(const QString &outputFile);

} // namespace Bench
