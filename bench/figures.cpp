#include "figures.h"

#include "benchtools.h"
#include "commandset.h"
#include "controlserver.h"
#include "indexerlink.h"
#include "instrumentport.h"
#include "modFileUtil.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "systemserialport.h"
#include "transact.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
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

// The program's own link on the port the settings name; a serial port opens at once.
bool openProgramLink(IndexerLink &link)
{
    bool opened = false;
    link.selectPort(StoredPortChoice(), nullptr, [&opened](bool ok) { opened = ok; });
    return opened;
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
    const double programCpu = r.programCpu / double(r.program.size());
    const double rawCpu = r.rawCpu / double(r.raw.size());
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

void Figures::tcp()
{
    const QString name = QStringLiteral("Round trip `B?` over TCP to `rv360-sim --tcp` (median)");
    // All on one core, the simulators included (they inherit it): where the scheduler puts a
    // client beside its server changes a loopback round trip by half, for program and floor
    // alike but not in the same run.
    const OneCore pinned;
    // One simulator each: a new client would replace the other.
    SimProcess programSim(m_options.simProgram), rawSim(m_options.simProgram);
    const quint16 programPort = programSim.startTcp() ? programSim.tcpPort() : 0;
    const quint16 rawPort = rawSim.startTcp() ? rawSim.tcpPort() : 0;
    RawSocket raw;
    if (programPort == 0 || rawPort == 0 || !raw.open(rawPort)) {
        add(errorRow(8, name, QStringLiteral("rv360-sim --tcp did not start")));
        return;
    }
    QTemporaryDir dir;
    SetProgramDirectoryOverride(dir.path());
    IndexerLink link;
    bool connected = false;
    link.selectPort(PortChoice::network(QStringLiteral("127.0.0.1"), programPort), nullptr,
                    [&connected](bool ok) { connected = ok; });
    for (int i = 0; i < 100 && link.isBusy(); ++i)
        spin(20);
    if (!connected) {
        add(errorRow(8, name, QStringLiteral("no connection: ") + link.port().errorText()));
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
    programSim.stop();
    rawSim.stop();
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
double lineRoundTrip(QIODevice &client, const QByteArray &line)
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
    if (!port.open(StoredPortChoice())) {
        add(errorRow(9, name, QStringLiteral("open failed: ") + port.errorText()));
        return;
    }
    IndexerLink link(port);
    spin(LineSettleMs);
    MotionSupervisor motion(link);
    ControlServer server(motion);
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

void Figures::instrument()
{
    const QString name = QStringLiteral("`POCK?` over the instrument port (median)");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyInstr"));
    TemporarySettings programDirectory(dir.path(), sim.link());
    if (!sim.start() || !programDirectory.ok()) {
        add(errorRow(11, name, QStringLiteral("rv360-sim did not start")));
        return;
    }
    SystemSerialPort port;
    if (!port.open(StoredPortChoice())) {
        add(errorRow(11, name, QStringLiteral("open failed: ") + port.errorText()));
        return;
    }
    IndexerLink link(port);
    spin(LineSettleMs);
    MotionSupervisor motion(link);
    InstrumentPort instrument(motion);
    QTcpServer echo;
    QString why;
    if (!instrument.listen(QHostAddress(QHostAddress::LocalHost), 0, &why) ||
        !echo.listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        add(errorRow(11, name, QStringLiteral("no listener: ") + why));
        return;
    }
    // The floor: the same line through a bare TCP socket that echoes it.
    QObject::connect(&echo, &QTcpServer::newConnection, &echo, [&echo] {
        QTcpSocket *peer = echo.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, peer, [peer] {
            while (peer->canReadLine())
                peer->write(peer->readLine());
        });
    });
    QTcpSocket client, bare;
    client.connectToHost(QHostAddress(QHostAddress::LocalHost), instrument.port());
    bare.connectToHost(QHostAddress(QHostAddress::LocalHost), echo.serverPort());
    if (!client.waitForConnected(2000) || !bare.waitForConnected(2000)) {
        add(errorRow(11, name, QStringLiteral("cannot connect")));
        return;
    }
    for (QTcpSocket *socket : {&client, &bare})
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    std::vector<double> program, floor, line;
    const int count = std::max(50, m_options.transactions / 10);
    for (int i = 0; i < count; ++i) {
        program.push_back(lineRoundTrip(client, "POCK?\n"));
        floor.push_back(lineRoundTrip(bare, "POCK?\n"));
        const Clock::time_point before = Clock::now();
        const bool answered = !transact(link, Indexer::kQueryPocket).timedOut;
        line.push_back(answered ? microsBetween(before, Clock::now()) : -1);
    }
    const auto failed = [](const std::vector<double> &times) {
        return std::any_of(times.begin(), times.end(), [](double t) { return t < 0; });
    };
    say(QStringLiteral("[11] %1 POCK? over the instrument port: median %2; bare TCP echo median "
                       "%3; \"B?\" on the link alone median %4")
            .arg(count)
            .arg(us(median(program)), us(median(floor)), us(median(line))));
    add({11, name, us(median(program)),
         us(median(floor)) + QStringLiteral(" (bare QTcpSocket echo) + ") + us(median(line)) +
             QStringLiteral(" (\"B?\" on the link)"),
         QStringLiteral("—"), failed(program) || failed(line) ? Result::Error : Result::Info,
         QStringLiteral("A POCK? is one transaction on the line besides the TCP round trip.")});
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
    const double program = median(r.program);
    const double raw = median(r.raw);
    const double share = (program - raw) / program;
    const double programCpu = r.programCpu / double(r.program.size());
    const double rawCpu = r.rawCpu / double(r.raw.size());
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

namespace
{

// Xvfb on the benchmark's own display, for as long as it lives.
class VirtualDisplay
{
public:
    explicit VirtualDisplay(const QString &display) : m_display(display)
    {
        const QString number = display.mid(display.indexOf(u':') + 1);
        const QString socket = QStringLiteral("/tmp/.X11-unix/X") + number;
        if (QFile::exists(socket) || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))) {
            m_error = QStringLiteral("display %1 is taken").arg(display);
            return;
        }
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("Xvfb"),
                        {display, QStringLiteral("-screen"), QStringLiteral("0"),
                         QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                         QStringLiteral("tcp")});
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("Xvfb did not start (Debian package xvfb)");
            return;
        }
        const QDeadlineTimer deadline(10000);
        while (!QFile::exists(socket) && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running)
            QThread::msleep(20);
        if (!QFile::exists(socket))
            m_error = QStringLiteral("Xvfb did not open %1").arg(display);
    }
    ~VirtualDisplay() { endProcess(m_process); }
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
QProcessEnvironment platformEnvironment(const QString &platform, const QString &display)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (platform == QLatin1String("xcb"))
        environment.insert(QStringLiteral("DISPLAY"), display);
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

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

QString ratioText(double value, double floor)
{
    return floor > 0 ? QString::number(value / floor, 'f', 1) + u'x' : QStringLiteral("—");
}

} // namespace

void Figures::pollCpu()
{
    const QString xName = QStringLiteral("CPU share, real `rv360` window under Xvfb, polling");
    QTemporaryDir dir;
    const VirtualDisplay display(m_options.display);
    const QString python = pyserialPython();
    enum Kind { Xcb, Offscreen, Raw, Python };
    struct Contender {
        Kind kind;
        QString name;
        bool silent;
    };
    std::vector<Contender> contenders;
    if (display.ok())
        contenders.push_back({Xcb, QStringLiteral("rv360 (Xvfb)"), false});
    contenders.push_back({Offscreen, QStringLiteral("rv360 (offscreen)"), false});
    contenders.push_back({Raw, QStringLiteral("raw C loop"), false});
    if (!python.isEmpty())
        contenders.push_back({Python, QStringLiteral("pyserial loop"), false});
    contenders.push_back({display.ok() ? Xcb : Offscreen,
                          display.ok() ? QStringLiteral("rv360 (Xvfb), silent line")
                                       : QStringLiteral("rv360 (offscreen), silent line"),
                          true});
    contenders.push_back({Raw, QStringLiteral("raw C loop, silent line"), true});

    // All at once, each against a simulator of its own, so that the machine's load (another
    // build, a test run) hits every one alike.
    const int warmupMs = 3000;
    const int runSeconds = (warmupMs + 2000) / 1000 + m_options.pollSeconds;
    std::vector<std::unique_ptr<Poller>> pollers;
    int index = 0;
    for (const Contender &contender : contenders) {
        auto poller = std::make_unique<Poller>();
        poller->name = contender.name;
        poller->silent = contender.silent;
        const QString home = dir.path() + QStringLiteral("/p%1").arg(index++);
        QDir().mkpath(home);
        poller->sim =
            std::make_unique<Simulator>(m_options.simProgram, home, QStringLiteral("tty"));
        if (!poller->sim->start({QStringLiteral("--log")}) ||
            (contender.silent && poller->sim->control(QStringLiteral("silent on")) != "ok")) {
            add(errorRow(3, xName, QStringLiteral("rv360-sim did not start")));
            return;
        }
        const QString link = poller->sim->link();
        QProcess &process = poller->process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(home + QStringLiteral("/err"));
        switch (contender.kind) {
        case Xcb:
        case Offscreen: {
            const QString program = copyProgram(m_options.appProgram, home, link);
            process.setProcessEnvironment(platformEnvironment(
                contender.kind == Xcb ? QStringLiteral("xcb") : QStringLiteral("offscreen"),
                display.display()));
            process.start(program, {});
            break;
        }
        case Raw:
            process.start(m_options.rawProgram,
                          {QStringLiteral("poll"), link, QString::number(runSeconds)});
            break;
        case Python:
            process.start(python, {m_options.pyserialScript, link, QString::number(runSeconds)});
            break;
        }
        if (!process.waitForStarted(5000)) {
            add(errorRow(3, xName, contender.name + QStringLiteral(" did not start")));
            return;
        }
        pollers.push_back(std::move(poller));
    }
    // Start-up and the first polls are figure 5's business.
    spin(warmupMs);
    const int fromMs = msOfDay();
    const Clock::time_point start = Clock::now();
    const double xFrom = display.ok() ? procCpuMicros(display.pid()) : -1;
    for (auto &p : pollers) {
        p->cpuFrom = procCpuMicros(p->process.processId());
        p->logOffset = p->sim->logSize();
    }
    // In slices, each poller's share taken as the median of its slices: a burst of another job
    // on the machine spoils a slice, not the figure.
    const int sliceCount = std::max(4, m_options.pollSeconds / 10);
    Clock::time_point sliceStart = start;
    for (auto &p : pollers)
        p->cpuTo = p->cpuFrom;
    for (int slice = 0; slice < sliceCount; ++slice) {
        spin(m_options.pollSeconds * 1000 / sliceCount);
        const Clock::time_point now = Clock::now();
        const double sliceWall = microsBetween(sliceStart, now);
        sliceStart = now;
        for (auto &p : pollers) {
            const double cpu = procCpuMicros(p->process.processId());
            p->slices.push_back((cpu - p->cpuTo) / sliceWall);
            p->cpuTo = cpu;
        }
    }
    const double xTo = display.ok() ? procCpuMicros(display.pid()) : -1;
    const double wall = microsBetween(start, Clock::now());
    const int toMs = msOfDay();
    QStringList broken;
    for (auto &p : pollers) {
        std::vector<double> times =
            receivedAt(parseLog(p->sim->readLog(p->logOffset)), "$B?", fromMs);
        times.erase(
            std::remove_if(times.begin(), times.end(), [toMs](double t) { return t > toMs; }),
            times.end());
        p->frames = int(times.size());
        p->periods = intervals(times);
        if (p->process.state() != QProcess::Running || p->cpuFrom < 0 || p->cpuTo < 0)
            broken << p->name;
        endProcess(p->process);
    }
    const auto shareOf = [&](const QString &name) {
        for (const auto &p : pollers) {
            if (p->name == name)
                return median(p->slices);
        }
        return -1.0;
    };
    const auto pollerOf = [&](const QString &name) -> const Poller * {
        for (const auto &p : pollers) {
            if (p->name == name)
                return p.get();
        }
        return nullptr;
    };
    QStringList line;
    for (const auto &p : pollers)
        line << QStringLiteral("%1 %2, median of slices %3 (%4 frames)")
                    .arg(p->name, percent((p->cpuTo - p->cpuFrom) / wall),
                         percent(median(p->slices)))
                    .arg(p->frames);
    say(QStringLiteral("[3] %1 s in %2 slices, all at once: %3; Xvfb server %4")
            .arg(m_options.pollSeconds)
            .arg(sliceCount)
            .arg(line.join(QStringLiteral("; ")),
                 display.ok() ? percent((xTo - xFrom) / wall) : display.error()));
    if (!broken.isEmpty()) {
        add(errorRow(3, xName, broken.join(QStringLiteral(", ")) + QStringLiteral(" ended early")));
        return;
    }
    const double raw = shareOf(QStringLiteral("raw C loop"));
    const double py = python.isEmpty() ? -1 : shareOf(QStringLiteral("pyserial loop"));
    const QString floor = (py >= 0 ? percent(py) + QStringLiteral(" (pyserial); ") : QString()) +
                          percent(raw) + QStringLiteral(" (raw C)");
    const QString pyNote = python.isEmpty()
                               ? QStringLiteral("No pyserial row: Debian's python3-serial is not "
                                                "installed (bench/run.sh installs it). ")
                               : QString();
    const QString target = QStringLiteral("≤ 1.5x pyserial, ≤ 3x raw");
    const auto row = [&](const QString &name, double share) {
        const bool ok = share <= 3 * raw && (py < 0 || share <= 1.5 * py);
        add({3, name,
             percent(share) + QStringLiteral(" (%1 pyserial, %2 raw)")
                                  .arg(ratioText(share, py), ratioText(share, raw)),
             floor, target, passIf(ok),
             pyNote + QStringLiteral("Both floors poll the same line at the same rate in the "
                                     "same run; each share is the median of the run's slices and "
                                     "the window's share is its own process only.")});
    };
    if (display.ok()) {
        row(xName, shareOf(QStringLiteral("rv360 (Xvfb)")));
        add({3,
             QStringLiteral("CPU share of the Xvfb server meanwhile (drawing for the window)"),
             percent((xTo - xFrom) / wall),
             QStringLiteral("—"),
             QStringLiteral("—"),
             Result::Info,
             {}});
    } else {
        add(errorRow(3, xName, display.error()));
    }
    row(QStringLiteral("CPU share, real `rv360` offscreen, polling"),
        shareOf(QStringLiteral("rv360 (offscreen)")));
    const QString silentName = display.ok() ? QStringLiteral("rv360 (Xvfb), silent line")
                                            : QStringLiteral("rv360 (offscreen), silent line");
    const double silent = shareOf(silentName);
    const double rawSilent = shareOf(QStringLiteral("raw C loop, silent line"));
    add({3,
         QStringLiteral("CPU share, real `rv360` polling a silent line (every request times out)"),
         percent(silent) + QStringLiteral(" (%1 raw)").arg(ratioText(silent, rawSilent)),
         percent(rawSilent) + QStringLiteral(" (raw C)"),
         QStringLiteral("< 1 %"),
         passIf(silent < 0.01),
         {}});

    const QString periodName = QStringLiteral("Poll period 500 ms (median / p99)");
    const Poller *window = pollerOf(display.ok() ? QStringLiteral("rv360 (Xvfb)")
                                                 : QStringLiteral("rv360 (offscreen)"));
    const Poller *rawPoller = pollerOf(QStringLiteral("raw C loop"));
    if (!window || window->periods.size() < 2 || !rawPoller) {
        add(errorRow(4, periodName, QStringLiteral("Too few poll frames in the sim's log.")));
        return;
    }
    const double mid = median(window->periods);
    const double p99 = percentile(window->periods, 99);
    // p99 is also checked on the short side: a period can be cut as well as stretched.
    const double low = percentile(window->periods, 1);
    say(QStringLiteral("[4] poll period from the sim's log: median %1, p1 %2, p99 %3 (%4 periods); "
                       "raw loop median %5 p99 %6")
            .arg(ms(mid), ms(low), ms(p99))
            .arg(window->periods.size())
            .arg(ms(median(rawPoller->periods)), ms(percentile(rawPoller->periods, 99))));
    add({4, periodName, ms(mid) + QStringLiteral(" / ") + ms(p99),
         ms(median(rawPoller->periods)) + QStringLiteral(" / ") +
             ms(percentile(rawPoller->periods, 99)) + QStringLiteral(" (raw loop)"),
         QStringLiteral("±5 ms / ±20 ms"),
         passIf(std::abs(mid - PollMs) <= 5 && std::abs(p99 - PollMs) <= 20 &&
                std::abs(low - PollMs) <= 20),
         QStringLiteral("Time stamps are the sim's log, 1 ms resolution.")});
}

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

    // Start to the sim's log line of the first "$B?", in ms (its clock has 1 ms resolution).
    const auto firstFrame = [&](const QString &executable, const QStringList &args,
                                const QString &platform) -> double {
        qint64 offset = sim.logSize();
        QProcess process;
        process.setProcessEnvironment(platformEnvironment(platform, display.display()));
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
    };
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
            const double p = firstFrame(program, {}, platform);
            const double b = firstFrame(m_options.bareQtProgram, {sim.link()}, platform);
            const double c =
                firstFrame(m_options.rawProgram, {QStringLiteral("frame"), sim.link()}, platform);
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

namespace
{

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
