#include "simserver.h"

#include "conversions.h"

#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr qsizetype MaxOutput = 64 * 1024;
constexpr qsizetype MaxControlLine = 4096;
constexpr qsizetype FloodChunk = 512;
constexpr int MaxLateMs = 60000;
constexpr int RetryMs = 200;
constexpr int LfGapMs = 20;
// 19200 baud with start and stop bits: 1920 bytes per second.
constexpr qint64 PacedBytesPerSecond = 1920;
// Bytes a late pace tick may catch up at once, so a stalled loop never causes a burst.
constexpr qint64 MaxPaceBurst = 4;

std::optional<bool> onOff(const QList<QByteArray> &words)
{
    if (words.size() != 2)
        return std::nullopt;
    if (words[1] == "on")
        return true;
    if (words[1] == "off")
        return false;
    return std::nullopt;
}

std::optional<int> number(const QByteArray &word, int low, int high)
{
    bool ok = false;
    const int value = word.toInt(&ok, 10);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

std::optional<quint8> SimServer::parseByte(const QByteArray &word)
{
    bool ok = false;
    const bool hex = word.startsWith("0x") || word.startsWith("0X");
    const int value = hex ? word.mid(2).toInt(&ok, 16) : word.toInt(&ok, 10);
    if (!ok || value < 0 || value > 255 || (hex && word.size() == 2))
        return std::nullopt;
    return quint8(value);
}

SimServer::SimServer(int lineFd, Options options, QObject *parent)
    : QObject(parent), m_options(options), m_model(options.model), m_readNotifier(nullptr),
      m_writeNotifier(nullptr)
{
    m_clock.start();
    setLineFd(lineFd);

    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &SimServer::onDelayedDue);

    m_paceTimer.setInterval(1);
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_paceTimer, &QTimer::timeout, this, &SimServer::onPaceTick);
}

void SimServer::setLineFd(int fd)
{
    // Called from the old line's own notifier too: deleted later, silent at once.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = m_writeNotifier = nullptr;
    if (m_socket && m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_out.clear();
    m_delayed.clear();
    m_framer = Framer();
    struct stat st {
    };
    m_socket = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    if (fd < 0)
        return;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    m_readNotifier->setEnabled(!m_faults.stalled);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimServer::onLineReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimServer::onLineWritable);
}

void SimServer::watchControlInput(int fd)
{
    m_controlNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_controlNotifier, &QSocketNotifier::activated, this, &SimServer::onControlReadable);
}

void SimServer::onControlReadable()
{
    char buffer[1024];
    // One read per notification: the notifier said it will not block.
    const ssize_t n = ::read(int(m_controlNotifier->socket()), buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        // End of input is not a reason to stop: the server is often started with stdin closed.
        m_controlNotifier->setEnabled(false);
        return;
    }
    m_controlBuffer.append(buffer, n);
    qsizetype end;
    while ((end = m_controlBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_controlBuffer.left(end).trimmed();
        m_controlBuffer.remove(0, end + 1);
        if (!line.isEmpty())
            printLine(control(line));
    }
    if (m_controlBuffer.size() > MaxControlLine) {
        m_controlBuffer.clear();
        printLine("error line too long");
    }
}

QByteArray SimServer::control(const QByteArray &line)
{
    const QList<QByteArray> words = line.simplified().split(' ');
    const QByteArray &name = words.first();

    bool *flag = nullptr;
    if (name == "silent")
        flag = &m_faults.silent;
    else if (name == "partial")
        flag = &m_faults.partial;
    else if (name == "crlf")
        flag = &m_faults.crlf;
    else if (name == "noise")
        flag = &m_faults.noise;
    else if (name == "flood")
        flag = &m_faults.flood;
    else if (name == "stall")
        flag = &m_faults.stalled;
    // The LF apart from its CR, as a serial adapter or a device server may deliver it.
    m_faults.crlfSplit = name == "crlf" ? words.value(1) == "split" : m_faults.crlfSplit;
    if (m_faults.crlfSplit && name == "crlf") {
        m_faults.crlf = true;
        return "ok";
    }
    if (flag || name == "lowercase") {
        const std::optional<bool> on = onOff(words);
        if (!on)
            return "error usage: " + name + " on|off";
        if (flag)
            *flag = *on;
        else
            m_model.setLowercaseStatus(*on);
        if (m_readNotifier)
            m_readNotifier->setEnabled(!m_faults.stalled);
        pump();
        return "ok";
    }
    if (name == "late") {
        const std::optional<int> ms =
            words.size() == 2 ? number(words[1], 0, MaxLateMs) : std::nullopt;
        if (!ms)
            return "error usage: late <ms 0.." + QByteArray::number(MaxLateMs) + ">";
        m_faults.lateMs = *ms;
        return "ok";
    }
    if (name == "switches") {
        const std::optional<quint8> front = words.size() == 3 ? parseByte(words[1]) : std::nullopt;
        const std::optional<quint8> rear = words.size() == 3 ? parseByte(words[2]) : std::nullopt;
        if (!front || !rear)
            return "error usage: switches <front 0..255> <rear 0..255>";
        m_model.setSwitches(*front, *rear);
        return "ok";
    }
    if (name == "pocket") {
        const std::optional<int> pocket = words.size() == 2 ? number(words[1], 1, 8) : std::nullopt;
        if (!pocket)
            return "error usage: pocket <1..8>";
        m_model.setPocket(*pocket);
        return "ok";
    }
    if (name == "reply" && (words.size() == 2 || words.size() == 3)) {
        if (words.size() == 2)
            m_faults.replies.remove(words[1]);
        else
            m_faults.replies.insert(words[1], words[2]);
        return "ok";
    }
    if (name == "state" && words.size() == 1)
        return m_model.stateLine(now());
    if (name == "quit" && words.size() == 1) {
        // After the caller has printed the answer.
        QTimer::singleShot(0, this, [this] { Q_EMIT quitRequested(); });
        return "ok";
    }
    return "error unknown command: " + line;
}

void SimServer::onLineReadable()
{
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n > 0) {
        for (const Framer::Frame &frame : m_framer.feed(QByteArrayView(buffer, n)))
            answer(frame);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // A TCP client that went away: wait for the next one.
    if (m_socket) {
        setLineFd(-1);
        return;
    }
    // End of file or EIO (no open slave): wait a little instead of spinning on the notifier.
    m_readNotifier->setEnabled(false);
    QTimer::singleShot(RetryMs, this, [this] {
        if (m_readNotifier)
            m_readNotifier->setEnabled(!m_faults.stalled);
    });
}

void SimServer::answer(const Framer::Frame &frame)
{
    if (frame.oversized) {
        log("rx", frame.raw + "... (oversized, dropped)");
        return;
    }
    log("rx", frame.raw);
    // The model acts on every command, whatever answer stands in for its own.
    const QByteArray reply =
        m_faults.replies.value(frame.command(), m_model.handle(frame.command(), now()));
    if (m_faults.silent)
        return;
    const bool split = m_faults.crlfSplit && !m_faults.partial;
    QByteArray bytes =
        m_faults.partial ? reply.left(2) : reply + (m_faults.crlf && !split ? "\r\n" : "\r");
    if (m_faults.noise)
        bytes.prepend(randomBytes(1 + QRandomGenerator::global()->bounded(4)));
    if (m_faults.lateMs == 0 && m_delayed.empty() && !split) {
        enqueue(bytes);
        return;
    }
    // Replies keep their order even when the delay is changed between them.
    qint64 due = now() + m_faults.lateMs;
    if (!m_delayed.empty())
        due = std::max(due, m_delayed.back().dueMs);
    m_delayed.push_back({due, bytes});
    if (split)
        m_delayed.push_back({due + LfGapMs, "\n"});
    if (!m_delayTimer.isActive())
        m_delayTimer.start(int(std::max<qint64>(0, m_delayed.front().dueMs - now())));
}

void SimServer::onDelayedDue()
{
    while (!m_delayed.empty() && m_delayed.front().dueMs <= now()) {
        enqueue(m_delayed.front().bytes);
        m_delayed.pop_front();
    }
    if (!m_delayed.empty())
        m_delayTimer.start(int(std::max<qint64>(0, m_delayed.front().dueMs - now())));
}

void SimServer::enqueue(const QByteArray &bytes)
{
    if (m_out.size() + bytes.size() > MaxOutput) {
        log("tx", bytes + " (dropped, output full)");
        return;
    }
    log("tx", bytes);
    m_out += bytes;
    if (!m_options.pace)
        onLineWritable();
    pump();
}

void SimServer::pump()
{
    const bool pending = !m_out.isEmpty() || m_faults.flood;
    if (m_options.pace) {
        if (pending && !m_paceTimer.isActive()) {
            m_paceClock.start();
            m_pacedBytes = 0;
            m_paceTimer.start();
        }
        return;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(pending);
}

qsizetype SimServer::writeLine(const char *data, qsizetype size)
{
    if (size == 0)
        return 0;
    if (m_fd < 0) { // no client: nobody to answer
        m_out.clear();
        return -1;
    }
    const ssize_t n = ::write(m_fd, data, size_t(size));
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    // The line is gone (no reader, device error): drop what is queued and retry later.
    m_out.clear();
    if (m_socket) {
        setLineFd(-1);
        return -1;
    }
    m_writeNotifier->setEnabled(false);
    m_paceTimer.stop();
    QTimer::singleShot(RetryMs, this, &SimServer::pump);
    return -1;
}

void SimServer::onLineWritable()
{
    qsizetype n = 0;
    if (!m_out.isEmpty()) {
        n = writeLine(m_out.constData(), m_out.size());
        if (n > 0)
            m_out.remove(0, n);
    } else if (m_faults.flood) {
        const QByteArray noise = randomBytes(FloodChunk);
        n = writeLine(noise.constData(), noise.size());
    }
    if (n >= 0)
        pump();
}

void SimServer::onPaceTick()
{
    const qint64 due = m_paceClock.nsecsElapsed() / 1000 * PacedBytesPerSecond / 1000000;
    qint64 budget = due - m_pacedBytes;
    if (budget > MaxPaceBurst) {
        m_pacedBytes = due - MaxPaceBurst;
        budget = MaxPaceBurst;
    }
    if (budget > 0) {
        QByteArray chunk = m_out.left(budget);
        const qsizetype fromQueue = chunk.size();
        if (m_faults.flood)
            chunk += randomBytes(budget - fromQueue);
        const qsizetype n = writeLine(chunk.constData(), chunk.size());
        if (n < 0)
            return;
        m_pacedBytes += n;
        m_out.remove(0, std::min(n, fromQueue));
    }
    if (m_out.isEmpty() && !m_faults.flood)
        m_paceTimer.stop();
}

QByteArray SimServer::randomBytes(qsizetype count) const
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (char &c : bytes) {
        // Never a CR: noise must not complete a line by itself.
        const auto value = QRandomGenerator::global()->bounded(255);
        c = char(value >= '\r' ? value + 1 : value);
    }
    return bytes;
}

void SimServer::log(const QByteArray &direction, const QByteArray &bytes) const
{
    if (!m_options.log)
        return;
    const QByteArray line = QTime::currentTime().toString(u"hh:mm:ss.zzz").toLatin1() + ' ' +
                            direction + ' ' + VisibleControls(QString::fromLatin1(bytes)).toUtf8() +
                            '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
