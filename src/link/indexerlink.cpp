#include "indexerlink.h"

#include "commandset.h"
#include "linklog.h"
#include "systemserialport.h"
#include "tcpport.h"

#include <algorithm>
#include <cstring>
#include <utility>

Q_LOGGING_CATEGORY(lcLink, "rv360.link", QtInfoMsg)

namespace
{
const QString kTimeoutPrefix = QStringLiteral("Timeout ");

// "$", the command in Latin-1 (others as "?") and CR LF, in the frame's own buffer.
void setFrame(QByteArray &frame, const QString &command)
{
    frame.resize(command.size() + 3);
    char *out = frame.data();
    *out++ = '$';
    for (const QChar c : command)
        *out++ = c.unicode() < 0x100 ? char(c.unicode()) : '?';
    *out++ = '\r';
    *out = '\n';
}
} // namespace

IndexerLink::IndexerLink(QObject *parent)
    : QObject(parent), m_serial(std::make_unique<SystemSerialPort>()),
      m_network(std::make_unique<TcpPort>())
{
    setUp(*m_serial);
}

IndexerLink::IndexerLink(LinePort &port, QObject *parent) : QObject(parent)
{
    setUp(port);
}

void IndexerLink::setUp(LinePort &port)
{
    m_queue.reserve(kMaxWaiting);
    m_tmrComm.setInterval(kTimeoutMs);
    m_tmrComm.setSingleShot(true);
    m_tmrComm.setTimerType(Qt::PreciseTimer);
    connect(&m_tmrComm, &QTimer::timeout, this, &IndexerLink::tmrComm_Timer);
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        if (const qint64 wait = settleTimeMs(); wait > 0)
            m_settle.start(int(wait));
        else if (!writeCurrent())
            startNext();
    });
    usePort(&port);
}

void IndexerLink::usePort(LinePort *port)
{
    if (port == m_port)
        return;
    if (m_port)
        disconnect(m_port, nullptr, this, nullptr);
    m_port = port;
    connect(m_port, &LinePort::dataReceived, this, &IndexerLink::MSComm1_OnComm);
    connect(m_port, &LinePort::connectFinished, this, [this](bool connected) {
        if (!m_connecting)
            return;
        m_connecting = false;
        if (!connected)
            m_lastReopen.start(); // the next try a second from now, not at once
        const Request request = std::exchange(m_portChange, Request());
        const QPointer<IndexerLink> self(this);
        if (request.onOpened && request.requesterAlive())
            request.onOpened(connected);
        if (self)
            startNext();
    });
    connect(m_port, &LinePort::deviceLost, this, [this] {
        qCDebug(lcLink).noquote() << "device lost:" << m_port->choice().name()
                                  << m_port->errorText();
        m_deviceLost = true;
        Q_EMIT deviceLost();
    });
}

IndexerLink::~IndexerLink()
{
    shutdown();
}

void IndexerLink::SendCommand(const QString &sCommand, const QObject *context, ReplyHandler onReply,
                              Lane lane, quint32 onPort)
{
    Request request(context);
    request.command = sCommand;
    request.onReply = std::move(onReply);
    request.lane = lane;
    request.onPort = onPort;
    enqueueText(std::move(request));
}

void IndexerLink::SendLatest(const void *key, const QString &sCommand, const QObject *context,
                             ReplyHandler onReply)
{
    Request request(context);
    request.key = key;
    request.command = sCommand;
    request.onReply = std::move(onReply);
    enqueueText(std::move(request));
}

void IndexerLink::enqueueText(Request request)
{
    if (CouldCommandMotion(request.command)) {
        qCDebug(lcLink).noquote() << "refused:" << VisibleControls(request.command);
        return endUnsent(std::move(request), Unsent::Refused,
                         QString::fromLatin1(kMotionTextRefusal));
    }
    enqueueLatest(std::move(request));
}

void IndexerLink::sendMotion(MotionRequest motion, const QObject *context, ReplyHandler onReply,
                             Lane lane, const void *latestKey)
{
    Request request(context);
    request.key = latestKey;
    request.command = motion.command();
    request.motion = std::move(motion);
    request.onReply = std::move(onReply);
    request.lane = lane;
    enqueueLatest(std::move(request));
}

bool IndexerLink::CouldCommandMotion(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i].toUpper();
        if (c == u'$' || c.category() == QChar::Other_Control)
            return true;
        if (c != u'B' && c != u'C')
            continue;
        // The next character but blanks; one outside Latin-1 goes out as "?".
        qsizetype next = i + 1;
        while (next < text.size() && text[next] == u' ')
            ++next;
        if (next >= text.size() || (text[next] != u'?' && text[next].unicode() < 0x100))
            return true;
    }
    return false;
}

void IndexerLink::enqueueLatest(Request request)
{
    for (Request &waiting : m_queue) {
        if (request.key != nullptr && waiting.key == request.key) {
            waiting = std::move(request);
            return;
        }
    }
    enqueue(std::move(request));
}

void IndexerLink::selectPort(const PortChoice &choice, const QObject *context, PortHandler onOpened)
{
    Request request(context);
    request.portChange = true;
    request.choice = choice;
    request.onOpened = std::move(onOpened);
    enqueue(std::move(request));
}

void IndexerLink::enqueue(Request request)
{
    if (m_shutDown)
        return;
    const bool script = request.lane == Lane::Script;
    const auto scripts = std::count_if(m_queue.begin(), m_queue.end(),
                                       [](const Request &r) { return r.lane == Lane::Script; });
    if (m_queue.size() >= size_t(kMaxWaiting) || (script && scripts >= kMaxScriptWaiting)) {
        qCDebug(lcLink).noquote() << "queue full, not sent:" << VisibleControls(request.command);
        // The operator learns of it at once from the status word; a script from its result.
        if (!script)
            setStatus(QStringLiteral("Timeout"));
        endUnsent(std::move(request), Unsent::QueueFull);
        return;
    }
    // A poll goes ahead of the scripts' waiting requests, behind everything else.
    auto at = m_queue.end();
    if (request.lane == Lane::Poll)
        at = std::find_if(m_queue.begin(), m_queue.end(),
                          [](const Request &r) { return r.lane == Lane::Script; });
    m_queue.insert(at, std::move(request));
    startNext();
}

void IndexerLink::endUnsent(Request request, Unsent why, const QString &refusal)
{
    const Reply result{kTimeoutPrefix, true, 0, why, refusal};
    // Told on the next turn, not from inside the caller's own call.
    if (request.onReply) {
        QTimer::singleShot(0, this, [request = std::move(request), result] {
            if (request.requesterAlive())
                request.onReply(result);
        });
    } else if (request.onOpened) {
        QTimer::singleShot(0, this, [request = std::move(request)] {
            if (request.requesterAlive())
                request.onOpened(false);
        });
    }
}

QString IndexerLink::motionRefusal(const MotionRequest &request) const
{
    if (!m_authority || request.maker() != m_authority)
        return QStringLiteral("no motion authority");
    return request.standing();
}

IndexerLink::Proof IndexerLink::motionProof()
{
    if (!m_needsProof) {
        m_proofSince.invalidate();
        return Proof::Go;
    }
    if (!m_proofSince.isValid())
        m_proofSince.start();
    if (m_proofSince.elapsed() < kProofMs)
        return Proof::Ask;
    m_proofSince.invalidate();
    return Proof::GiveUp;
}

void IndexerLink::startNext()
{
    // Handlers may queue requests (and so come back here) or run a dialog of their own: the
    // state is read afresh on every turn, and the oldest request always goes first.
    const QPointer<IndexerLink> self(this);
    while (!m_onWire && !m_connecting && !m_queue.empty()) {
        Request request = std::move(m_queue.front());
        m_queue.erase(m_queue.begin());
        if (request.portChange) {
            const bool opened = changePort(request.choice);
            // A connection still being made holds the queue until it is made or has failed.
            if (opened && m_port->isConnecting()) {
                m_connecting = true;
                m_portChange = std::move(request);
                return;
            }
            if (request.onOpened && request.requesterAlive())
                request.onOpened(opened);
            if (!self)
                return; // a handler ended the link's owner
            continue;
        }
        if (request.onPort != 0 && request.onPort != m_portEpoch) {
            qCDebug(lcLink).noquote()
                << "port changed, not sent:" << VisibleControls(request.command);
            endUnsent(std::move(request), Unsent::PortChanged);
            continue;
        }
        if (request.motion) {
            // Not worth a proof query when it would be refused anyway (it is asked again as it
            // is written).
            if (const QString why = m_needsProof ? motionRefusal(*request.motion) : QString();
                !why.isEmpty()) {
                qCDebug(lcLink).noquote() << "motion refused:" << request.command << why;
                endUnsent(std::move(request), Unsent::Refused, why);
                continue;
            }
            const Proof proof = motionProof();
            if (proof == Proof::GiveUp) {
                qCDebug(lcLink).noquote()
                    << "line not proven to drain, not sent:" << VisibleControls(request.command);
                setStatus(QStringLiteral("Timeout"));
                if (!self)
                    return;
                endUnsent(std::move(request), Unsent::Unproven);
                continue;
            }
            if (proof == Proof::Ask) {
                // The move waits at the head while a status query of the link's own goes first.
                m_queue.insert(m_queue.begin(), std::exchange(request, Request()));
                request.command = Indexer::kQueryMotion;
            }
        }
        if (reopenLostDevice() && m_port->isConnecting()) {
            // A connection made again holds the queue, this request first, as a new one does.
            m_queue.insert(m_queue.begin(), std::move(request));
            m_connecting = true;
            return;
        }
        m_current = std::move(request);
        m_onWire = true;
        setFrame(m_frame, m_current.command);
        m_reply.resize(0);
        m_wordBefore = m_statusWord;
        setStatus(QStringLiteral("Busy"));
        if (!self || !m_onWire)
            return;
        if (const qint64 wait = settleTimeMs(); wait > 0) {
            qCDebug(lcLink).noquote() << "settling" << wait << "ms before"
                                      << VisibleControls(QString::fromLatin1(m_frame));
            m_settle.start(int(wait));
            return;
        }
        writeCurrent(); // written, or ended unwritten: the loop tells which
        if (!self)
            return;
    }
}

qint64 IndexerLink::settleTimeMs() const
{
    if (!m_lastTimeout.isValid() || Indexer::isStatusQuery(m_current.command))
        return 0;
    const qint64 sinceTimeout = m_lastTimeout.elapsed();
    qint64 wait = kSettleMs - sinceTimeout;
    if (m_lastByte.isValid())
        wait = qMax(wait, kQuietMs - m_lastByte.elapsed());
    return qMin(wait, kSettleMaxMs - sinceTimeout);
}

bool IndexerLink::writeCurrent()
{
    // Asked again as it is written: an inhibit or a newer move may have come while it waited.
    if (m_current.motion) {
        if (const QString why = motionRefusal(*m_current.motion); !why.isEmpty()) {
            qCDebug(lcLink).noquote() << "motion refused:" << m_current.command << why;
            m_onWire = false;
            endUnsent(std::exchange(m_current, Request()), Unsent::Refused, why);
            setStatus(m_wordBefore);
            return false;
        }
    }
    // What arrived before the write belongs to no one.
    m_port->discardInput();
    // The timeout runs from just before the write.
    m_tmrComm.start();
    m_sentAt.start();
    qCDebug(lcLink).noquote() << "write" << VisibleControls(QString::fromLatin1(m_frame));
    m_port->write(m_frame);
    Q_EMIT frameWritten(m_frame);
    return true;
}

void IndexerLink::finishCurrent(bool timedOut)
{
    m_tmrComm.stop();
    Request request = std::move(m_current);
    m_current = Request();
    m_onWire = false;
    const Reply result{resultText(timedOut), timedOut, m_portEpoch, Unsent::No, {}};
    if (!timedOut) {
        qCDebug(lcLink).noquote() << "reply" << VisibleControls(result.text) << "after"
                                  << m_sentAt.nsecsElapsed() / 1000 << "us";
    } else {
        qCDebug(lcLink).noquote() << "timeout for" << VisibleControls(request.command) << "with"
                                  << VisibleControls(QString::fromLatin1(m_reply));
        // A frame still in a buffer (a stalled line) must never reach the indexer late.
        m_port->discardOutput();
        m_lastTimeout.start();
        m_needsProof = true;
    }
    if (!timedOut && Indexer::isStatusQuery(request.command))
        m_needsProof = false;
    const QPointer<IndexerLink> self(this);
    Q_EMIT transactionEnded(request.command, result, m_sentAt.nsecsElapsed() / 1000);
    if (!self)
        return;
    setStatus(timedOut ? QStringLiteral("Timeout") : QStringLiteral("Ready"));
    if (!self)
        return;
    // The result is fixed for its requester; the next request may now reset the reply, even
    // while this handler still runs (a handler that opens a dialog does not stall the link).
    if (request.onReply && request.requesterAlive()) {
        request.onReply(result);
        if (!self)
            return;
    }
    startNext();
}

const QString &IndexerLink::resultText(bool timedOut)
{
    for (const MadeText &made : m_madeTexts) {
        if (made.timedOut == timedOut && made.bytes == m_reply)
            return made.text;
    }
    MadeText &made = m_madeTexts[m_nextMadeText];
    m_nextMadeText = (m_nextMadeText + 1) % m_madeTexts.size();
    made.timedOut = timedOut;
    // A copy of the bytes, not a share: the reply buffer stays the link's own to refill.
    made.bytes.resize(0);
    made.bytes.append(m_reply.constData(), m_reply.size());
    made.text =
        timedOut ? kTimeoutPrefix + QString::fromLatin1(m_reply) : QString::fromLatin1(m_reply);
    return made.text;
}

void IndexerLink::MSComm1_OnComm()
{
    // Everything waiting, in one read, straight after what has come so far.
    const qsizetype before = m_reply.size();
    const qint64 got = m_port->readInto(m_reply);
    if (got <= 0)
        return;
    m_lastByte.start();
    if (!m_onWire || m_settle.isActive()) {
        m_reply.resize(before); // nobody waits: nothing is kept
        return;
    }
    // The LF of a line end in CR LF, come after its reply had ended at the CR: it opens no reply.
    if (before == 0 && m_reply.startsWith('\n')) {
        m_reply.remove(0, 1);
        if (m_reply.isEmpty())
            return;
    }
    const bool lineEnded =
        std::memchr(m_reply.constData() + before, '\r', size_t(m_reply.size() - before));
    // A line that floods past the bound is cut: memory stays bounded.
    if (m_reply.size() > kMaxReplyLength)
        m_reply.resize(kMaxReplyLength);
    if (lineEnded)
        finishCurrent(false);
}

void IndexerLink::tmrComm_Timer()
{
    if (m_onWire)
        finishCurrent(true);
}

bool IndexerLink::openPort(const PortChoice &choice)
{
    const bool opened = m_port->open(choice);
    if (opened)
        qCDebug(lcLink).noquote() << "opened" << choice.name();
    else
        qCDebug(lcLink).noquote() << "open failed:" << choice.name() << m_port->errorText();
    return opened;
}

bool IndexerLink::changePort(const PortChoice &choice)
{
    if (choice == m_port->choice() && m_port->isOpen())
        return true;
    m_port->close();
    if (m_serial)
        usePort(choice.ethernet() ? m_network.get() : m_serial.get());
    ++m_portEpoch;
    m_deviceLost = false;
    if (choice.number < 1) {
        // Nothing to open; a port change later opens the stored choice.
        return true;
    }
    return openPort(choice);
}

bool IndexerLink::reopenLostDevice()
{
    if (!m_deviceLost || m_port->isOpen())
        return false;
    if (m_lastReopen.isValid() && m_lastReopen.elapsed() < m_reopenIntervalMs)
        return false;
    m_lastReopen.start();
    qCDebug(lcLink).noquote() << "reopening" << m_port->choice().name();
    if (!openPort(m_port->choice()))
        return false;
    m_deviceLost = false;
    return true;
}

void IndexerLink::setStatus(const QString &word)
{
    m_statusWord = word;
    Q_EMIT linkStatusChanged(word);
}

void IndexerLink::shutdown()
{
    m_shutDown = true;
    m_tmrComm.stop();
    m_settle.stop();
    m_connecting = false;
    m_portChange = Request();
    m_onWire = false;
    m_current = Request();
    m_queue.clear();
}
