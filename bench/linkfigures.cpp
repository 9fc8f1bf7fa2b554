// Figures 1, 7 and 10: the link's own round trip of "B?" beside the raw loop's, against the
// instant and the paced simulator, in time, CPU and instructions; and the link loop that
// callgrind counts.
#include "benchtools.h"
#include "commandset.h"
#include "figures.h"
#include "figuretools.h"
#include "indexerlink.h"
#include "lineport.h"
#include "settings.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

// The program's own link on the port the settings name; a serial port opens at once.
bool openProgramLink(IndexerLink &link)
{
    bool opened = false;
    link.selectPort(StoredPortChoice(), nullptr, [&opened](bool ok) { opened = ok; });
    return opened;
}

struct RoundTrips {
    std::vector<double> program; // µs per transaction
    std::vector<double> raw;
    double programCpu = 0; // µs, all blocks
    double programWall = 0;
    double rawCpu = 0;
    double rawWall = 0;
    int failures = 0;
    QString error;

    // The medians and the CPU per transaction of each side.
    double programMedian() const { return median(program); }
    double rawMedian() const { return median(raw); }
    double programCpuEach() const { return programCpu / double(program.size()); }
    double rawCpuEach() const { return rawCpu / double(raw.size()); }
};

// Runs count "B?" transactions as the program does, each asked from the last one's result, in
// one turn of the event loop (so that no waiting helper is counted); the time of each one.
std::vector<double> chainedTransactions(IndexerLink &link, int count, int &failures)
{
    std::vector<double> times;
    times.reserve(std::size_t(count));
    QEventLoop loop;
    int left = count;
    Clock::time_point last = Clock::now();
    std::function<void()> next = [&] {
        link.SendCommand(Indexer::kQueryPocket, &loop, [&](const IndexerLink::Reply &reply) {
            const Clock::time_point now = Clock::now();
            times.push_back(microsBetween(last, now));
            last = now;
            if (reply.timedOut || !reply.text.startsWith(QLatin1Char('B')) ||
                !reply.text.endsWith(QLatin1Char('\r')))
                ++failures;
            if (--left > 0)
                next();
            else
                loop.quit();
        });
    };
    next();
    if (left > 0)
        loop.exec();
    return times;
}

// The program's link and the raw loop on the same pty, in alternating blocks so that a change of
// the machine's load hits both alike.
RoundTrips measureRoundTrips(const BenchOptions &options, const QStringList &simArgs, int count)
{
    RoundTrips r;
    QTemporaryDir dir;
    Simulator sim(options.simProgram, dir.path(), QStringLiteral("ttyRT"));
    if (!sim.start(simArgs)) {
        r.error = QStringLiteral("rv360-sim did not start");
        return r;
    }
    // Opened first and kept open, so that the pty never loses its last opener.
    RawLine raw;
    TemporarySettings programDirectory(dir.path(), sim.link());
    if (!raw.open(sim.link()) || !programDirectory.ok()) {
        r.error = QStringLiteral("cannot open ") + sim.link();
        return r;
    }
    // The program's own link, with its choice between serial and TCP.
    IndexerLink link;
    if (!openProgramLink(link)) {
        r.error = QStringLiteral("open failed: ") + link.port().errorText();
        return r;
    }
    spin(LineSettleMs);

    int warmupFailures = 0;
    chainedTransactions(link, options.warmup, warmupFailures);
    for (int i = 0; i < options.warmup; ++i)
        raw.transact(QueryFrame, LinkTimeout);
    for (int done = 0; done < count; done += BlockSize) {
        const int n = std::min(BlockSize, count - done);
        double cpu = processCpuMicros();
        Clock::time_point start = Clock::now();
        const std::vector<double> times = chainedTransactions(link, n, r.failures);
        r.programCpu += processCpuMicros() - cpu;
        r.programWall += microsBetween(start, Clock::now());
        r.program.insert(r.program.end(), times.begin(), times.end());

        cpu = processCpuMicros();
        start = Clock::now();
        for (int i = 0; i < n; ++i) {
            const Clock::time_point before = Clock::now();
            const bool ok = raw.transact(QueryFrame, LinkTimeout);
            r.raw.push_back(microsBetween(before, Clock::now()));
            if (!ok)
                ++r.failures;
        }
        r.rawCpu += processCpuMicros() - cpu;
        r.rawWall += microsBetween(start, Clock::now());
    }
    return r;
}

// Instructions of one run under callgrind; -1 when it failed.
qint64 countInstructions(const QString &program, const QStringList &args, const QString &out)
{
    QProcess valgrind;
    valgrind.setStandardOutputFile(QProcess::nullDevice());
    valgrind.setStandardErrorFile(out + QStringLiteral(".err"));
    valgrind.start(QStringLiteral("valgrind"),
                   QStringList{QStringLiteral("--tool=callgrind"),
                               QStringLiteral("--callgrind-out-file=") + out} +
                       QStringList{program} + args);
    if (!valgrind.waitForStarted(5000) || !valgrind.waitForFinished(300000) ||
        valgrind.exitStatus() != QProcess::NormalExit || valgrind.exitCode() != 0) {
        endProcess(valgrind);
        return -1;
    }
    return callgrindInstructions(out);
}

} // namespace

void Figures::roundTrip()
{
    const QString name = QStringLiteral("Round trip `B?`, instant sim (median / p99)");
    const RoundTrips r = measureRoundTrips(m_options, {}, m_options.transactions);
    if (!r.error.isEmpty()) {
        add(errorRow(1, name, r.error));
        return;
    }
    const double program = r.programMedian(), raw = r.rawMedian();
    const double ratio = program / raw;
    const double overhead = program - raw;
    const double programCpu = r.programCpuEach(), rawCpu = r.rawCpuEach();
    const double cpuRatio = programCpu / rawCpu;
    say(QStringLiteral("[1] %1 transactions each: program median %2 p99 %3; raw median %4 p99 %5; "
                       "wall-clock ratio %6; overhead %7; CPU per transaction program %8, raw %9, "
                       "CPU ratio %10; %11 failed")
            .arg(r.program.size())
            .arg(us(program), us(percentile(r.program, 99)), us(raw), us(percentile(r.raw, 99)))
            .arg(ratio, 0, 'f', 2)
            .arg(us(overhead), us(programCpu), us(rawCpu))
            .arg(cpuRatio, 0, 'f', 2)
            .arg(r.failures));
    const QString failed =
        r.failures ? QStringLiteral("%1 transactions failed. ").arg(r.failures) : QString();
    add({1, name,
         us(program) + QStringLiteral(" / ") + us(percentile(r.program, 99)) +
             QStringLiteral(" (ratio %1)").arg(ratio, 0, 'f', 2),
         us(raw) + QStringLiteral(" / ") + us(percentile(r.raw, 99)) + QStringLiteral(" (raw)"),
         QStringLiteral("ratio ≤ 1.3"), r.failures ? Result::Error : passIf(ratio <= 1.3),
         failed +
             QStringLiteral("The program's fixed cost per transaction (the event loop's "
                            "turns, notifications, the queue) is large beside a raw round "
                            "trip of ") +
             us(raw) + QStringLiteral(".")});
    add({1, QStringLiteral("CPU per transaction, instant sim"),
         us(programCpu) + QStringLiteral(" (ratio %1)").arg(cpuRatio, 0, 'f', 2),
         us(rawCpu) + QStringLiteral(" (raw)"), QStringLiteral("—"),
         r.failures ? Result::Error : Result::Info, failed});
    add({1, QStringLiteral("Program overhead per transaction (median difference)"), us(overhead),
         us(raw) + QStringLiteral(" (raw median)"), QStringLiteral("< 50 µs"),
         r.failures ? Result::Error : passIf(overhead < 50), failed});
}

void Figures::paced()
{
    const RoundTrips r =
        measureRoundTrips(m_options, {QStringLiteral("--pace")}, m_options.pacedTransactions);
    const QString shareName = QStringLiteral("Program's share of a paced (19200 baud) transaction");
    const QString cpuName = QStringLiteral("CPU per paced transaction");
    if (!r.error.isEmpty()) {
        add(errorRow(7, shareName, r.error));
        return;
    }
    const double program = r.programMedian(), raw = r.rawMedian();
    const double share = (program - raw) / program;
    const double programCpu = r.programCpuEach(), rawCpu = r.rawCpuEach();
    const double cpuRatio = programCpu / rawCpu;
    say(QStringLiteral("[7] %1 paced transactions each: program median %2; raw median %3; "
                       "wall-clock ratio %4; program's share %5; CPU per transaction program %6, "
                       "raw %7, CPU ratio %8; %9 failed")
            .arg(r.program.size())
            .arg(us(program), us(raw))
            .arg(program / raw, 0, 'f', 3)
            .arg(percent(share), us(programCpu), us(rawCpu))
            .arg(cpuRatio, 0, 'f', 2)
            .arg(r.failures));
    add({7, shareName, percent(share) + QStringLiteral(" (median ") + us(program) + u')',
         us(raw) + QStringLiteral(" (raw median)"), QStringLiteral("< 1 %"),
         r.failures ? Result::Error : passIf(share < 0.01),
         QStringLiteral("The paced reply takes %1; the program's fixed cost per transaction "
                        "(see figure 1) is more than 1 % of it.")
             .arg(us(raw))});
    add({7, cpuName, us(programCpu) + QStringLiteral(" (ratio %1)").arg(cpuRatio, 0, 'f', 2),
         us(rawCpu) + QStringLiteral(" (raw)"), QStringLiteral("ratio ≤ 1.3"),
         r.failures ? Result::Error : passIf(cpuRatio <= 1.3),
         QStringLiteral("Both clients make the same system calls per transaction (a write, "
                        "then a poll and a read per chunk; the program also discards input "
                        "first); the difference is the user time of the event loop's turns, "
                        "with caches cold after each sleep (figure 10 counts the "
                        "instructions).")});
}

void Figures::instructions()
{
    // N against 2N transactions: start-up and shutdown cancel out, the difference is N
    // transactions. Load-independent, unlike the clocks.
    struct Line {
        QString name;
        QStringList simArgs;
        int count;
        double target;
    };
    const std::vector<Line> lines = {
        {QStringLiteral("instant sim"), {}, m_options.countedTransactions, 8000},
        {QStringLiteral("paced sim, 19200 baud"),
         {QStringLiteral("--pace")},
         m_options.countedPacedTransactions,
         10000}};
    for (const Line &line : lines) {
        const QString name =
            QStringLiteral("Instructions per `B?` transaction (callgrind), %1").arg(line.name);
        QTemporaryDir dir;
        Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyIns"));
        if (!sim.start(line.simArgs)) {
            add(errorRow(10, name, QStringLiteral("rv360-sim did not start")));
            continue;
        }
        const auto run = [&](bool program, int count) {
            const QString out = dir.path() + QStringLiteral("/cg.%1.%2").arg(program).arg(count);
            const qint64 n =
                program
                    ? countInstructions(
                          m_options.benchProgram,
                          {QStringLiteral("--link-loop"), sim.link(), QString::number(count)}, out)
                    : countInstructions(
                          m_options.rawProgram,
                          {QStringLiteral("loop"), sim.link(), QString::number(count)}, out);
            // The sim stops reading for a moment when its pty loses its last opener.
            spin(LineSettleMs);
            return n;
        };
        const qint64 p1 = run(true, line.count), p2 = run(true, 2 * line.count);
        const qint64 r1 = run(false, line.count), r2 = run(false, 2 * line.count);
        if (std::min({p1, p2, r1, r2}) < 0) {
            add(errorRow(10, name,
                         QStringLiteral("A run under valgrind failed (Debian package valgrind; "
                                        "see cg.*.err)")));
            continue;
        }
        const double program = double(p2 - p1) / line.count;
        const double raw = double(r2 - r1) / line.count;
        say(QStringLiteral(
                "[10] %1: %2 against %3 transactions: link %4 -> %5 instructions, %6 per "
                "transaction; raw C %7 -> %8, %9 per transaction")
                .arg(line.name)
                .arg(line.count)
                .arg(2 * line.count)
                .arg(p1)
                .arg(p2)
                .arg(program, 0, 'f', 0)
                .arg(r1)
                .arg(r2)
                .arg(raw, 0, 'f', 0));
        add({10, name,
             QStringLiteral("%1 (ratio %2)").arg(program, 0, 'f', 0).arg(program / raw, 0, 'f', 1),
             QStringLiteral("%1 (raw C)").arg(raw, 0, 'f', 0),
             QStringLiteral("≤ %1 k").arg(line.target / 1000, 0, 'f', 0),
             passIf(program <= line.target),
             QStringLiteral("A paced reply comes in two reads, for the raw client too; each "
                            "wake-up runs about 3.4 k instructions inside Qt before the link's "
                            "code (the event loop's turn, the socket notifier, QSerialPort's "
                            "read and readyRead), about 7 k of the figure.")});
    }
}

int linkLoopMode(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString path = QString::fromLocal8Bit(argv[2]);
    const int count = QByteArray(argv[3]).toInt();
    QTemporaryDir dir;
    TemporarySettings programDirectory(dir.path(), path);
    IndexerLink link;
    if (count < 1 || !programDirectory.ok() || !openProgramLink(link))
        return 1;
    int failures = 0;
    QTimer::singleShot(LineSettleMs, &app, [&] {
        chainedTransactions(link, count, failures);
        QCoreApplication::exit(failures ? 3 : 0);
    });
    return QCoreApplication::exec();
}
