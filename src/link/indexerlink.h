#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>

class QEventLoop;
class SerialPort;

// The one command/response transaction with the indexer. SendCommand frames a command, writes
// it and waits for the reply line (ended by CR) or the 200 ms timeout. The wait sleeps in a local
// event loop, so the window stays live; requests made meanwhile queue up and run one at a time
// in the order made, and each caller gets the reply to its own command.
class IndexerLink : public QObject
{
    Q_OBJECT
public:
    enum State : qint16 { Idle = 0, TimedOut = 1, Waiting = 9 };

    static constexpr int kTimeoutMs = 200;
    // Bytes kept of one reply; a line that floods past this is cut (memory stays bounded).
    static constexpr int kMaxReplyLength = 4096;
    // Least time between two attempts to reopen a lost device.
    static constexpr int kReopenIntervalMs = 1000;

    explicit IndexerLink(SerialPort &port, QObject *parent = nullptr);
    ~IndexerLink() override;

    // Sends "$" + command + CR LF and returns the reply with its CR, or "Timeout " followed by
    // what had arrived. Returns at once with "Timeout " after shutdown().
    QString SendCommand(const QString &sCommand);

    // The same transaction, telling a reply from a timeout without looking at the text.
    struct Reply {
        QString text;
        bool timedOut = false;
    };
    Reply Transact(const QString &sCommand);

    State LinkState() const { return m_state; }
    // True while a transaction is on the wire or requests wait for their turn.
    bool isBusy() const { return m_current != nullptr || !m_queue.empty(); }

    const QString &sFrame() const { return m_frame; }
    const QString &sReply() const { return m_reply; }
    QTimer &tmrComm() { return m_tmrComm; }
    SerialPort &port() { return m_port; }

    // Ends every waiting and queued request (as timed out) and refuses new ones: for shutdown.
    void shutdown();
    bool isShutDown() const { return m_shutDown; }

Q_SIGNALS:
    // The link status word: "Busy", "Ready" or "Timeout".
    void linkStatusChanged(const QString &word);

private:
    struct Request {
        QString command;
        Reply result;
        bool done = false;
        QEventLoop *loop = nullptr;
    };

    void MSComm1_OnComm();
    void tmrComm_Timer();
    void startNext();
    void finishCurrent(State how);
    void reopenLostDevice();

    SerialPort &m_port;
    QTimer m_tmrComm;
    State m_state = Idle;
    QString m_frame;
    QString m_reply;
    Request *m_current = nullptr;
    std::deque<Request *> m_queue;
    bool m_shutDown = false;
    bool m_deviceLost = false;
    QElapsedTimer m_lastReopen;
};
