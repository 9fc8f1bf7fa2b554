#pragma once

#include "figures.h"
#include "indexerlink.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <chrono>

// What the families of figures share: the line's timing, the units of the report, the rows, the
// program's settings in a directory of the benchmark's own and the processes it starts.
namespace Bench
{

inline const QByteArray QueryFrame = "$B?\r\n";
constexpr std::chrono::milliseconds LinkTimeout{IndexerLink::kTimeoutMs};
// The sim stops reading for 200 ms when the last opener of its pty closes; let it resume.
constexpr int LineSettleMs = 300;
constexpr int BlockSize = 50;

QString us(double micros);
QString ms(double millis);
QString percent(double share);
QString megabytes(qint64 kb);
// A line of the report, printed at once.
void say(const QString &text);
BenchRow::Result passIf(bool ok);
BenchRow errorRow(int figure, const QString &name, const QString &why);

// The program's directory moved to a temporary one whose settings map COM1 to the sim.
class TemporarySettings
{
public:
    TemporarySettings(const QString &directory, const QString &link);
    ~TemporarySettings();
    TemporarySettings(const TemporarySettings &) = delete;
    TemporarySettings &operator=(const TemporarySettings &) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

// A copy of the built program with settings beside it, as an operator would run it.
QString copyProgram(const QString &program, const QString &directory, const QString &link);
void endProcess(QProcess &process);

// Xvfb on the benchmark's own display, for as long as it lives.
class VirtualDisplay
{
public:
    explicit VirtualDisplay(const QString &display);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString display() const { return m_display; }
    qint64 pid() const { return m_process.processId(); }

private:
    QString m_display;
    QString m_error;
    QProcess m_process;
};

// The environment of a program on the given platform: "xcb" on the display, or "offscreen".
QProcessEnvironment platformEnvironment(const QString &platform, const QString &display);

} // namespace Bench
