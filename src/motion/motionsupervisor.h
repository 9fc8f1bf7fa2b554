#pragma once

#include "indexerlink.h"
#include "pocketlayout.h"
#include "recordfile.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <optional>

// Every move and speed change passes here, whoever asks (the window, a script on the control
// socket, rv360ctl on a device of its own): it is the link's one motion authority. A request is
// checked as it is made and again as the link writes it, so that one made before an inhibit, a
// newer move or the operator taking remote control back is never written. The move in progress
// is watched until the indexer reports its pocket and ready, from the status queries that run
// anyway (the window's poll) or, when nobody asks, from its own; it fails when its time limit
// passes first, and a newer move replaces it. A failed move is still watched (from the queries
// that run anyway) until the turntable stands still: one that stands at its target is "late". A
// move is never sent again. A pocket change that no move of ours explains is a move made at the
// indexer ("external"). Every move's result is one line of the move record.
class MotionSupervisor : public QObject, private MotionAuthority
{
    Q_OBJECT
public:
    static constexpr int kDefaultTimeLimitS = 30;
    // A status query older than this is asked again by the supervisor while a move is watched.
    static constexpr int kFreshMs = 750;
    static constexpr int kWatchMs = 250;
    static constexpr qint64 kRecordBytes = 1 << 20;
    static constexpr int kRecordOldFiles = 9;
    // Lines of the record kept in memory for history().
    static constexpr int kHistoryLines = 1000;
    static const char kRecordHeader[];
    static QString windowSource() { return QStringLiteral("window"); }

    // A move's start or end: state "started", "arrived", "failed" (written and not arrived in
    // time: the alarm), "late" (a failed move that arrived after all: the alarm too), "replaced",
    // "inhibited", "refused" (never written), "unknown" (still in progress when the program
    // ended), or "external" (made at the indexer, source "indexer").
    struct Event {
        QString state;
        int target = 0;
        QString source;
        double seconds = 0;
        QString message;
        // The target's name when it has one.
        QString name;
        // Whoever asked, as given to move().
        const void *owner = nullptr;
        QJsonObject toJson() const;
    };
    struct Inhibit {
        QString reason;
        QString source;
    };
    // What became of a request: with an empty code it went to the line as command and reply is
    // its result; else nothing was written, error says why and code is "inhibited", "refused",
    // "busy" (too many commands wait) or "timeout" (the line has not answered since a timeout).
    struct Outcome {
        QString code;
        QString error;
        IndexerLink::Reply reply;
        QString command;
    };
    using Done = std::function<void(const Outcome &outcome)>;
    // What is so, as every surface tells it: the indexer's last answers to the status queries
    // that anyone ran (the window's poll, the supervisor's own) and the supervisor's own state.
    // Reading it never asks the line.
    struct View {
        // At the working position: none before an answer, or when the last "B?" went unanswered.
        std::optional<int> pocket;
        QString name;
        // "ready" or "moving"; empty when not known (the last "D?" unanswered, or none yet).
        QString state;
        // The last status query was answered; false before the first answer.
        bool answering = false;
        // moveInProgress(): {"target", "source", "seconds"} or null.
        QJsonValue move;
        // The last move's result (any state but "started").
        std::optional<Event> last;
        QString alarm;
        std::optional<Inhibit> inhibit;
        // Who holds remote control, empty for nobody.
        QString remoteHolder;
        // pocket, name, state, answering, move, last, alarm, inhibit, remote: null where none.
        QJsonObject toJson() const;
    };

    // Installs itself as the link's motion authority.
    explicit MotionSupervisor(IndexerLink &link, QObject *parent = nullptr);
    // A move still in progress goes to the record as "unknown".
    ~MotionSupervisor() override;

    IndexerLink &link() { return m_link; }
    // The pockets' names (the window's table, or the settings for rv360ctl --device), kept
    // and looked up by the layout's rules.
    void setNames(const PocketLayout::Names &names);
    QString nameOf(int pocket) const { return m_named.name(pocket - 1); }
    // The pocket of that name, letter case ignored.
    std::optional<int> pocketNamed(const QString &name) const;
    void setTimeLimit(int seconds) { m_timeLimitMs = seconds * 1000; }
    // Finer settings for tests, which cannot wait whole seconds: the limit, and how often the
    // status is asked while a move is watched and how old an answer may be.
    void setTimeLimitMs(int ms) { m_timeLimitMs = ms; }
    void setWatchMs(int intervalMs, int freshMs);
    // The record's file; without one the record is kept in memory only.
    void setRecordFile(const QString &fileName);
    // While it gives a reason (the setup dialog is open), any source but the window is refused
    // the line with it: moves, speed changes and every request of the control socket and the
    // instrument port that talks to the indexer.
    void setRefusal(std::function<QString()> refusal) { m_refusal = std::move(refusal); }
    // Why source may not use the line now ("program ending", or the reason above); empty when
    // it may.
    QString refusal(const QString &source) const;

    // A move to pocket target, or a speed change, both 1 to 8. done runs once with the outcome,
    // unless context is gone by then. With a key, a request of the same key still waiting in the
    // link's queue is replaced. owner comes back in the move's events; a request of an owner
    // that holds remote control is refused at the line once the operator has taken it back.
    void move(int target, const QString &source, const QObject *context, Done done,
              const void *latestKey = nullptr, const void *owner = nullptr);
    void speed(int speed, const QString &source, const QObject *context, Done done,
               const void *latestKey = nullptr, const void *owner = nullptr);

    // The longest reason an inhibit takes.
    static constexpr int kMaxReason = 200;
    // The reason an inhibit takes: trimmed, 1 to 200 characters, no control character (nor a
    // line separator or a bidirectional format character, see IsHiddenControl); no value when
    // the text is none of that.
    static std::optional<QString> InhibitReason(const QString &text);
    // Inhibits moves with a reason, or lifts the inhibit. Not kept across a restart.
    void setInhibit(bool on, const QString &reason, const QString &source);
    const std::optional<Inhibit> &inhibit() const { return m_inhibit; }
    bool moving() const { return m_move.has_value(); }
    View view() const;
    // The supervisor's own status queries ("B?", then "D?"), for a view where nobody polls
    // (rv360ctl on a device of its own): done runs once both have ended, unless context is gone.
    void refresh(const QObject *context, std::function<void()> done);
    // The move in progress as {"target", "source", "seconds"}, or null.
    QJsonValue moveInProgress() const;
    // The record's header and its last count lines, oldest first.
    QStringList history(int count) const;
    // The same from the record's files, for when no program runs. A file of the name that is
    // not a regular file (a symbolic link, a FIFO), which the record never writes, is not read:
    // the first such is named in *refused.
    static QStringList ReadHistory(const QString &fileName, int count, QString *refused = nullptr);

    // What the window's strip says, for every surface that tells it in words: the alarm, the
    // inhibit, a silent indexer, then the move in progress or the last move's result.
    QStringList words() const;
    // "Moving to 5 (Au) (script)", "Arrived at 5 (Au) after 2.1 s", "Move to 5: ... (remote)".
    static QString EventWords(const Event &event);
    // "Moves inhibited: HV on (script)".
    static QString InhibitWords(const Inhibit &inhibit);

    // The last failed or late move's message until the operator acknowledges it; empty when none.
    const QString &alarm() const { return m_alarm; }
    void acknowledge();

    // Remote control, for the instrument port: at most one holder at a time, and only while the
    // operator allows it. Forbidding it takes control back at once. owner tells holders apart
    // (two clients may share an address); who is shown to the operator.
    void setRemoteAllowed(bool allowed);
    bool remoteAllowed() const { return m_remoteAllowed; }
    // Where the instrument port listens ("127.0.0.1:5025"), empty when it is off; and why a
    // setting keeps it off, for the operator to see.
    void setRemotePort(const QString &where, const QString &whyOff = {});
    const QString &remotePort() const { return m_remotePort; }
    const QString &remoteOffReason() const { return m_remoteOff; }
    const QString &remoteHolder() const { return m_holderName; }
    bool holdsRemote(const void *owner) const { return owner && m_holder == owner; }
    // Empty when owner holds control now, else why not.
    QString takeRemote(const void *owner, const QString &who);
    void releaseRemote(const void *owner);
    // The instrument port's clients as the operator reads them ("192.168.10.7"), for the strip.
    void setRemoteClients(const QStringList &clients);
    const QStringList &remoteClients() const { return m_remoteClients; }

Q_SIGNALS:
    void moveEvent(const MotionSupervisor::Event &event);
    void inhibitChanged(bool on, const QString &reason, const QString &source);
    // The record's file could not be written, and why; said once until a line is written again.
    void recordFailed(const QString &why);
    void alarmChanged(const QString &alarm);
    // Allowed, holder, port or clients changed.
    void remoteChanged();
    // Anything in view() changed but the move's seconds.
    void viewChanged();

private:
    struct Move {
        quint64 serial = 0;
        int target = 0;
        QString source;
        const void *owner = nullptr;
        QString name;
        QString from;
        QDateTime requested;
        QElapsedTimer clock;
        // Its command has been on the line: only status read after it counts.
        bool written = false;
        // The pocket reported since the indexer last said it was moving.
        std::optional<int> seenPocket;
        // Failed: when the indexer first said ready at the target since (ms from the request).
        std::optional<qint64> readyMs;
    };

    // Empty when a request stands, else why not with its code. serial: the move's (0 for a
    // speed change); lease: the operator's withdrawals of remote control when it was made, for
    // a request of the holder.
    QString standing(const QString &source, quint64 serial, std::optional<quint64> lease,
                     QString *code) const;
    void send(MotionRequest::Kind kind, int value, const QString &source, quint64 serial,
              const void *owner, const QObject *context, Done done, const void *latestKey);
    void finish(const QString &state, const QString &message);
    void record(const Event &event, const QDateTime &requested, const QString &from);
    void onTransaction(const QString &command, const IndexerLink::Reply &reply);
    // A status query's reply, for the move in progress.
    void watchReply(bool pocket, const IndexerLink::Reply &reply);
    // A motion report with no move of ours in progress.
    void watchIndexer(bool ready);
    void askIfNobodyAsks();
    void fail();
    // A failed move seen standing at its target after all.
    void arriveLate(const Move &move);

    IndexerLink &m_link;
    QPointer<IndexerLink> m_linkAlive;
    int m_timeLimitMs = kDefaultTimeLimitS * 1000;
    int m_freshMs = kFreshMs;
    std::function<QString()> m_refusal;
    // The names only.
    PocketLayout m_named;
    std::optional<Inhibit> m_inhibit;
    std::optional<Move> m_move;
    // The last move that failed, written, while the turntable has not stood still since.
    std::optional<Move> m_overdue;
    quint64 m_serial = 0;
    QTimer m_limit;
    QTimer m_watch;
    // What the indexer last reported, from anyone's status queries.
    std::optional<int> m_lastPocket;
    QString m_lastState;
    // Whether the last "B?", the last "D?" and the last of both were answered.
    bool m_pocketAnswered = false, m_motionAnswered = false, m_answering = false;
    std::optional<Event> m_lastResult;
    QElapsedTimer m_pocketAsked, m_motionAsked;
    bool m_pocketPending = false, m_motionPending = false;
    // Where the turntable stood still when no move of ours was in progress; no value after one
    // that did not arrive (it may still be on its way). Two ready reports with a pocket read
    // between them make a standstill.
    std::optional<int> m_standstill;
    bool m_wasReady = false, m_pocketRead = false;
    std::optional<RecordFile> m_file;
    bool m_recordFailed = false;
    std::deque<QString> m_history;
    QString m_alarm;
    bool m_remoteAllowed = false;
    QString m_remotePort, m_remoteOff;
    QStringList m_remoteClients;
    const void *m_holder = nullptr;
    // How often the operator has taken remote control back.
    quint64 m_withdrawals = 0;
    QString m_holderName;
};
