#pragma once

#include "motionrequest.h"
#include "portchoice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class LinePort;

// The one command/response transaction with the indexer, as a queue. SendCommand frames a
// command and queues it; one request is on the wire at a time, ended by its reply line (up to
// CR) or the 200 ms timeout, and each result goes to its own requester in the order the requests
// were made. Nothing waits: results come back through handlers bound to a context object, and a
// handler whose context has been destroyed is never called.
//
// What an unanswered line must not do: at most kMaxWaiting requests wait behind the one on the
// wire (scripts' requests at most kMaxScriptWaiting of them, so that the window always finds
// room), and a further one ends at once as timed out, unsent. A timed-out frame's unsent output is
// discarded, so it never reaches the indexer late. After a timeout, a request other than the
// status queries is written only once the line has settled (kSettleMs since the timeout and
// kQuietMs without a byte, kSettleMaxMs at most), so that a late reply is never taken as its own;
// a move or speed command moreover only once a status query has been answered since (the link
// asks one itself), proof that the line drains: a stalled line (a pseudo-terminal, a device
// server) keeps what was written and no discard reaches it. Without proof within kProofMs the
// move ends as timed out, unsent.
class IndexerLink : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 200;
    // Bytes kept of one reply; a line that floods past this is cut (memory stays bounded).
    static constexpr int kMaxReplyLength = 4096;
    // Least time between two attempts to reopen a lost device.
    static constexpr int kReopenIntervalMs = 1000;
    // Tests shorten it, so as not to wait a second per reconnection.
    void setReopenInterval(int ms) { m_reopenIntervalMs = ms; }
    static constexpr int kMaxWaiting = 16;
    static constexpr int kMaxScriptWaiting = 8;
    static constexpr int kSettleMs = 300;
    static constexpr int kQuietMs = 50;
    static constexpr int kSettleMaxMs = 500;
    static constexpr int kProofMs = 1000;

    // Who asks. The operator's requests and scripts' are served in the order they were made; a
    // status poll goes ahead of the scripts' waiting requests, so that the operator's display
    // follows the indexer whatever scripts ask.
    enum class Lane : quint8 { Operator, Poll, Script };

    // Why a request ended without being written.
    enum class Unsent : quint8 {
        No,
        // Too many requests wait (of its lane).
        QueueFull,
        // A motion request after a timeout, with no status query answered within kProofMs.
        Unproven,
        // The port had changed since the request was bound to it.
        PortChanged,
        // Text that could command motion, or a motion request that no longer stands: the
        // reason is in Reply::refusal.
        Refused,
    };
    // A result: the reply with its CR, or "Timeout " followed by what had arrived. A request
    // that was never written ends as "Timeout " too (callers that parse it find no value), with
    // unsent saying why.
    struct Reply {
        QString text;
        bool timedOut = false;
        // The port the transaction ran on: a number that changes with every change or reopen of
        // the port; 0 when nothing was written.
        quint32 port = 0;
        Unsent unsent = Unsent::No;
        QString refusal;
    };
    static constexpr const char *kMotionTextRefusal = "text that could command motion";
    using ReplyHandler = std::function<void(const Reply &reply)>;
    using PortHandler = std::function<void(bool opened)>;

    // The link on the program's own ports: the serial port for numbers 1 to 4, the TCP
    // connection to a device server for the Ethernet choice.
    explicit IndexerLink(QObject *parent = nullptr);
    // The link on one given port, whatever the choice (tests' fake port, rv360ctl's device).
    explicit IndexerLink(LinePort &port, QObject *parent = nullptr);
    ~IndexerLink() override;

    // Queues "$" + command + CR LF. When its transaction ends, onReply runs with the result,
    // provided that context still exists (no context: the handler always runs). The write
    // happens at once when nothing else is queued. After shutdown() nothing is queued or called.
    // A request bound to a port (onPort, an earlier reply's port) ends unsent (PortChanged)
    // once the port has changed: the steps of a transfer never reach another port than its
    // first. Text that could command motion (CouldCommandMotion) ends unsent (Refused).
    void SendCommand(const QString &sCommand, const QObject *context = nullptr,
                     ReplyHandler onReply = {}, Lane lane = Lane::Operator, quint32 onPort = 0);
    // SendCommand for a control whose latest request is the one that counts (a button): a
    // request with the same key that still waits is replaced by this one, in its place in the
    // queue, and its handler is not called.
    void SendLatest(const void *key, const QString &sCommand, const QObject *context = nullptr,
                    ReplyHandler onReply = {});
    // A move or speed change, queued like SendCommand (with a key, like SendLatest). Just
    // before it is written the request is asked whether it still stands; one that does not,
    // or that is not the installed authority's, ends unsent (Refused) with the reason.
    void sendMotion(MotionRequest request, const QObject *context, ReplyHandler onReply,
                    Lane lane = Lane::Operator, const void *latestKey = nullptr);
    // The one authority whose motion requests are written; none: no motion is written.
    void setMotionAuthority(const MotionAuthority *authority) { m_authority = authority; }
    const MotionAuthority *motionAuthority() const { return m_authority; }
    // Raw text that the indexer could read as motion: a "$" (a frame of its own), a control
    // character, or a B or C that is not a status query, anywhere in it (letter case and blanks
    // ignored).
    static bool CouldCommandMotion(const QString &text);

    // The one place that (re)opens the port, queued behind the requests already made so that no
    // port is closed under a transaction on the wire: a new choice closes the old port and opens
    // the new one; the same choice reopens a port that is not open. A number below 1 closes the
    // port and counts as success. onOpened gets whether the port is open afterwards, once a
    // network connection has been made or has failed.
    void selectPort(const PortChoice &choice, const QObject *context = nullptr,
                    PortHandler onOpened = {});
    // True while a transaction is on the wire or requests wait for their turn.
    bool isBusy() const { return m_onWire || m_connecting || !m_queue.empty(); }

    // The port in use, and what it was last asked to open (its choice()).
    const LinePort &port() const { return *m_port; }
    // The latest status word: "Busy", "Ready" or "Timeout" (empty before the first request).
    const QString &statusWord() const { return m_statusWord; }

    // Drops every waiting and queued request without calling anyone back and refuses new ones:
    // for shutdown. The link's destructor does the same.
    void shutdown();
    bool isShutDown() const { return m_shutDown; }

Q_SIGNALS:
    // The link status word changed or was said again.
    void linkStatusChanged(const QString &word);
    // The port's device went away (unplugged, the connection closed): reopened on a later request.
    void deviceLost();
    // The traffic, for a record and for scripts that watch: a frame as written, and each
    // transaction's end (the reply, or the timeout with what had arrived) with its time.
    void frameWritten(const QByteArray &frame);
    void transactionEnded(const QString &command, const IndexerLink::Reply &reply, qint64 micros);

private:
    struct Request {
        Request() = default;
        explicit Request(const QObject *requester) : bound(requester), context(requester) {}
        // No requester given, or the one given still exists.
        bool requesterAlive() const { return !bound || context; }

        bool portChange = false;
        const void *key = nullptr;
        QString command;
        std::optional<MotionRequest> motion;
        PortChoice choice;
        Lane lane = Lane::Operator;
        quint32 onPort = 0;
        // Whether a requester was given, so that a destroyed one is told from none.
        bool bound = false;
        QPointer<const QObject> context;
        ReplyHandler onReply;
        PortHandler onOpened;
    };

    void enqueue(Request request);
    // Queues it in the place of a waiting request of the same key, if any.
    void enqueueLatest(Request request);
    // The same for text, refused when it could command motion.
    void enqueueText(Request request);
    // Ends a request unsent on the next turn (not from inside someone's call).
    void endUnsent(Request request, Unsent why, const QString &refusal = QString());
    // Empty when a motion request may be written now, else why not.
    QString motionRefusal(const MotionRequest &request) const;
    // Whether a move at the head of the queue may be written, or must wait for a proof query
    // first (queued in front of it) or end as timed out.
    enum class Proof { Go, Ask, GiveUp };
    Proof motionProof();
    void MSComm1_OnComm();
    void tmrComm_Timer();
    void startNext();
    // False, and the request ended unsent, when a motion request no longer stands.
    bool writeCurrent();
    qint64 settleTimeMs() const;
    void finishCurrent(bool timedOut);
    const QString &resultText(bool timedOut);
    void setUp(LinePort &port);
    void usePort(LinePort *port);
    bool openPort(const PortChoice &choice);
    bool changePort(const PortChoice &choice);
    // True when the lost device was opened again.
    bool reopenLostDevice();
    void setStatus(const QString &word);

    // The program's own ports, when no port was given.
    std::unique_ptr<LinePort> m_serial;
    std::unique_ptr<LinePort> m_network;
    LinePort *m_port = nullptr;
    QTimer m_tmrComm;
    QTimer m_settle;
    QString m_statusWord;
    // The word before a request's "Busy", said again when it ends unwritten after settling.
    QString m_wordBefore;
    const MotionAuthority *m_authority = nullptr;
    // The frame and the bytes received, in buffers that keep their room from one transaction to
    // the next; text is made only when a transaction ends.
    QByteArray m_frame;
    QByteArray m_reply;
    // Recent results' texts and the bytes each was made from: a poll that gets the same replies
    // again shares their texts instead of making them anew.
    struct MadeText {
        bool timedOut = false;
        QByteArray bytes;
        QString text;
    };
    std::array<MadeText, 4> m_madeTexts;
    std::size_t m_nextMadeText = 0;
    bool m_onWire = false;
    // A port change waiting for its connection; it holds the queue.
    bool m_connecting = false;
    Request m_portChange;
    Request m_current;
    // At most kMaxWaiting, room reserved once.
    std::vector<Request> m_queue;
    bool m_shutDown = false;
    bool m_deviceLost = false;
    // Reply::port: changes with every change or reopen of the port.
    quint32 m_portEpoch = 1;
    // A transaction has timed out since the last answered status query.
    bool m_needsProof = false;
    QElapsedTimer m_proofSince;
    QElapsedTimer m_lastReopen;
    int m_reopenIntervalMs = kReopenIntervalMs;
    QElapsedTimer m_sentAt;
    QElapsedTimer m_lastTimeout;
    QElapsedTimer m_lastByte;
};
