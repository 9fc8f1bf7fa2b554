// Figures 5 and 6: the built program started as an operator starts it: process start to its
// first poll frame, and its memory and CPU while the line floods.
#include "benchtools.h"
#include "figures.h"
#include "figuretools.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

void startOffscreen(QProcess &process, const QString &program, const QStringList &args,
                    const QString &errorFile)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(errorFile, QIODevice::Append);
    process.start(program, args);
}

// Start to the sim's log line of the first "$B?", in ms (its clock has 1 ms resolution).
double firstFrame(const Simulator &sim, const QString &executable, const QStringList &args,
                  const QString &platform, const QString &display, const QString &errorFile)
{
    qint64 offset = sim.logSize();
    QProcess process;
    process.setProcessEnvironment(platformEnvironment(platform, display));
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(errorFile, QIODevice::Append);
    const int fromMs = msOfDay();
    process.start(executable, args);
    double result = -1;
    const QDeadlineTimer deadline(10000);
    QByteArray log;
    while (result < 0 && !deadline.hasExpired()) {
        QThread::msleep(1);
        log += sim.readLog(offset);
        const std::vector<double> times = receivedAt(parseLog(log), "$B?", fromMs);
        if (!times.empty())
            result = times.front() - fromMs;
    }
    endProcess(process);
    spin(LineSettleMs);
    return result;
}

// What figure 6 reads of rv360 and the bare window before, early in and at the end of a flood.
struct FloodSamples {
    qint64 rssStart = -1;
    qint64 rssFirst = -1;
    qint64 bareFirst = -1;
    qint64 rssEnd = -1;
    qint64 bareEnd = -1;
    qint64 hwm = -1;
    qint64 bareHwm = -1;
    double cpuShare = 0;
    int firstSampleMs = 0;
    bool flooding = false;
    bool alive = false;
};

// The flood on the sim's line, with rv360 and the bare window sampled through it; both are ended
// before it returns.
FloodSamples sampleFlood(Simulator &sim, QProcess &app, QProcess &bare, int floodSeconds)
{
    FloodSamples f;
    const qint64 appPid = app.processId();
    const qint64 barePid = bare.processId();
    spin(3000);
    f.rssStart = procStatusKb(appPid, "VmRSS");

    const int floodMs = floodSeconds * 1000;
    f.firstSampleMs = std::min(10000, floodMs / 2);
    f.flooding = sim.control(QStringLiteral("flood on")) == QStringLiteral("ok");
    const double cpuStart = procCpuSeconds(appPid);
    const Clock::time_point start = Clock::now();
    spin(f.firstSampleMs);
    f.rssFirst = procStatusKb(appPid, "VmRSS");
    f.bareFirst = procStatusKb(barePid, "VmRSS");
    spin(floodMs - f.firstSampleMs);
    f.rssEnd = procStatusKb(appPid, "VmRSS");
    f.bareEnd = procStatusKb(barePid, "VmRSS");
    f.cpuShare = (procCpuSeconds(appPid) - cpuStart) * 1e6 / microsBetween(start, Clock::now());
    f.hwm = procStatusKb(appPid, "VmHWM");
    f.bareHwm = procStatusKb(barePid, "VmHWM");
    sim.control(QStringLiteral("flood off"));
    f.alive = app.state() == QProcess::Running && f.rssEnd > 0;
    endProcess(app);
    endProcess(bare);
    return f;
}

} // namespace

void Figures::startup()
{
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyStart"));
    if (!sim.start({QStringLiteral("--log")})) {
        add(errorRow(5, QStringLiteral("Process start to first poll frame"),
                     QStringLiteral("rv360-sim did not start")));
        return;
    }
    const QString program = copyProgram(m_options.appProgram, dir.path(), sim.link());
    const QString errorFile = dir.path() + QStringLiteral("/start.err");
    const VirtualDisplay display(m_options.display);

    QStringList platforms;
    if (display.ok())
        platforms << QStringLiteral("xcb");
    platforms << QStringLiteral("offscreen");
    std::vector<double> bareC;
    for (const QString &platform : platforms) {
        const QString where =
            platform == QLatin1String("xcb") ? QStringLiteral("Xvfb") : QStringLiteral("offscreen");
        const QString name = QStringLiteral("Start to first poll frame, %1 (median)").arg(where);
        std::vector<double> programTimes, bareTimes;
        bool failed = program.isEmpty();
        for (int i = 0; i < m_options.startRuns && !failed; ++i) {
            // Alternating, so that a change of load hits both alike.
            const double p = firstFrame(sim, program, {}, platform, display.display(), errorFile);
            const double b = firstFrame(sim, m_options.bareQtProgram, {sim.link()}, platform,
                                        display.display(), errorFile);
            const double c =
                firstFrame(sim, m_options.rawProgram, {QStringLiteral("frame"), sim.link()},
                           platform, display.display(), errorFile);
            failed = p < 0 || b < 0 || c < 0;
            programTimes.push_back(p);
            bareTimes.push_back(b);
            bareC.push_back(c);
        }
        if (failed) {
            add(errorRow(5, name, QStringLiteral("No poll frame within 10 s (see start.err)")));
            continue;
        }
        const double mid = median(programTimes);
        const double bare = median(bareTimes);
        QStringList each;
        for (double t : programTimes)
            each << QString::number(t, 'f', 0);
        say(QStringLiteral("[5] %1: start to first \"$B?\": rv360 median %2 (runs: %3 ms); bare Qt "
                           "Widgets window median %4; ratio %5")
                .arg(where, ms(mid), each.join(QStringLiteral(", ")), ms(bare))
                .arg(mid / bare, 0, 'f', 2));
        add({5, name, ms(mid) + QStringLiteral(" (ratio %1)").arg(mid / bare, 0, 'f', 2),
             ms(bare) + QStringLiteral(" (bare Qt Widgets window)"), QStringLiteral("ratio ≤ 1.2"),
             passIf(mid <= 1.2 * bare),
             QStringLiteral("Beyond the bare window: the program's own widgets (the pocket "
                            "table and its lists), its icon drawn from SVG, more "
                            "libraries to load, the settings and the port's probes and open.")});
    }
    if (!bareC.empty() && *std::min_element(bareC.begin(), bareC.end()) >= 0) {
        say(QStringLiteral("[5] a bare C process writing the frame: median %1")
                .arg(ms(median(bareC))));
        add({5,
             QStringLiteral("Start to first poll frame, bare C process (median)"),
             ms(median(bareC)),
             QStringLiteral("—"),
             QStringLiteral("—"),
             Result::Info,
             {}});
    }
}

void Figures::memory()
{
    const QString peakName = QStringLiteral("Peak memory of rv360 (VmHWM; VmRSS)");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyFlood"));
    if (!sim.start()) {
        add(errorRow(6, peakName, QStringLiteral("rv360-sim did not start")));
        return;
    }
    const QString program = copyProgram(m_options.appProgram, dir.path(), sim.link());
    const QString errorFile = dir.path() + QStringLiteral("/rv360.err");
    QProcess app, bare;
    startOffscreen(app, program, {}, errorFile);
    startOffscreen(bare, m_options.bareQtProgram, {}, dir.path() + QStringLiteral("/bare.err"));
    if (program.isEmpty() || !app.waitForStarted(5000) || !bare.waitForStarted(5000)) {
        add(errorRow(6, peakName, QStringLiteral("rv360 or the bare window did not start")));
        return;
    }
    const FloodSamples f = sampleFlood(sim, app, bare, m_options.floodSeconds);
    if (!f.alive || !f.flooding) {
        add(errorRow(6, peakName,
                     f.alive ? QStringLiteral("The sim did not flood.")
                             : QStringLiteral("rv360 ended during the flood (see rv360.err).")));
        return;
    }
    const qint64 growth = f.rssEnd - f.rssFirst;
    say(QStringLiteral("[6] rv360: VmHWM %1, VmRSS %2 before the flood, %3 at %4 s, %5 at %6 s "
                       "(growth %7 kB); CPU share during the flood %8. Bare window: VmHWM %9, "
                       "VmRSS %10 -> %11")
            .arg(megabytes(f.hwm), megabytes(f.rssStart), megabytes(f.rssFirst))
            .arg(f.firstSampleMs / 1000)
            .arg(megabytes(f.rssEnd))
            .arg(m_options.floodSeconds)
            .arg(growth)
            .arg(percent(f.cpuShare), megabytes(f.bareHwm), megabytes(f.bareFirst),
                 megabytes(f.bareEnd)));
    add({6,
         peakName,
         megabytes(f.hwm) + QStringLiteral("; ") + megabytes(f.rssEnd),
         megabytes(f.bareHwm) + QStringLiteral(" (bare Qt window)"),
         QStringLiteral("< 60 MB"),
         passIf(f.hwm < 60 * 1024),
         {}});
    add({6,
         QStringLiteral("VmRSS growth, %1 s to %2 s of a flooding line")
             .arg(f.firstSampleMs / 1000)
             .arg(m_options.floodSeconds),
         QStringLiteral("%1 kB").arg(growth),
         QStringLiteral("%1 kB (bare Qt window)").arg(f.bareEnd - f.bareFirst),
         QStringLiteral("< 1 MB"),
         passIf(growth < 1024),
         {}});
    add({6,
         QStringLiteral("CPU share of rv360 during the flood"),
         percent(f.cpuShare),
         QStringLiteral("—"),
         QStringLiteral("—"),
         Result::Info,
         {}});
}
