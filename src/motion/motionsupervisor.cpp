#include "motionsupervisor.h"

#include "commandset.h"
#include "conversions.h"

#include <QFile>
#include <QJsonValue>
#include <QPointer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

const char MotionSupervisor::kRecordHeader[] = "time,source,from,target,result,seconds,message";

namespace
{

QString secondsText(double seconds)
{
    return QString::number(seconds, 'f', 1);
}

// A CSV field: quoted when it holds a comma, a quote or a line end.
QString csv(const QString &field)
{
    if (!field.contains(u',') && !field.contains(u'"') && !field.contains(u'\n') &&
        !field.contains(u'\r'))
        return field;
    return u'"' + QString(field).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// A request's outcome: the reply, or why it was never written. refusedCode: the supervisor's own
// code for a refusal at the line ("inhibited", "refused").
MotionSupervisor::Outcome outcomeOf(const IndexerLink::Reply &reply, const QString &command,
                                    const QString &refusedCode)
{
    const auto notSent = [&command](const char *why) {
        return QStringLiteral("\"%1\" not sent: %2").arg(command, QLatin1String(why));
    };
    switch (reply.unsent) {
    case IndexerLink::Unsent::No:
        break;
    case IndexerLink::Unsent::Refused:
        return {refusedCode.isEmpty() ? QStringLiteral("refused") : refusedCode, reply.refusal,
                reply, command};
    case IndexerLink::Unsent::QueueFull:
        return {QStringLiteral("busy"), notSent("too many commands wait"), reply, command};
    case IndexerLink::Unsent::Unproven:
        return {QStringLiteral("timeout"), notSent("the line has not answered since a timeout"),
                reply, command};
    case IndexerLink::Unsent::PortChanged:
        return {QStringLiteral("refused"), notSent("the port changed"), reply, command};
    }
    return {QString(), QString(), reply, command};
}

} // namespace

QJsonObject MotionSupervisor::Event::toJson() const
{
    return {{QStringLiteral("event"), QStringLiteral("move")},
            {QStringLiteral("state"), state},
            {QStringLiteral("target"), target},
            {QStringLiteral("source"), source},
            {QStringLiteral("seconds"), std::round(seconds * 10) / 10},
            {QStringLiteral("message"), message},
            {QStringLiteral("name"), name.isEmpty() ? QJsonValue() : QJsonValue(name)}};
}

MotionSupervisor::MotionSupervisor(IndexerLink &link, QObject *parent)
    : QObject(parent), m_link(link), m_linkAlive(&link)
{
    m_link.setMotionAuthority(this);
    m_limit.setSingleShot(true);
    m_limit.setTimerType(Qt::PreciseTimer); // a coarse one may end a move 5 % early
    connect(&m_limit, &QTimer::timeout, this, &MotionSupervisor::fail);
    m_watch.setInterval(kWatchMs);
    connect(&m_watch, &QTimer::timeout, this, &MotionSupervisor::askIfNobodyAsks);
    connect(&m_link, &IndexerLink::transactionEnded, this,
            [this](const QString &command, const IndexerLink::Reply &reply, qint64) {
                onTransaction(command, reply);
            });
    // Connected first: every other listener finds the view told already.
    connect(this, &MotionSupervisor::moveEvent, this, [this](const Event &event) {
        if (event.state != QLatin1String("started"))
            m_lastResult = event;
        Q_EMIT viewChanged();
    });
    connect(this, &MotionSupervisor::alarmChanged, this, &MotionSupervisor::viewChanged);
    connect(this, &MotionSupervisor::inhibitChanged, this, &MotionSupervisor::viewChanged);
    connect(this, &MotionSupervisor::remoteChanged, this, &MotionSupervisor::viewChanged);
}

MotionSupervisor::~MotionSupervisor()
{
    // The link may have gone first (both children of the window).
    if (m_linkAlive && m_linkAlive->motionAuthority() == this)
        m_linkAlive->setMotionAuthority(nullptr);
    if (m_move)
        record({QStringLiteral("unknown"), m_move->target, m_move->source,
                m_move->clock.elapsed() / 1000.0,
                QStringLiteral("ended before the indexer reported pocket %1").arg(m_move->target),
                m_move->name},
               m_move->requested, m_move->from);
}

void MotionSupervisor::setRecordFile(const QString &fileName)
{
    m_file.emplace(fileName, kRecordBytes, kRecordOldFiles, QByteArray(kRecordHeader) + '\n');
    m_recordFailed = false; // a new file's failure is said anew
}

QString MotionSupervisor::refusal(const QString &source) const
{
    if (m_link.isShutDown())
        return QStringLiteral("program ending");
    return source == windowSource() || !m_refusal ? QString() : m_refusal();
}

std::optional<QString> MotionSupervisor::InhibitReason(const QString &text)
{
    const QString reason = text.trimmed();
    const bool plain = std::none_of(reason.cbegin(), reason.cend(), IsHiddenControl);
    if (reason.isEmpty() || reason.size() > kMaxReason || !plain)
        return std::nullopt;
    return reason;
}

QString MotionSupervisor::standing(const QString &source, quint64 serial,
                                   std::optional<quint64> lease, QString *code) const
{
    if (m_inhibit) {
        *code = QStringLiteral("inhibited");
        return QStringLiteral("moves inhibited: ") + m_inhibit->reason;
    }
    *code = QStringLiteral("refused");
    if (const QString why = refusal(source); !why.isEmpty())
        return why;
    if (lease && *lease != m_withdrawals)
        return QStringLiteral("remote control taken back by the operator");
    if (serial != 0 && (!m_move || m_move->serial != serial))
        return m_move ? QStringLiteral("replaced by a move to %1").arg(m_move->target)
                      : QStringLiteral("the move had ended");
    return QString();
}

void MotionSupervisor::move(int target, const QString &source, const QObject *context, Done done,
                            const void *latestKey, const void *owner)
{
    const QString from = m_lastPocket ? QString::number(*m_lastPocket) : QString();
    QString code;
    if (const QString why = standing(source, 0, std::nullopt, &code); !why.isEmpty()) {
        const Event event{code, target, source, 0, why, nameOf(target), owner};
        record(event, QDateTime::currentDateTime(), from);
        Q_EMIT moveEvent(event);
        if (done)
            done({code, why, {}, {}});
        return;
    }
    if (m_move)
        finish(QStringLiteral("replaced"), QStringLiteral("replaced by a move to %1").arg(target));
    m_overdue.reset(); // whatever it does now is this move's
    Move &move = m_move.emplace();
    move.serial = ++m_serial;
    move.target = target;
    move.source = source;
    move.owner = owner;
    move.name = nameOf(target);
    move.from = from;
    move.requested = QDateTime::currentDateTime();
    move.clock.start();
    m_wasReady = false; // a standstill is seen afresh after our own move
    m_limit.start(m_timeLimitMs);
    m_watch.start();
    Q_EMIT moveEvent({QStringLiteral("started"), target, source, 0, QString(), move.name, owner});
    send(MotionRequest::Kind::Move, target, source, m_serial, owner, context, std::move(done),
         latestKey);
}

void MotionSupervisor::speed(int speed, const QString &source, const QObject *context, Done done,
                             const void *latestKey, const void *owner)
{
    QString code;
    if (const QString why = standing(source, 0, std::nullopt, &code); !why.isEmpty()) {
        if (done)
            done({code, why, {}, {}});
        return;
    }
    send(MotionRequest::Kind::Speed, speed, source, 0, owner, context, std::move(done), latestKey);
}

void MotionSupervisor::send(MotionRequest::Kind kind, int value, const QString &source,
                            quint64 serial, const void *owner, const QObject *context, Done done,
                            const void *latestKey)
{
    // Asked again as the link writes it; the code of a refusal there is kept for the outcome.
    const auto code = std::make_shared<QString>();
    const std::optional<quint64> lease =
        holdsRemote(owner) ? std::optional(m_withdrawals) : std::nullopt;
    MotionRequest request = makeRequest(
        kind, value, [self = QPointer<MotionSupervisor>(this), source, serial, lease, code] {
            return self ? self->standing(source, serial, lease, code.get())
                        : QStringLiteral("no motion authority");
        });
    const QString command = request.command();
    const QPointer<const QObject> requester(context);
    auto onReply = [this, serial, requester, bound = context != nullptr, command, code,
                    done = std::move(done)](const IndexerLink::Reply &reply) {
        const Outcome outcome = outcomeOf(reply, command, *code);
        if (serial != 0 && m_move && m_move->serial == serial) {
            // Never written: it cannot arrive, it is not sent again, and it is no fault of the
            // turntable's.
            if (!outcome.code.isEmpty())
                finish(outcome.code == QLatin1String("inhibited") ? outcome.code
                                                                  : QStringLiteral("refused"),
                       outcome.error);
            else
                m_move->written = true;
        }
        if (done && (!bound || requester))
            done(outcome);
    };
    m_link.sendMotion(std::move(request), this, std::move(onReply),
                      source == windowSource() ? IndexerLink::Lane::Operator
                                               : IndexerLink::Lane::Script,
                      latestKey);
}

void MotionSupervisor::setInhibit(bool on, const QString &reason, const QString &source)
{
    if (on) {
        m_inhibit = Inhibit{reason, source};
        Q_EMIT inhibitChanged(true, reason, source);
    } else if (m_inhibit) {
        const QString lifted = m_inhibit->reason;
        m_inhibit.reset();
        Q_EMIT inhibitChanged(false, lifted, source);
    }
}

void MotionSupervisor::setNames(const PocketLayout::Names &names)
{
    PocketLayout named; // anew: a name moved to another row is no clash
    named.setNames(names);
    m_named = named;
}

std::optional<int> MotionSupervisor::pocketNamed(const QString &name) const
{
    const auto row = m_named.rowNamed(name);
    return row ? std::optional(*row + 1) : std::nullopt;
}

MotionSupervisor::View MotionSupervisor::view() const
{
    View view;
    if (m_pocketAnswered)
        view.pocket = m_lastPocket;
    view.name = view.pocket ? nameOf(*view.pocket) : QString();
    const bool known =
        m_lastState == QLatin1String("ready") || m_lastState == QLatin1String("moving");
    view.state = m_motionAnswered && known ? m_lastState : QString();
    view.answering = m_answering;
    view.move = moveInProgress();
    view.last = m_lastResult;
    view.alarm = m_alarm;
    view.inhibit = m_inhibit;
    view.remoteHolder = m_holderName;
    return view;
}

void MotionSupervisor::refresh(const QObject *context, std::function<void()> done)
{
    // Both queued at once, so that nothing comes between them; the view is told of each reply
    // before its requester.
    m_link.SendCommand(Indexer::kQueryPocket, this, {}, IndexerLink::Lane::Script);
    m_link.SendCommand(
        Indexer::kQueryMotion, context,
        [done = std::move(done)](const IndexerLink::Reply &) { done(); },
        IndexerLink::Lane::Script);
}

QJsonObject MotionSupervisor::View::toJson() const
{
    const auto orNull = [](const QString &text) {
        return text.isEmpty() ? QJsonValue() : QJsonValue(text);
    };
    return {{QStringLiteral("pocket"), pocket ? QJsonValue(*pocket) : QJsonValue()},
            {QStringLiteral("name"), orNull(name)},
            {QStringLiteral("state"), orNull(state)},
            {QStringLiteral("answering"), answering},
            {QStringLiteral("move"), move},
            {QStringLiteral("last"), last ? QJsonValue(last->toJson()) : QJsonValue()},
            {QStringLiteral("alarm"), orNull(alarm)},
            {QStringLiteral("inhibit"),
             inhibit ? QJsonObject{{QStringLiteral("reason"), inhibit->reason},
                                   {QStringLiteral("source"), inhibit->source}}
                     : QJsonValue()},
            {QStringLiteral("remote"), orNull(remoteHolder)}};
}

QJsonValue MotionSupervisor::moveInProgress() const
{
    if (!m_move)
        return QJsonValue::Null;
    return QJsonObject{
        {QStringLiteral("target"), m_move->target},
        {QStringLiteral("source"), m_move->source},
        {QStringLiteral("seconds"), std::round(m_move->clock.elapsed() / 100.0) / 10}};
}

void MotionSupervisor::finish(const QString &state, const QString &message)
{
    const Move move = *m_move;
    m_move.reset();
    m_limit.stop();
    m_watch.stop();
    const Event event{state,   move.target, move.source, move.clock.elapsed() / 1000.0,
                      message, move.name,   move.owner};
    record(event, move.requested, move.from);
    // Where a move that did not arrive leaves the turntable is known at its next standstill.
    m_standstill = state == QLatin1String("arrived") ? std::optional(move.target) : std::nullopt;
    // A newer failure takes the alarm's place, before anyone hears of the failure.
    const bool failed = state == QLatin1String("failed");
    if (failed)
        m_alarm = message;
    if (failed && move.written)
        m_overdue = move;
    Q_EMIT moveEvent(event);
    if (failed)
        Q_EMIT alarmChanged(m_alarm);
}

void MotionSupervisor::acknowledge()
{
    if (m_alarm.isEmpty())
        return;
    m_alarm.clear();
    Q_EMIT alarmChanged(m_alarm);
}

void MotionSupervisor::setRemoteAllowed(bool allowed)
{
    if (allowed == m_remoteAllowed)
        return; // nobody holds control while it is forbidden
    m_remoteAllowed = allowed;
    if (!allowed) {
        ++m_withdrawals;
        m_holder = nullptr;
        m_holderName.clear();
    }
    Q_EMIT remoteChanged();
}

void MotionSupervisor::setRemotePort(const QString &where, const QString &whyOff)
{
    m_remotePort = where;
    m_remoteOff = whyOff;
    Q_EMIT remoteChanged();
}

void MotionSupervisor::setRemoteClients(const QStringList &clients)
{
    if (clients == m_remoteClients)
        return;
    m_remoteClients = clients;
    Q_EMIT remoteChanged();
}

QString MotionSupervisor::takeRemote(const void *owner, const QString &who)
{
    if (!m_remoteAllowed)
        return QStringLiteral("remote control not allowed");
    if (m_holder && m_holder != owner)
        return QStringLiteral("remote control held by ") + m_holderName;
    if (m_holder != owner) {
        m_holder = owner;
        m_holderName = who;
        Q_EMIT remoteChanged();
    }
    return QString();
}

void MotionSupervisor::releaseRemote(const void *owner)
{
    if (!owner || m_holder != owner)
        return;
    m_holder = nullptr;
    m_holderName.clear();
    Q_EMIT remoteChanged();
}

void MotionSupervisor::fail()
{
    if (!m_move)
        return;
    const QString pocket = m_lastPocket ? QString::number(*m_lastPocket) : QStringLiteral("?");
    const QString state = m_lastState.isEmpty() ? QStringLiteral("?") : m_lastState;
    finish(QStringLiteral("failed"), QStringLiteral("pocket %1 not reached in %2 s: at %3, %4")
                                         .arg(m_move->target)
                                         .arg(m_timeLimitMs / 1000.0)
                                         .arg(pocket, state));
}

void MotionSupervisor::onTransaction(const QString &command, const IndexerLink::Reply &reply)
{
    const bool pocket = command == Indexer::kQueryPocket;
    if (!pocket && command != Indexer::kQueryMotion)
        return;
    const auto seen =
        std::tuple(m_lastPocket, m_lastState, m_pocketAnswered, m_motionAnswered, m_answering);
    // A request never written says nothing of the line.
    if (reply.unsent == IndexerLink::Unsent::No) {
        (pocket ? m_pocketAnswered : m_motionAnswered) = !reply.timedOut;
        m_answering = !reply.timedOut;
    }
    watchReply(pocket, reply);
    if (seen !=
        std::tuple(m_lastPocket, m_lastState, m_pocketAnswered, m_motionAnswered, m_answering))
        Q_EMIT viewChanged();
}

void MotionSupervisor::watchReply(bool pocket, const IndexerLink::Reply &reply)
{
    if (pocket) {
        m_pocketAsked.start();
        if (reply.timedOut)
            return;
        m_lastPocket = Indexer::pocketOrSpeed(reply.text);
        m_pocketRead = true;
        if (m_move && m_move->written)
            m_move->seenPocket = m_lastPocket;
    } else {
        m_motionAsked.start();
        m_lastState = reply.timedOut
                          ? QStringLiteral("no answer")
                          : Indexer::motionState(reply.text).value_or(QStringLiteral("?"));
        const bool ready = m_lastState == QLatin1String("ready");
        if (!m_move && m_overdue)
            m_overdue->readyMs = ready && m_lastPocket == m_overdue->target
                                     ? m_overdue->readyMs.value_or(m_overdue->clock.elapsed())
                                     : std::optional<qint64>();
        if (!m_move)
            return watchIndexer(ready);
        if (!m_move->written)
            return;
        // Arrived: ready at the target, the pocket read after the last "moving".
        if (m_lastState == QLatin1String("moving"))
            m_move->seenPocket.reset();
        else if (m_lastState == QLatin1String("ready") && m_move->seenPocket == m_move->target)
            finish(QStringLiteral("arrived"),
                   QStringLiteral("at %1 in %2 s")
                       .arg(m_move->target)
                       .arg(secondsText(m_move->clock.elapsed() / 1000.0)));
    }
}

void MotionSupervisor::arriveLate(const Move &move)
{
    // Told from when it got there, not from the standstill seen a poll later.
    const double seconds = move.readyMs.value_or(move.clock.elapsed()) / 1000.0;
    const Event event{QStringLiteral("late"),
                      move.target,
                      move.source,
                      seconds,
                      QStringLiteral("pocket %1 reached after %2 s, past the %3 s limit")
                          .arg(move.target)
                          .arg(secondsText(seconds))
                          .arg(m_timeLimitMs / 1000.0),
                      move.name,
                      move.owner};
    record(event, move.requested, move.from);
    m_standstill = move.target; // where it was sent: no move made at the indexer
    m_alarm = event.message;
    Q_EMIT moveEvent(event);
    Q_EMIT alarmChanged(m_alarm);
}

void MotionSupervisor::watchIndexer(bool ready)
{
    // A pocket read between two ready reports is where the turntable stands: read while it
    // moved, or just as it stopped, it may be a pocket it passed.
    const bool still = ready && m_wasReady && m_pocketRead && m_lastPocket;
    m_wasReady = ready;
    m_pocketRead = false;
    if (!still)
        return;
    // A failed move ends at the first standstill: late at its target, else it stopped short.
    if (const std::optional<Move> overdue = std::exchange(m_overdue, std::nullopt);
        overdue && overdue->target == *m_lastPocket)
        return arriveLate(*overdue);
    const int from = m_standstill.value_or(*m_lastPocket);
    m_standstill = m_lastPocket;
    if (from == *m_lastPocket)
        return;
    const Event event{QStringLiteral("external"),
                      *m_lastPocket,
                      QStringLiteral("indexer"),
                      0,
                      QStringLiteral("moved at the indexer: %1 -> %2").arg(from).arg(*m_lastPocket),
                      nameOf(*m_lastPocket)};
    record(event, QDateTime::currentDateTime(), QString::number(from));
    Q_EMIT moveEvent(event);
}

void MotionSupervisor::setWatchMs(int intervalMs, int freshMs)
{
    m_watch.setInterval(intervalMs);
    m_freshMs = freshMs;
}

void MotionSupervisor::askIfNobodyAsks()
{
    if (!m_move || !m_move->written)
        return;
    const auto ask = [this](const QString &query, const QElapsedTimer &asked, bool &pending) {
        if (pending || (asked.isValid() && asked.elapsed() < m_freshMs))
            return;
        pending = true;
        m_link.SendCommand(
            query, this, [&pending](const IndexerLink::Reply &) { pending = false; },
            IndexerLink::Lane::Poll);
    };
    ask(Indexer::kQueryPocket, m_pocketAsked, m_pocketPending);
    ask(Indexer::kQueryMotion, m_motionAsked, m_motionPending);
}

void MotionSupervisor::record(const Event &event, const QDateTime &requested, const QString &from)
{
    QStringList fields{requested.toString(Qt::ISODateWithMs),
                       event.source,
                       from,
                       PocketWithName(event.target, event.name),
                       event.state,
                       secondsText(event.seconds),
                       event.message};
    for (QString &field : fields)
        field = csv(field);
    const QString line = fields.join(u',');
    m_history.push_back(line);
    if (m_history.size() > kHistoryLines)
        m_history.pop_front();
    if (!m_file)
        return;
    QString why;
    if (m_file->append(line.toUtf8() + '\n', &why))
        m_recordFailed = false;
    else if (!std::exchange(m_recordFailed, true))
        Q_EMIT recordFailed(why);
}

QStringList MotionSupervisor::history(int count) const
{
    QStringList lines{QString::fromLatin1(kRecordHeader)};
    const auto first =
        m_history.size() > size_t(count) ? m_history.end() - count : m_history.begin();
    lines.append(QStringList(first, m_history.end()));
    return lines;
}

QStringList MotionSupervisor::ReadHistory(const QString &fileName, int count, QString *refused)
{
    // Newest file first, each read whole (they are rotated at 1 MiB).
    QStringList lines;
    for (int n = 0; n <= kRecordOldFiles && lines.size() < count; ++n) {
        const QString name = n == 0 ? fileName : fileName + QStringLiteral(".%1").arg(n);
        // Opened as the writer opens it: never through a symbolic link, never a FIFO (which would
        // never give an end).
        const int fd = ::open(QFile::encodeName(name).constData(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat info {
        };
        if (fd < 0 && errno == ENOENT)
            continue;
        QFile file;
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
            !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            if (fd >= 0 && !file.isOpen())
                ::close(fd);
            if (refused && refused->isEmpty())
                *refused = QStringLiteral("%1 is not a regular file: not read").arg(name);
            continue;
        }
        QStringList older =
            QString::fromUtf8(file.read(2 * kRecordBytes)).split(u'\n', Qt::SkipEmptyParts);
        older.removeAll(QString::fromLatin1(kRecordHeader));
        lines = older + lines;
    }
    return QStringList{QString::fromLatin1(kRecordHeader)} +
           lines.mid(qMax(0, int(lines.size()) - count));
}
