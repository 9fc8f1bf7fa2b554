// Figures 8, 9 and 11: the program's other ways in and out, each beside a bare socket of its
// kind: the round trip over TCP, a script's status over the control socket and POCK? over the
// instrument port.
#include "benchtools.h"
#include "commandset.h"
#include "controlserver.h"
#include "figures.h"
#include "figuretools.h"
#include "indexerlink.h"
#include "instrumentport.h"
#include "lineport.h"
#include "modFileUtil.h"
#include "motionsupervisor.h"
#include "settings.h"
#include "systemserialport.h"
#include "transact.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

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
