// Figures 2, 3 and 4: CPU while the program waits: a timed-out transaction, and the real
// program polling beside the C and pyserial loops; the timeout and the poll period they keep.
#include "benchtools.h"
#include "commandset.h"
#include "figures.h"
#include "figuretools.h"
#include "indexerlink.h"
#include "settings.h"
#include "systemserialport.h"
#include "transact.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

// Debian's python3 with pyserial; empty when there is none.
QString pyserialPython()
{
    const QString python = QStringLiteral("/usr/bin/python3");
    QProcess probe;
    probe.start(python, {QStringLiteral("-c"), QStringLiteral("import serial")});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit &&
                   probe.exitCode() == 0
               ? python
               : QString();
}

constexpr int PollMs = 500;

// One poller beside its own simulator.
struct Poller {
    QString name;
    bool silent = false;
    std::unique_ptr<Simulator> sim;
    QProcess process;
    double cpuFrom = -1;
    double cpuTo = -1;
    // CPU share of each slice of the window.
    std::vector<double> slices;
    qint64 logOffset = 0;
    int frames = 0;
    std::vector<double> periods;
};
using Pollers = std::vector<std::unique_ptr<Poller>>;

QString ratioText(double value, double floor)
{
    return floor > 0 ? QString::number(value / floor, 'f', 1) + u'x' : QStringLiteral("—");
}

enum Kind { Xcb, Offscreen, Raw, Python };
struct Contender {
    Kind kind;
    QString name;
    bool silent;
};

// The window, the floors there are, and the window and the C loop again on a silent line.
std::vector<Contender> contendersFor(bool display, bool python)
{
    std::vector<Contender> contenders;
    if (display)
        contenders.push_back({Xcb, QStringLiteral("rv360 (Xvfb)"), false});
    contenders.push_back({Offscreen, QStringLiteral("rv360 (offscreen)"), false});
    contenders.push_back({Raw, QStringLiteral("raw C loop"), false});
    if (python)
        contenders.push_back({Python, QStringLiteral("pyserial loop"), false});
    contenders.push_back({display ? Xcb : Offscreen,
                          display ? QStringLiteral("rv360 (Xvfb), silent line")
                                  : QStringLiteral("rv360 (offscreen), silent line"),
                          true});
    contenders.push_back({Raw, QStringLiteral("raw C loop, silent line"), true});
    return contenders;
}

// Each contender started beside a simulator of its own under dir; none, and the reason in *why,
// when one does not start.
Pollers startPollers(const std::vector<Contender> &contenders, const BenchOptions &options,
                     const QString &dir, const VirtualDisplay &display, const QString &python,
                     int runSeconds, QString *why)
{
    Pollers pollers;
    int index = 0;
    for (const Contender &contender : contenders) {
        auto poller = std::make_unique<Poller>();
        poller->name = contender.name;
        poller->silent = contender.silent;
        const QString home = dir + QStringLiteral("/p%1").arg(index++);
        QDir().mkpath(home);
        poller->sim = std::make_unique<Simulator>(options.simProgram, home, QStringLiteral("tty"));
        if (!poller->sim->start({QStringLiteral("--log")}) ||
            (contender.silent && poller->sim->control(QStringLiteral("silent on")) != "ok")) {
            *why = QStringLiteral("rv360-sim did not start");
            return {};
        }
        const QString link = poller->sim->link();
        QProcess &process = poller->process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(home + QStringLiteral("/err"));
        switch (contender.kind) {
        case Xcb:
        case Offscreen: {
            const QString program = copyProgram(options.appProgram, home, link);
            process.setProcessEnvironment(platformEnvironment(
                contender.kind == Xcb ? QStringLiteral("xcb") : QStringLiteral("offscreen"),
                display.display()));
            process.start(program, {});
            break;
        }
        case Raw:
            process.start(options.rawProgram,
                          {QStringLiteral("poll"), link, QString::number(runSeconds)});
            break;
        case Python:
            process.start(python, {options.pyserialScript, link, QString::number(runSeconds)});
            break;
        }
        if (!process.waitForStarted(5000)) {
            *why = contender.name + QStringLiteral(" did not start");
            return {};
        }
        pollers.push_back(std::move(poller));
    }
    return pollers;
}

// The measured window: its ends on the sim's clock, its length, and the Xvfb server's CPU.
struct PollWindow {
    int fromMs = 0;
    int toMs = 0;
    double wall = 0;
    double xFrom = -1;
    double xTo = -1;
    int sliceCount = 0;
};

PollWindow measurePollers(Pollers &pollers, const VirtualDisplay &display, int pollSeconds)
{
    PollWindow w;
    w.fromMs = msOfDay();
    const Clock::time_point start = Clock::now();
    w.xFrom = display.ok() ? procCpuMicros(display.pid()) : -1;
    for (auto &p : pollers) {
        p->cpuFrom = procCpuMicros(p->process.processId());
        p->logOffset = p->sim->logSize();
    }
    // In slices, each poller's share taken as the median of its slices: a burst of another job
    // on the machine spoils a slice, not the figure.
    w.sliceCount = std::max(4, pollSeconds / 10);
    Clock::time_point sliceStart = start;
    for (auto &p : pollers)
        p->cpuTo = p->cpuFrom;
    for (int slice = 0; slice < w.sliceCount; ++slice) {
        spin(pollSeconds * 1000 / w.sliceCount);
        const Clock::time_point now = Clock::now();
        const double sliceWall = microsBetween(sliceStart, now);
        sliceStart = now;
        for (auto &p : pollers) {
            const double cpu = procCpuMicros(p->process.processId());
            p->slices.push_back((cpu - p->cpuTo) / sliceWall);
            p->cpuTo = cpu;
        }
    }
    w.xTo = display.ok() ? procCpuMicros(display.pid()) : -1;
    w.wall = microsBetween(start, Clock::now());
    w.toMs = msOfDay();
    return w;
}

// Each poller's frames in the window, from its sim's log, and the poller ended; the names of
// those that had ended before.
QStringList endPollers(Pollers &pollers, const PollWindow &w)
{
    QStringList broken;
    for (auto &p : pollers) {
        std::vector<double> times =
            receivedAt(parseLog(p->sim->readLog(p->logOffset)), "$B?", w.fromMs);
        times.erase(
            std::remove_if(times.begin(), times.end(), [&w](double t) { return t > w.toMs; }),
            times.end());
        p->frames = int(times.size());
        p->periods = intervals(times);
        if (p->process.state() != QProcess::Running || p->cpuFrom < 0 || p->cpuTo < 0)
            broken << p->name;
        endProcess(p->process);
    }
    return broken;
}

const Poller *pollerOf(const Pollers &pollers, const QString &name)
{
    for (const auto &p : pollers) {
        if (p->name == name)
            return p.get();
    }
    return nullptr;
}

double shareOf(const Pollers &pollers, const QString &name)
{
    const Poller *p = pollerOf(pollers, name);
    return p ? median(p->slices) : -1.0;
}

// Figure 3: the window's share under Xvfb and offscreen against both floors, the Xvfb server's,
// and the share on a silent line.
std::vector<BenchRow> shareRows(const Pollers &pollers, const VirtualDisplay &display, bool python,
                                double xShare, const QString &xName)
{
    std::vector<BenchRow> rows;
    const double raw = shareOf(pollers, QStringLiteral("raw C loop"));
    const double py = !python ? -1 : shareOf(pollers, QStringLiteral("pyserial loop"));
    const QString floor = (py >= 0 ? percent(py) + QStringLiteral(" (pyserial); ") : QString()) +
                          percent(raw) + QStringLiteral(" (raw C)");
    const QString pyNote = !python
                               ? QStringLiteral("No pyserial row: Debian's python3-serial is not "
                                                "installed (bench/run.sh installs it). ")
                               : QString();
    const QString target = QStringLiteral("≤ 1.5x pyserial, ≤ 3x raw");
    const auto row = [&](const QString &name, double share) {
        const bool ok = share <= 3 * raw && (py < 0 || share <= 1.5 * py);
        rows.push_back(
            {3, name,
             percent(share) + QStringLiteral(" (%1 pyserial, %2 raw)")
                                  .arg(ratioText(share, py), ratioText(share, raw)),
             floor, target, passIf(ok),
             pyNote + QStringLiteral("Both floors poll the same line at the same rate in the "
                                     "same run; each share is the median of the run's slices and "
                                     "the window's share is its own process only.")});
    };
    if (display.ok()) {
        row(xName, shareOf(pollers, QStringLiteral("rv360 (Xvfb)")));
        rows.push_back(
            {3,
             QStringLiteral("CPU share of the Xvfb server meanwhile (drawing for the window)"),
             percent(xShare),
             QStringLiteral("—"),
             QStringLiteral("—"),
             Result::Info,
             {}});
    } else {
        rows.push_back(errorRow(3, xName, display.error()));
    }
    row(QStringLiteral("CPU share, real `rv360` offscreen, polling"),
        shareOf(pollers, QStringLiteral("rv360 (offscreen)")));
    const QString silentName = display.ok() ? QStringLiteral("rv360 (Xvfb), silent line")
                                            : QStringLiteral("rv360 (offscreen), silent line");
    const double silent = shareOf(pollers, silentName);
    const double rawSilent = shareOf(pollers, QStringLiteral("raw C loop, silent line"));
    rows.push_back(
        {3,
         QStringLiteral("CPU share, real `rv360` polling a silent line (every request times out)"),
         percent(silent) + QStringLiteral(" (%1 raw)").arg(ratioText(silent, rawSilent)),
         percent(rawSilent) + QStringLiteral(" (raw C)"),
         QStringLiteral("< 1 %"),
         passIf(silent < 0.01),
         {}});
    return rows;
}

// Figure 4: the window's poll period from its sim's log, beside the C loop's.
std::vector<BenchRow> periodRows(const Pollers &pollers, bool display)
{
    const QString periodName = QStringLiteral("Poll period 500 ms (median / p99)");
    const Poller *window = pollerOf(pollers, display ? QStringLiteral("rv360 (Xvfb)")
                                                     : QStringLiteral("rv360 (offscreen)"));
    const Poller *rawPoller = pollerOf(pollers, QStringLiteral("raw C loop"));
    if (!window || window->periods.size() < 2 || !rawPoller)
        return {errorRow(4, periodName, QStringLiteral("Too few poll frames in the sim's log."))};
    const double mid = median(window->periods);
    const double p99 = percentile(window->periods, 99);
    // p99 is also checked on the short side: a period can be cut as well as stretched.
    const double low = percentile(window->periods, 1);
    say(QStringLiteral("[4] poll period from the sim's log: median %1, p1 %2, p99 %3 (%4 periods); "
                       "raw loop median %5 p99 %6")
            .arg(ms(mid), ms(low), ms(p99))
            .arg(window->periods.size())
            .arg(ms(median(rawPoller->periods)), ms(percentile(rawPoller->periods, 99))));
    return {{4, periodName, ms(mid) + QStringLiteral(" / ") + ms(p99),
             ms(median(rawPoller->periods)) + QStringLiteral(" / ") +
                 ms(percentile(rawPoller->periods, 99)) + QStringLiteral(" (raw loop)"),
             QStringLiteral("±5 ms / ±20 ms"),
             passIf(std::abs(mid - PollMs) <= 5 && std::abs(p99 - PollMs) <= 20 &&
                    std::abs(low - PollMs) <= 20),
             QStringLiteral("Time stamps are the sim's log, 1 ms resolution.")}};
}

} // namespace

void Figures::timeoutCpu()
{
    const QString name = QStringLiteral("CPU per timed-out transaction (200 ms wait)");
    const QString timeoutName = QStringLiteral("Transaction timeout 200 ms (median / p99)");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyTO"));
    RawLine raw;
    TemporarySettings programDirectory(dir.path(), sim.link());
    SystemSerialPort port;
    if (!sim.start() || !raw.open(sim.link()) || !port.open(StoredPortChoice()) ||
        sim.control(QStringLiteral("silent on")) != QStringLiteral("ok")) {
        add(errorRow(2, name, QStringLiteral("rv360-sim or the pty did not start")));
        return;
    }
    IndexerLink link(port);
    spin(LineSettleMs);
    std::vector<double> programCpu, programWall, rawCpu, rawWall;
    int answered = 0;
    for (int i = 0; i < m_options.timeoutRuns; ++i) {
        double cpu = processCpuMicros();
        Clock::time_point start = Clock::now();
        const IndexerLink::Reply reply = transact(link, Indexer::kQueryPocket);
        programWall.push_back(microsBetween(start, Clock::now()) / 1000);
        programCpu.push_back(processCpuMicros() - cpu);
        answered += reply.timedOut ? 0 : 1;

        cpu = processCpuMicros();
        start = Clock::now();
        answered += raw.transact(QueryFrame, LinkTimeout) ? 1 : 0;
        rawWall.push_back(microsBetween(start, Clock::now()) / 1000);
        rawCpu.push_back(processCpuMicros() - cpu);
    }
    port.close();
    say(QStringLiteral("[2] %1 timeouts each: CPU program median %2, raw median %3; wall program "
                       "median %4 p99 %5, raw median %6 p99 %7")
            .arg(programCpu.size())
            .arg(us(median(programCpu)), us(median(rawCpu)), ms(median(programWall)),
                 ms(percentile(programWall, 99)), ms(median(rawWall)),
                 ms(percentile(rawWall, 99))));
    const QString answeredNote =
        answered ? QStringLiteral("%1 transactions were answered by a silent sim.").arg(answered)
                 : QString();
    const double cpu = median(programCpu);
    add({2, name, us(cpu) + QStringLiteral(" CPU"), us(median(rawCpu)) + QStringLiteral(" (raw)"),
         QStringLiteral("< 1 ms CPU"), answered ? Result::Error : passIf(cpu < 1000),
         answeredNote});
    const double mid = median(programWall);
    const double p99 = percentile(programWall, 99);
    add({4, timeoutName, ms(mid) + QStringLiteral(" / ") + ms(p99),
         ms(median(rawWall)) + QStringLiteral(" / ") + ms(percentile(rawWall, 99)) +
             QStringLiteral(" (raw)"),
         QStringLiteral("±5 ms / ±20 ms"),
         answered ? Result::Error
                  : passIf(std::abs(mid - IndexerLink::kTimeoutMs) <= 5 &&
                           std::abs(p99 - IndexerLink::kTimeoutMs) <= 20),
         answeredNote});
}

void Figures::pollCpu()
{
    const QString xName = QStringLiteral("CPU share, real `rv360` window under Xvfb, polling");
    QTemporaryDir dir;
    const VirtualDisplay display(m_options.display);
    const QString python = pyserialPython();
    // All at once, each against a simulator of its own, so that the machine's load (another
    // build, a test run) hits every one alike.
    const int warmupMs = 3000;
    const int runSeconds = (warmupMs + 2000) / 1000 + m_options.pollSeconds;
    QString why;
    Pollers pollers = startPollers(contendersFor(display.ok(), !python.isEmpty()), m_options,
                                   dir.path(), display, python, runSeconds, &why);
    if (!why.isEmpty()) {
        add(errorRow(3, xName, why));
        return;
    }
    // Start-up and the first polls are figure 5's business.
    spin(warmupMs);
    const PollWindow window = measurePollers(pollers, display, m_options.pollSeconds);
    const QStringList broken = endPollers(pollers, window);
    const double xShare = (window.xTo - window.xFrom) / window.wall;
    QStringList line;
    for (const auto &p : pollers)
        line << QStringLiteral("%1 %2, median of slices %3 (%4 frames)")
                    .arg(p->name, percent((p->cpuTo - p->cpuFrom) / window.wall),
                         percent(median(p->slices)))
                    .arg(p->frames);
    say(QStringLiteral("[3] %1 s in %2 slices, all at once: %3; Xvfb server %4")
            .arg(m_options.pollSeconds)
            .arg(window.sliceCount)
            .arg(line.join(QStringLiteral("; ")),
                 display.ok() ? percent(xShare) : display.error()));
    if (!broken.isEmpty()) {
        add(errorRow(3, xName, broken.join(QStringLiteral(", ")) + QStringLiteral(" ended early")));
        return;
    }
    for (BenchRow &row : shareRows(pollers, display, !python.isEmpty(), xShare, xName))
        add(std::move(row));
    for (BenchRow &row : periodRows(pollers, display.ok()))
        add(std::move(row));
}
