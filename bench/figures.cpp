#include "figures.h"

#include "benchtools.h"
#include "commandset.h"
#include "commport.h"
#include "controlserver.h"
#include "frmMain.h"
#include "indexerlink.h"
#include "indexerport.h"
#include "modFileUtil.h"
#include "settings.h"
#include "systemserialport.h"
#include "transact.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

const QByteArray QueryFrame = "$B?\r\n";
const QByteArray MotionFrame = "$D?\r\n";
constexpr std::chrono::milliseconds LinkTimeout{IndexerLink::kTimeoutMs};
constexpr int PollMs = 500;
// The sim stops reading for 200 ms when the last opener of its pty closes; let it resume.
constexpr int LineSettleMs = 300;
constexpr int BlockSize = 50;

QString us(double micros)
{
    return QString::number(micros, 'f', 1) + QStringLiteral(" µs");
}

QString ms(double millis)
{
    return QString::number(millis, 'f', 1) + QStringLiteral(" ms");
}

QString percent(double share)
{
    return QString::number(share * 100, 'f', share < 0.001 ? 3 : 2) + QStringLiteral(" %");
}

QString megabytes(qint64 kb)
{
    return QString::number(double(kb) / 1024, 'f', 1) + QStringLiteral(" MB");
}

void say(const QString &text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

Result passIf(bool ok)
{
    return ok ? Result::Pass : Result::Miss;
}

QByteArray iniFor(const QString &link)
{
    return "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\n";
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(contents) == contents.size();
}

// The program's directory moved to a temporary one whose settings map COM1 to the sim.
class TemporarySettings
{
public:
    TemporarySettings(const QString &directory, const QString &link)
    {
        m_ok = writeFile(directory + QStringLiteral("/RV360.INI"), iniFor(link));
        SetProgramDirectoryOverride(directory);
        CommPort = 1;
    }
    ~TemporarySettings() { SetProgramDirectoryOverride(QString()); }
    TemporarySettings(const TemporarySettings &) = delete;
    TemporarySettings &operator=(const TemporarySettings &) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

// A copy of the built program with settings beside it, as an operator would run it.
QString copyProgram(const QString &program, const QString &directory, const QString &link)
{
    const QString copy = directory + QStringLiteral("/rv360");
    if (!QFile::exists(copy) && !QFile::copy(program, copy))
        return {};
    if (!writeFile(directory + QStringLiteral("/RV360.INI"), iniFor(link)))
        return {};
    return copy;
}

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

void endProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
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
};

// SendCommand("B?") and the raw loop on the same pty, in alternating blocks so that a change of
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
    SystemSerialPort port;
    if (!OpenCommPort(port, 1)) {
        r.error = QStringLiteral("OpenCommPort failed: ") + port.errorText();
        return r;
    }
    IndexerLink link(port);
    spin(LineSettleMs);

    const QString command = Indexer::kQueryPocket;
    const auto answered = [](const QString &reply) {
        return reply.startsWith(QLatin1Char('B')) && reply.endsWith(QLatin1Char('\r'));
    };
    for (int i = 0; i < options.warmup; ++i) {
        transact(link, command);
        raw.transact(QueryFrame, LinkTimeout);
    }
    for (int done = 0; done < count; done += BlockSize) {
        const int n = std::min(BlockSize, count - done);
        double cpu = processCpuMicros();
        Clock::time_point start = Clock::now();
        for (int i = 0; i < n; ++i) {
            const Clock::time_point before = Clock::now();
            const QString reply = transact(link, command).text;
            r.program.push_back(microsBetween(before, Clock::now()));
            if (!answered(reply))
                ++r.failures;
        }
        r.programCpu += processCpuMicros() - cpu;
        r.programWall += microsBetween(start, Clock::now());

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
    port.close();
    return r;
}

// This process, and the processes it starts meanwhile, on the first core only.
class OneCore
{
public:
    OneCore()
    {
        ::sched_getaffinity(0, sizeof m_saved, &m_saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        ::sched_setaffinity(0, sizeof one, &one);
    }
    ~OneCore() { ::sched_setaffinity(0, sizeof m_saved, &m_saved); }
    OneCore(const OneCore &) = delete;
    OneCore &operator=(const OneCore &) = delete;

private:
    cpu_set_t m_saved;
};

// rv360-sim --tcp on a free loopback port; 0 when it did not start.
quint16 startTcpSim(QProcess &sim, const QString &program)
{
    sim.start(program, {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0")});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000))
        return 0;
    const QByteArray ready = sim.readLine().trimmed();
    return ready.startsWith("ready 127.0.0.1:") ? quint16(ready.mid(16).toUInt()) : 0;
}

// The floor: a blocking loopback socket with TCP_NODELAY, as a hand-written client would be.
class RawSocket
{
public:
    ~RawSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool open(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        return m_fd >= 0 &&
               ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
               ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
    }
    bool transact(const QByteArray &frame, int timeoutMs)
    {
        if (::write(m_fd, frame.constData(), std::size_t(frame.size())) != frame.size())
            return false;
        char buffer[4096];
        for (;;) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, timeoutMs) <= 0)
                return false;
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            if (std::memchr(buffer, '\r', std::size_t(n)))
                return true;
        }
    }

private:
    int m_fd = -1;
};

BenchRow errorRow(int figure, const QString &name, const QString &why)
{
    return {figure,        name, QStringLiteral("—"), QStringLiteral("—"), QStringLiteral("—"),
            Result::Error, why};
}

} // namespace

void Figures::add(BenchRow row)
{
    m_rows.push_back(std::move(row));
}

std::vector<BenchRow> Figures::rows() const
{
    std::vector<BenchRow> sorted = m_rows;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const BenchRow &a, const BenchRow &b) { return a.figure < b.figure; });
    return sorted;
}

void Figures::roundTrip()
{
    const QString name = QStringLiteral("Round trip `B?`, instant sim (median / p99)");
    const RoundTrips r = measureRoundTrips(m_options, {}, m_options.transactions);
    if (!r.error.isEmpty()) {
        add(errorRow(1, name, r.error));
        return;
    }
    const double program = median(r.program);
    const double raw = median(r.raw);
    const double ratio = program / raw;
    const double overhead = program - raw;
    say(QStringLiteral("[1] %1 transactions each: program median %2 p99 %3; raw median %4 p99 %5; "
                       "ratio %6; overhead %7; %8 failed")
            .arg(r.program.size())
            .arg(us(program), us(percentile(r.program, 99)), us(raw), us(percentile(r.raw, 99)))
            .arg(ratio, 0, 'f', 2)
            .arg(us(overhead))
            .arg(r.failures));
    const QString failed =
        r.failures ? QStringLiteral("%1 transactions failed. ").arg(r.failures) : QString();
    add({1, name,
         us(program) + QStringLiteral(" / ") + us(percentile(r.program, 99)) +
             QStringLiteral(" (ratio %1)").arg(ratio, 0, 'f', 2),
         us(raw) + QStringLiteral(" / ") + us(percentile(r.raw, 99)) + QStringLiteral(" (raw)"),
         QStringLiteral("ratio ≤ 2"), r.failures ? Result::Error : passIf(ratio <= 2),
         failed +
             QStringLiteral(
                 "The program's fixed cost per transaction (discard, queued "
                 "write, the benchmark's wait for the result, notifications) is large beside a "
                 "raw round trip of ") +
             us(raw) + QStringLiteral(".")});
    add({1, QStringLiteral("Program overhead per transaction (median difference)"), us(overhead),
         us(raw) + QStringLiteral(" (raw median)"), QStringLiteral("< 50 µs"),
         r.failures ? Result::Error : passIf(overhead < 50), failed});
}

void Figures::tcp()
{
    const QString name = QStringLiteral("Round trip `B?` over TCP to `rv360-sim --tcp` (median)");
    // All on one core, the simulators included (they inherit it): where the scheduler puts a
    // client beside its server changes a loopback round trip by half, for program and floor
    // alike but not in the same run.
    const OneCore pinned;
    // One simulator each: a new client would replace the other.
    QProcess programSim, rawSim;
    const quint16 programPort = startTcpSim(programSim, m_options.simProgram);
    const quint16 rawPort = startTcpSim(rawSim, m_options.simProgram);
    RawSocket raw;
    if (programPort == 0 || rawPort == 0 || !raw.open(rawPort)) {
        add(errorRow(8, name, QStringLiteral("rv360-sim --tcp did not start")));
        return;
    }
    QTemporaryDir dir;
    SetProgramDirectoryOverride(dir.path());
    EAddr = QStringLiteral("127.0.0.1");
    EPort = programPort;
    IndexerPort port;
    IndexerLink link(port);
    bool connected = false;
    link.selectPort(5, nullptr, [&connected](bool ok) { connected = ok; });
    for (int i = 0; i < 100 && link.isBusy(); ++i)
        spin(20);
    if (!connected) {
        add(errorRow(8, name, QStringLiteral("no connection: ") + port.errorText()));
        SetProgramDirectoryOverride(QString());
        return;
    }
    // The program as it runs: each request made from the last one's result, inside one turn
    // of the event loop per block, so that no waiting helper is counted. Samples are block means.
    std::vector<double> program, floor;
    int failures = 0;
    const auto programBlock = [&link, &failures](int count) {
        QEventLoop loop;
        int left = count;
        std::function<void()> next = [&] {
            link.SendCommand(Indexer::kQueryPocket, &loop, [&](const IndexerLink::Reply &reply) {
                failures += reply.timedOut;
                if (--left > 0)
                    next();
                else
                    loop.quit();
            });
        };
        const Clock::time_point before = Clock::now();
        next();
        loop.exec();
        return microsBetween(before, Clock::now()) / count;
    };
    programBlock(m_options.warmup);
    for (int i = 0; i < m_options.warmup; ++i)
        raw.transact(QueryFrame, IndexerLink::kTimeoutMs);
    for (int done = 0; done < m_options.transactions; done += BlockSize) {
        program.push_back(programBlock(BlockSize));
        const Clock::time_point before = Clock::now();
        for (int i = 0; i < BlockSize; ++i)
            failures += !raw.transact(QueryFrame, IndexerLink::kTimeoutMs);
        floor.push_back(microsBetween(before, Clock::now()) / BlockSize);
    }
    SetProgramDirectoryOverride(QString());
    CommPort = 1;
    endProcess(programSim);
    endProcess(rawSim);
    const double ratio = median(program) / median(floor);
    say(QStringLiteral("[8] %1 transactions each over TCP: program median %2; raw socket median "
                       "%3; ratio %4; %5 failed")
            .arg(program.size())
            .arg(us(median(program)), us(median(floor)))
            .arg(ratio, 0, 'f', 2)
            .arg(failures));
    add({8, name, us(median(program)) + QStringLiteral(" (ratio %1)").arg(ratio, 0, 'f', 2),
         us(median(floor)) + QStringLiteral(" (raw loopback socket)"),
         QStringLiteral("ratio ≤ 1.5"), failures ? Result::Error : passIf(ratio <= 1.5),
         failures ? QStringLiteral("%1 transactions failed.").arg(failures) : QString()});
}

namespace
{

// Writes a line and runs the event loop until a line comes back; its time in µs, or -1.
double lineRoundTrip(QLocalSocket &client, const QByteArray &line)
{
    const Clock::time_point before = Clock::now();
    client.write(line);
    const QDeadlineTimer deadline(2000);
    while (!client.canReadLine() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!client.canReadLine())
        return -1;
    client.readLine();
    return microsBetween(before, Clock::now());
}

} // namespace

void Figures::socket()
{
    const QString name = QStringLiteral("Script's `status` over the control socket (median)");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttySock"));
    TemporarySettings programDirectory(dir.path(), sim.link());
    if (!sim.start() || !programDirectory.ok()) {
        add(errorRow(9, name, QStringLiteral("rv360-sim did not start")));
        return;
    }
    SystemSerialPort port;
    if (!OpenCommPort(port, 1)) {
        add(errorRow(9, name, QStringLiteral("OpenCommPort failed: ") + port.errorText()));
        return;
    }
    IndexerLink link(port);
    spin(LineSettleMs);
    ControlServer server(link);
    QString why;
    const QString path = dir.filePath(QStringLiteral("rv360.sock"));
    QLocalServer echo;
    const QString echoPath = dir.filePath(QStringLiteral("echo.sock"));
    if (!server.listen(path, &why) || !echo.listen(echoPath)) {
        add(errorRow(9, name, QStringLiteral("no socket: ") + why));
        return;
    }
    // The floor: the same line through a bare local socket that echoes it.
    QObject::connect(&echo, &QLocalServer::newConnection, &echo, [&echo] {
        QLocalSocket *peer = echo.nextPendingConnection();
        QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer] {
            while (peer->canReadLine())
                peer->write(peer->readLine());
        });
    });
    QLocalSocket script, bare;
    script.connectToServer(path);
    bare.connectToServer(echoPath);
    if (!script.waitForConnected(2000) || !bare.waitForConnected(2000)) {
        add(errorRow(9, name, QStringLiteral("cannot connect")));
        return;
    }
    const QByteArray request = "{\"cmd\":\"status\"}\n";
    std::vector<double> program, floor;
    const int count = std::max(50, m_options.transactions / 10);
    for (int i = 0; i < count; ++i) {
        program.push_back(lineRoundTrip(script, request));
        floor.push_back(lineRoundTrip(bare, request));
    }
    const bool failed = std::any_of(program.begin(), program.end(), [](double t) { return t < 0; });
    say(QStringLiteral("[9] %1 status requests over the socket: median %2; bare local socket "
                       "round trip median %3")
            .arg(count)
            .arg(us(median(program)), us(median(floor))));
    add({9, name, us(median(program)), us(median(floor)) + QStringLiteral(" (bare QLocalSocket)"),
         QStringLiteral("—"), failed ? Result::Error : Result::Info,
         QStringLiteral("A status is two transactions on the line (\"B?\", \"D?\") besides the "
                        "socket's round trip.")});
}

void Figures::paced()
{
    const RoundTrips r =
        measureRoundTrips(m_options, {QStringLiteral("--pace")}, m_options.pacedTransactions);
    const QString shareName = QStringLiteral("Program's share of a paced (19200 baud) transaction");
    const QString cpuName = QStringLiteral("CPU per paced transaction / its wall time");
    if (!r.error.isEmpty()) {
        add(errorRow(7, shareName, r.error));
        return;
    }
    const double program = median(r.program);
    const double raw = median(r.raw);
    const double share = (program - raw) / program;
    const double programCpu = r.programCpu / r.programWall;
    const double rawCpu = r.rawCpu / r.rawWall;
    say(QStringLiteral("[7] %1 paced transactions each: program median %2; raw median %3; "
                       "program's share %4; CPU/wall program %5, raw %6; %7 failed")
            .arg(r.program.size())
            .arg(us(program), us(raw), percent(share), percent(programCpu), percent(rawCpu))
            .arg(r.failures));
    add({7, shareName, percent(share) + QStringLiteral(" (median ") + us(program) + u')',
         us(raw) + QStringLiteral(" (raw median)"), QStringLiteral("< 1 %"),
         r.failures ? Result::Error : passIf(share < 0.01),
         QStringLiteral("The paced reply takes %1; the program's fixed cost per transaction "
                        "(see figure 1) is more than 1 % of it.")
             .arg(us(raw))});
    add({7, cpuName,
         percent(programCpu) + QStringLiteral(" (%1 per transaction)")
                                   .arg(us(r.programCpu / double(r.program.size()))),
         percent(rawCpu) + QStringLiteral(" (raw)"), QStringLiteral("< 1 %"),
         r.failures ? Result::Error : passIf(programCpu < 0.01),
         QStringLiteral("The paced sim delivers about one byte a millisecond; every arrival wakes "
                        "the reader (even the raw floor uses %1 of the wall time), and the "
                        "program's wake-up costs a read, a notification and an event loop turn.")
             .arg(percent(rawCpu))});
}

void Figures::timeoutCpu()
{
    const QString name = QStringLiteral("CPU per timed-out transaction (200 ms wait)");
    const QString timeoutName = QStringLiteral("Transaction timeout 200 ms (median / p99)");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyTO"));
    RawLine raw;
    TemporarySettings programDirectory(dir.path(), sim.link());
    SystemSerialPort port;
    if (!sim.start() || !raw.open(sim.link()) || !OpenCommPort(port, 1) ||
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
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyPoll"));
    RawLine raw;
    TemporarySettings programDirectory(dir.path(), sim.link());
    if (!sim.start({QStringLiteral("--log")}) || !raw.open(sim.link())) {
        add(errorRow(3, QStringLiteral("CPU share of the status poll"),
                     QStringLiteral("rv360-sim or the pty did not start")));
        return;
    }
    spin(LineSettleMs);
    const int windowMs = m_options.pollSeconds * 1000;

    struct Run {
        double share = 0;
        std::vector<double> periods;
        int frames = 0;
    };
    const auto framesIn = [&sim](qint64 &offset, int fromMs, int toMs) {
        std::vector<double> times = receivedAt(parseLog(sim.readLog(offset)), "$B?", fromMs);
        times.erase(
            std::remove_if(times.begin(), times.end(), [toMs](double t) { return t > toMs; }),
            times.end());
        return times;
    };
    const auto runProgram = [&]() {
        Run run;
        qint64 offset = sim.logSize();
        SystemSerialPort port;
        frmMain window(port);
        window.Form_Load();
        window.show();
        // The first show and the first poll are start-up, not the steady poll.
        spin(PollMs + 500);
        const int fromMs = msOfDay();
        const double cpu = processCpuMicros();
        const Clock::time_point start = Clock::now();
        spin(windowMs);
        run.share = (processCpuMicros() - cpu) / microsBetween(start, Clock::now());
        const int toMs = msOfDay();
        window.close();
        const std::vector<double> times = framesIn(offset, fromMs, toMs);
        run.frames = int(times.size());
        run.periods = intervals(times);
        return run;
    };
    const auto runRaw = [&]() {
        Run run;
        qint64 offset = sim.logSize();
        const int fromMs = msOfDay();
        const double cpu = processCpuMicros();
        const Clock::time_point start = Clock::now();
        const Clock::time_point end = start + std::chrono::milliseconds(windowMs);
        for (Clock::time_point tick = start; tick < end;
             tick += std::chrono::milliseconds(PollMs)) {
            std::this_thread::sleep_until(tick);
            raw.transact(QueryFrame, LinkTimeout);
            raw.transact(MotionFrame, LinkTimeout);
        }
        std::this_thread::sleep_until(end);
        run.share = (processCpuMicros() - cpu) / microsBetween(start, Clock::now());
        const std::vector<double> times = framesIn(offset, fromMs, msOfDay());
        run.frames = int(times.size());
        run.periods = intervals(times);
        return run;
    };

    const Run program = runProgram();
    const Run rawRun = runRaw();
    const bool silenced = sim.control(QStringLiteral("silent on")) == QStringLiteral("ok");
    const Run silentProgram = runProgram();
    const Run silentRaw = runRaw();

    say(QStringLiteral("[3] %1 s windows: CPU share program %2 (raw %3) against the sim, %4 (raw "
                       "%5) against a silent line; %6 and %7 poll frames")
            .arg(m_options.pollSeconds)
            .arg(percent(program.share), percent(rawRun.share), percent(silentProgram.share),
                 percent(silentRaw.share))
            .arg(program.frames)
            .arg(silentProgram.frames));
    const QString target = QStringLiteral("< 1 %");
    add({3,
         QStringLiteral("CPU share of one core, status poll against the sim"),
         percent(program.share),
         percent(rawRun.share) + QStringLiteral(" (raw poll)"),
         target,
         passIf(program.share < 0.01),
         {}});
    add({3, QStringLiteral("CPU share of one core, status poll against a silent line"),
         percent(silentProgram.share), percent(silentRaw.share) + QStringLiteral(" (raw poll)"),
         target, silenced ? passIf(silentProgram.share < 0.01) : Result::Error,
         silenced ? QString() : QStringLiteral("The sim did not go silent.")});

    const QString periodName = QStringLiteral("Poll period 500 ms (median / p99)");
    if (program.periods.size() < 2) {
        add(errorRow(4, periodName, QStringLiteral("Too few poll frames in the sim's log.")));
        return;
    }
    const double mid = median(program.periods);
    const double p99 = percentile(program.periods, 99);
    // p99 is also checked on the short side: a period can be cut as well as stretched.
    const double low = percentile(program.periods, 1);
    say(QStringLiteral("[4] poll period from the sim's log: median %1, p1 %2, p99 %3 (%4 periods); "
                       "raw loop median %5 p99 %6")
            .arg(ms(mid), ms(low), ms(p99))
            .arg(program.periods.size())
            .arg(ms(median(rawRun.periods)), ms(percentile(rawRun.periods, 99))));
    add({4, periodName, ms(mid) + QStringLiteral(" / ") + ms(p99),
         ms(median(rawRun.periods)) + QStringLiteral(" / ") + ms(percentile(rawRun.periods, 99)) +
             QStringLiteral(" (raw loop)"),
         QStringLiteral("±5 ms / ±20 ms"),
         passIf(std::abs(mid - PollMs) <= 5 && std::abs(p99 - PollMs) <= 20 &&
                std::abs(low - PollMs) <= 20),
         QStringLiteral("Time stamps are the sim's log, 1 ms resolution.")});
}

void Figures::startup()
{
    const QString name = QStringLiteral("Process start to first poll frame on the wire");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyStart"));
    if (!sim.start({QStringLiteral("--log")})) {
        add(errorRow(5, name, QStringLiteral("rv360-sim did not start")));
        return;
    }
    const QString program = copyProgram(m_options.appProgram, dir.path(), sim.link());
    if (program.isEmpty()) {
        add(errorRow(5, name, QStringLiteral("cannot copy ") + m_options.appProgram));
        return;
    }
    const QString errorFile = dir.path() + QStringLiteral("/rv360.err");

    // Start to the sim's log line of the first "$B?", in ms (its clock has 1 ms resolution).
    const auto firstFrame = [&](const QString &executable, const QStringList &args) -> double {
        qint64 offset = sim.logSize();
        QProcess process;
        const int fromMs = msOfDay();
        startOffscreen(process, executable, args, errorFile);
        double result = -1;
        const QDeadlineTimer deadline(10000);
        QByteArray log;
        while (result < 0 && !deadline.hasExpired()) {
            QThread::msleep(2);
            log += sim.readLog(offset);
            const std::vector<double> times = receivedAt(parseLog(log), "$B?", fromMs);
            if (!times.empty())
                result = times.front() - fromMs;
        }
        endProcess(process);
        spin(LineSettleMs);
        return result;
    };
    std::vector<double> programTimes, floorTimes;
    for (int i = 0; i < m_options.startRuns; ++i) {
        const double p = firstFrame(program, {});
        const double f =
            firstFrame(m_options.benchProgram, {QStringLiteral("--write-frame"), sim.link()});
        if (p < 0 || f < 0) {
            add(errorRow(5, name,
                         QStringLiteral("No poll frame within 10 s (see %1)")
                             .arg(QStringLiteral("rv360.err"))));
            return;
        }
        programTimes.push_back(p);
        floorTimes.push_back(f);
    }
    const double mid = median(programTimes);
    QStringList each;
    for (double t : programTimes)
        each << QString::number(t, 'f', 0);
    say(QStringLiteral("[5] start to first \"$B?\" frame: program median %1 (runs: %2 ms); a bare "
                       "process writing the frame: median %3")
            .arg(ms(mid), each.join(QStringLiteral(", ")), ms(median(floorTimes))));
    add({5, name, ms(mid) + QStringLiteral(" (median of %1)").arg(programTimes.size()),
         ms(median(floorTimes)) + QStringLiteral(" (bare process writing the frame)"),
         QStringLiteral("< 500 ms"), passIf(mid < 500),
         QStringLiteral("The first poll comes one full poll period (500 ms) after start-up opens "
                        "the port: the poll timer is started, not fired, at start. Start-up "
                        "itself took about %1 of it.")
             .arg(ms(std::max(0.0, mid - PollMs)))});
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
    startOffscreen(bare, m_options.benchProgram, {QStringLiteral("--bare-window")},
                   dir.path() + QStringLiteral("/bare.err"));
    if (program.isEmpty() || !app.waitForStarted(5000) || !bare.waitForStarted(5000)) {
        add(errorRow(6, peakName, QStringLiteral("rv360 or the bare window did not start")));
        return;
    }
    const qint64 appPid = app.processId();
    const qint64 barePid = bare.processId();
    spin(3000);
    const qint64 rssStart = procStatusKb(appPid, "VmRSS");

    const int floodMs = m_options.floodSeconds * 1000;
    const int firstSampleMs = std::min(10000, floodMs / 2);
    const bool flooding = sim.control(QStringLiteral("flood on")) == QStringLiteral("ok");
    const double cpuStart = procCpuSeconds(appPid);
    const Clock::time_point start = Clock::now();
    spin(firstSampleMs);
    const qint64 rssFirst = procStatusKb(appPid, "VmRSS");
    const qint64 bareFirst = procStatusKb(barePid, "VmRSS");
    spin(floodMs - firstSampleMs);
    const qint64 rssEnd = procStatusKb(appPid, "VmRSS");
    const qint64 bareEnd = procStatusKb(barePid, "VmRSS");
    const double cpuShare =
        (procCpuSeconds(appPid) - cpuStart) * 1e6 / microsBetween(start, Clock::now());
    const qint64 hwm = procStatusKb(appPid, "VmHWM");
    const qint64 bareHwm = procStatusKb(barePid, "VmHWM");
    sim.control(QStringLiteral("flood off"));
    const bool alive = app.state() == QProcess::Running && rssEnd > 0;
    endProcess(app);
    endProcess(bare);

    if (!alive || !flooding) {
        add(errorRow(6, peakName,
                     alive ? QStringLiteral("The sim did not flood.")
                           : QStringLiteral("rv360 ended during the flood (see rv360.err).")));
        return;
    }
    const qint64 growth = rssEnd - rssFirst;
    say(QStringLiteral("[6] rv360: VmHWM %1, VmRSS %2 before the flood, %3 at %4 s, %5 at %6 s "
                       "(growth %7 kB); CPU share during the flood %8. Bare window: VmHWM %9, "
                       "VmRSS %10 -> %11")
            .arg(megabytes(hwm), megabytes(rssStart), megabytes(rssFirst))
            .arg(firstSampleMs / 1000)
            .arg(megabytes(rssEnd))
            .arg(m_options.floodSeconds)
            .arg(growth)
            .arg(percent(cpuShare), megabytes(bareHwm), megabytes(bareFirst), megabytes(bareEnd)));
    add({6,
         peakName,
         megabytes(hwm) + QStringLiteral("; ") + megabytes(rssEnd),
         megabytes(bareHwm) + QStringLiteral(" (bare Qt window)"),
         QStringLiteral("< 60 MB"),
         passIf(hwm < 60 * 1024),
         {}});
    add({6,
         QStringLiteral("VmRSS growth, %1 s to %2 s of a flooding line")
             .arg(firstSampleMs / 1000)
             .arg(m_options.floodSeconds),
         QStringLiteral("%1 kB").arg(growth),
         QStringLiteral("%1 kB (bare Qt window)").arg(bareEnd - bareFirst),
         QStringLiteral("< 1 MB"),
         passIf(growth < 1024),
         {}});
    add({6,
         QStringLiteral("CPU share of rv360 during the flood"),
         percent(cpuShare),
         QStringLiteral("—"),
         QStringLiteral("—"),
         Result::Info,
         {}});
}

int writeFrameMode(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    const bool ok =
        ::write(fd, QueryFrame.constData(), std::size_t(QueryFrame.size())) == QueryFrame.size();
    // Stay a moment: the frame must be read before the pty loses its opener.
    ::usleep(100000);
    ::close(fd);
    return ok ? 0 : 1;
}

int bareWindowMode()
{
    QWidget window;
    window.setFixedSize(410, 324);
    QLabel label(QStringLiteral("?"), &window);
    window.show();
    return QApplication::exec();
}
