// Figure 13: rv360-tango, the indexer as a Tango device, a client of the instrument port of the
// supervisor run here on the simulator. rv360-bench-tango, a C++ DeviceProxy client in a process
// of its own, reads Pocket (from the device, and from Tango's polling buffer) beside a bare
// "POCK?" on the instrument port, and writes Pocket beside the same change sent as bare lines on
// the port; the simulator's log, read as it comes, tells when each B<n> reached the line.
#include "benchtools.h"
#include "figures.h"
#include "figuretools.h"
#include "indexerlink.h"
#include "instrumentport.h"
#include "lineport.h"
#include "motionsupervisor.h"
#include "systemserialport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

constexpr int Figure = 13;
// Per pocket step: short, so that the writes follow each other quickly.
const QString MoveMs = QStringLiteral("50");

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress(QHostAddress::LocalHost), 0) ? probe.serverPort() : 0;
}

// Runs the event loop (the instrument port is served meanwhile) until the condition holds.
template <typename Condition> bool waitFor(Condition condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return condition();
}

// The next line of a child's standard output; empty when none came in time.
QByteArray nextLine(QProcess &process, int ms = 30000)
{
    waitFor([&process] { return process.canReadLine() || process.state() == QProcess::NotRunning; },
            ms);
    return process.canReadLine() ? process.readLine().trimmed() : QByteArray();
}

QByteArray ask(QProcess &client, const QByteArray &command)
{
    client.write(command + '\n');
    return nextLine(client);
}

std::vector<double> numbers(const QByteArray &line)
{
    std::vector<double> values;
    const QList<QByteArray> words = line.split(' ');
    for (qsizetype i = 1; i < words.size(); ++i)
        values.push_back(words[i].toDouble());
    return values;
}

std::vector<double> succeeded(std::vector<double> times)
{
    times.erase(std::remove_if(times.begin(), times.end(), [](double t) { return t < 0; }),
                times.end());
    return times;
}

// A write is a few hundred µs on an idle machine: ms to two places.
QString ms2(double millis)
{
    return QString::number(millis, 'f', 2) + QStringLiteral(" ms");
}

// Median / pth percentile of the calls that succeeded, in the unit given (us or ms).
QString spread(const std::vector<double> &all, double p, QString (*unit)(double))
{
    const std::vector<double> times = succeeded(all);
    if (times.empty())
        return QStringLiteral("—");
    return unit(median(times)) + QStringLiteral(" / ") + unit(percentile(times, p));
}

// Pocket read from the device, from the polling buffer, and the bare POCK?: µs each, -1 for a
// failure; the first failure's words of the first two.
struct Reads {
    std::vector<double> dev, cache, bare;
    QString devWhy, cacheWhy;
};

Reads reads(QProcess &client, int count)
{
    client.write("reads " + QByteArray::number(count) + '\n');
    Reads got;
    for (std::vector<double> *times : {&got.dev, &got.cache, &got.bare})
        *times = numbers(nextLine(client));
    const QString why = QString::fromUtf8(nextLine(client).mid(4));
    got.devWhy = why.section(u'|', 0, 0);
    got.cacheWhy = why.section(u'|', 1);
    return got;
}

// What one write took, in ms: until its B<n> was on the line, until the call returned; -1 and
// why when it failed.
struct Write {
    double toLine = -1;
    double call = -1;
    QString why;
};

struct Writes {
    std::vector<double> toLine, call, bareToLine, bareCall;
    QString why; // the first failure's
};

// The supervisor and its instrument port on the simulator, as the program runs them, with
// rv360-tango and the client; the simulator's log is read as it comes, each line stamped with
// the time it reached the benchmark.
class TangoRig : public QObject
{
public:
    explicit TangoRig(const BenchOptions &options) : m_options(options) {}
    ~TangoRig() override
    {
        m_client.closeWriteChannel();
        for (QProcess *process : {&m_client, &m_server, &m_sim})
            endProcess(*process);
    }
    // Empty when all runs, else why not.
    QString start();
    QProcess &client() { return m_client; }
    // Pocket = target through Tango, or as bare lines, and the move awaited to its end with
    // remote control given back.
    Write write(int target, bool bare);
    int pocket() const { return m_motion->view().pocket.value_or(0); }

private:
    QString startLine();
    void readLog();

    const BenchOptions &m_options;
    QTemporaryDir m_dir;
    QProcess m_sim, m_server, m_client;
    QByteArray m_logPart;
    // Received frames and when their log line came, µs on the steady clock.
    std::vector<std::pair<double, QByteArray>> m_received;
    std::unique_ptr<TemporarySettings> m_settings;
    SystemSerialPort m_port;
    std::unique_ptr<IndexerLink> m_link;
    std::unique_ptr<MotionSupervisor> m_motion;
    std::unique_ptr<InstrumentPort> m_instrument;
};

double steadyMicros(Clock::time_point at)
{
    return std::chrono::duration<double, std::micro>(at.time_since_epoch()).count();
}

void TangoRig::readLog()
{
    const double now = steadyMicros(Clock::now());
    m_logPart += m_sim.readAllStandardError();
    qsizetype end;
    while ((end = m_logPart.indexOf('\n')) >= 0) {
        const QList<QByteArray> words = m_logPart.left(end).split(' ');
        if (words.size() >= 3 && words[1] == "rx")
            m_received.emplace_back(now, words[2]);
        m_logPart.remove(0, end + 1);
    }
}

QString TangoRig::startLine()
{
    const QString link = m_dir.filePath(QStringLiteral("ttyTango"));
    connect(&m_sim, &QProcess::readyReadStandardError, this, &TangoRig::readLog);
    m_sim.start(m_options.simProgram, {QStringLiteral("--link"), link, QStringLiteral("--log"),
                                       QStringLiteral("--move-ms"), MoveMs});
    m_settings = std::make_unique<TemporarySettings>(m_dir.path(), link);
    if (!nextLine(m_sim, 5000).startsWith("ready") || !m_settings->ok() ||
        !m_port.open(StoredPortChoice()))
        return QStringLiteral("rv360-sim did not start, or its line did not open");
    m_link = std::make_unique<IndexerLink>(m_port);
    spin(LineSettleMs);
    m_motion = std::make_unique<MotionSupervisor>(*m_link);
    m_motion->setRemoteAllowed(true); // the operator's "Allow remote control"
    bool refreshed = false;
    m_motion->refresh(this, [&refreshed] { refreshed = true; });
    return waitFor([&refreshed] { return refreshed; }, 5000) && pocket()
               ? QString()
               : QStringLiteral("the simulator did not answer");
}

QString TangoRig::start()
{
    if (const QString why = startLine(); !why.isEmpty())
        return why;
    m_instrument = std::make_unique<InstrumentPort>(*m_motion);
    QString why;
    const quint16 tangoPort = freePort();
    if (!m_instrument->listen(QHostAddress(QHostAddress::LocalHost), 0, &why) || !tangoPort)
        return QStringLiteral("no listener: ") + why;
    const QString instrument = QString::number(m_instrument->port());
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(m_options.tangoProgram,
                   {QStringLiteral("--instrument"), QStringLiteral("127.0.0.1:") + instrument,
                    QStringLiteral("test"), QStringLiteral("-nodb"), QStringLiteral("-dlist"),
                    QStringLiteral("rv360/indexer/1"), QStringLiteral("-ORBendPoint"),
                    QStringLiteral("giop:tcp:127.0.0.1:%1").arg(tangoPort)});
    // Anything it says before (libtango's warnings) is kept for the note.
    QByteArray said, line;
    while (!(line = nextLine(m_server)).isEmpty() && line != "rv360-tango: ready")
        said += line + ' ';
    if (line.isEmpty())
        return QStringLiteral("rv360-tango did not become ready: ") +
               QString::fromLocal8Bit(said + m_server.readAll()).left(300);
    m_client.start(m_options.tangoClient, {QString::number(tangoPort), instrument});
    const QByteArray ready = nextLine(m_client);
    if (ready != "ready")
        return QStringLiteral("rv360-bench-tango: ") + QString::fromUtf8(ready);
    spin(1000); // Tango's polling under way
    return QString();
}

Write TangoRig::write(int target, bool bare)
{
    m_received.clear();
    const QByteArray answer =
        ask(m_client, (bare ? "bare " : "write ") + QByteArray::number(target));
    const std::vector<double> told = numbers(answer);
    if (!answer.startsWith("write ") || told.size() != 2) {
        if (bare)
            ask(m_client, "local");
        return {-1, -1, QStringLiteral("the client answered: ") + QString::fromUtf8(answer)};
    }
    const auto arrived = [this, target] {
        return !m_motion->moving() && m_motion->view().pocket == target;
    };
    if (!waitFor(arrived, 10000) || (bare && ask(m_client, "local") != "ok") ||
        !waitFor([this] { return m_motion->remoteHolder().isEmpty(); }, 5000))
        return {-1, -1, QStringLiteral("the move to %1 did not end").arg(target)};
    const QByteArray frame = "$B" + QByteArray::number(target);
    std::vector<double> sent;
    for (const auto &[at, text] : m_received) {
        if (text.startsWith(frame))
            sent.push_back(at);
    }
    if (sent.size() != 1)
        return {-1, -1, QStringLiteral("B%1 on the line %2 times").arg(target).arg(sent.size())};
    return {(sent.front() - told[0]) / 1000, told[1] / 1000, QString()};
}

qsizetype failures(const std::vector<double> &times)
{
    return std::count_if(times.begin(), times.end(), [](double t) { return t < 0; });
}

// A row with a target, or info: an error when any of its calls or its floor's failed.
BenchRow row(const QString &name, const std::vector<double> &times,
             const std::vector<double> &floor, QString (*unit)(double), double p,
             const QString &why)
{
    const qsizetype failed = failures(times), floorFailed = failures(floor);
    QString note =
        times.empty()
            ? QStringLiteral("no times from rv360-bench-tango")
            : QStringLiteral("%1 of %2 failed: %3").arg(failed).arg(times.size()).arg(why);
    if (floorFailed)
        note += QStringLiteral("; %1 of the floor's failed").arg(floorFailed);
    return {Figure,
            name,
            spread(times, p, unit),
            spread(floor, p, unit),
            QStringLiteral("—"),
            failed || floorFailed || times.empty() ? Result::Error : Result::Info,
            note};
}

std::vector<BenchRow> rowsOf(const Reads &read, const Writes &written)
{
    std::vector<BenchRow> rows{
        row(QStringLiteral("`Pocket` write through Tango to `B<n>` on the line (median / p95)"),
            written.toLine, written.bareToLine, ms2, 95, written.why),
        row(QStringLiteral("`Pocket` write through Tango, until the call returns (median / p95)"),
            written.call, written.bareCall, ms2, 95, written.why),
        row(QStringLiteral("`Pocket` read through Tango, source DEV (median / p99)"), read.dev,
            read.bare, us, 99, read.devWhy),
        row(QStringLiteral("`Pocket` read through Tango, polling buffer (median / p99)"),
            read.cache, read.bare, us, 99, read.cacheWhy)};
    const QString bareWrite = QStringLiteral(" (the device's lines, bare on the port)");
    const QString bareRead = QStringLiteral(" (bare `POCK?` on the port)");
    rows[0].floor += bareWrite;
    rows[1].floor += bareWrite;
    rows[2].floor += bareRead;
    rows[3].floor += bareRead;
    // The targets: a write on the line within 50 ms, a read within 1 ms of the bare query.
    const std::vector<double> toLine = succeeded(written.toLine), dev = succeeded(read.dev);
    const double readCost = median(dev) - median(succeeded(read.bare));
    rows[0].target = QStringLiteral("median < 50 ms");
    rows[2].target = QStringLiteral("median ≤ floor + 1 ms");
    rows[2].measured += QStringLiteral(" (+%1)").arg(us(readCost));
    if (rows[0].result == Result::Info)
        rows[0].result = passIf(median(toLine) < 50);
    if (rows[2].result == Result::Info)
        rows[2].result = passIf(readCost <= 1000);
    return rows;
}

} // namespace

void Figures::tango()
{
    const QString name = QStringLiteral("`Pocket` write through Tango to `B<n>` on the line "
                                        "(median / p95)");
    TangoRig rig(m_options);
    if (const QString why = rig.start(); !why.isEmpty()) {
        add(errorRow(Figure, name, why));
        return;
    }
    reads(rig.client(), 20); // the connections' first calls
    const Reads read = reads(rig.client(), std::max(100, m_options.transactions / 4));
    // Two pockets next to each other, a move of one step each way.
    const int home = rig.pocket(), other = home % 8 + 1;
    Writes written;
    const int rounds = std::max(10, m_options.transactions / 100);
    for (int i = 0; i < rounds; ++i) {
        const Write tango = rig.write(other, false), bare = rig.write(home, true);
        if (written.why.isEmpty())
            written.why = tango.why.isEmpty() ? bare.why : tango.why;
        written.toLine.push_back(tango.toLine);
        written.call.push_back(tango.call);
        written.bareToLine.push_back(bare.toLine);
        written.bareCall.push_back(bare.call);
        if (!written.why.isEmpty())
            break; // the next would fail alike
    }
    const auto mid = [](const std::vector<double> &times, QString (*unit)(double)) {
        const std::vector<double> ok = succeeded(times);
        return ok.empty() ? QStringLiteral("—") : unit(median(ok));
    };
    say(QStringLiteral("[13] %1 reads of Pocket: DEV median %2, polling buffer %3, bare POCK? %4; "
                       "%5 writes each way: to B<n> on the line median %6 (bare lines %7)")
            .arg(read.dev.size())
            .arg(mid(read.dev, us), mid(read.cache, us), mid(read.bare, us))
            .arg(rounds)
            .arg(mid(written.toLine, ms2), mid(written.bareToLine, ms2)));
    for (BenchRow &row : rowsOf(read, written))
        add(std::move(row));
}
