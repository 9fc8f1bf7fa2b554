#include "motionsupervisor.h"

#include "commandset.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QPointer>
#include <cmath>

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
    : QObject(parent), m_link(link)
{
    m_limit.setSingleShot(true);
    m_limit.setTimerType(Qt::PreciseTimer); // a coarse one may end a move 5 % early
    connect(&m_limit, &QTimer::timeout, this, &MotionSupervisor::fail);
    m_watch.setInterval(kWatchMs);
    connect(&m_watch, &QTimer::timeout, this, &MotionSupervisor::askIfNobodyAsks);
    connect(&m_link, &IndexerLink::transactionEnded, this,
            [this](const QString &command, const IndexerLink::Reply &reply, qint64) {
                onTransaction(command, reply);
            });
}

MotionSupervisor::~MotionSupervisor()
{
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

QString MotionSupervisor::refusalFor(const QString &source, QString *code) const
{
    if (m_inhibit) {
        *code = QStringLiteral("inhibited");
        return QStringLiteral("moves inhibited: ") + m_inhibit->reason;
    }
    *code = QStringLiteral("refused");
    return source == windowSource() ? QString() : refusal();
}

void MotionSupervisor::move(int target, const QString &source, const QObject *context, Done done,
                            const void *latestKey)
{
    const QString from = m_lastPocket ? QString::number(*m_lastPocket) : QString();
    QString code;
    if (const QString why = refusalFor(source, &code); !why.isEmpty()) {
        const Event event{code, target, source, 0, why, nameOf(target)};
        record(event, QDateTime::currentDateTime(), from);
        Q_EMIT moveEvent(event);
        if (done)
            done({code, why, {}, {}});
        return;
    }
    if (m_move)
        finish(QStringLiteral("replaced"), QStringLiteral("replaced by a move to %1").arg(target));
    Move &move = m_move.emplace();
    move.serial = ++m_serial;
    move.target = target;
    move.source = source;
    move.name = nameOf(target);
    move.from = from;
    move.requested = QDateTime::currentDateTime();
    move.clock.start();
    m_limit.start(m_timeLimitS * 1000);
    m_watch.start();
    Q_EMIT moveEvent({QStringLiteral("started"), target, source, 0, QString(), move.name});
    send(Indexer::moveCommand(target), source, m_serial, context, std::move(done), latestKey);
}

void MotionSupervisor::speed(int speed, const QString &source, const QObject *context, Done done,
                             const void *latestKey)
{
    QString code;
    if (const QString why = refusalFor(source, &code); !why.isEmpty()) {
        if (done)
            done({code, why, {}, {}});
        return;
    }
    send(Indexer::speedCommand(speed), source, 0, context, std::move(done), latestKey);
}

void MotionSupervisor::send(const QString &command, const QString &source, quint64 serial,
                            const QObject *context, Done done, const void *latestKey)
{
    const QPointer<const QObject> requester(context);
    auto onReply = [this, serial, requester, bound = context != nullptr, command,
                    done = std::move(done)](const IndexerLink::Reply &reply) {
        if (serial != 0 && m_move && m_move->serial == serial) {
            // Never written: it cannot arrive, and it is not sent again.
            if (reply.timedOut && reply.port == 0)
                finish(QStringLiteral("failed"),
                       QStringLiteral("pocket %1: the move was not sent (the line has not "
                                      "answered since a timeout)")
                           .arg(m_move->target));
            else
                m_move->written = true;
        }
        if (done && (!bound || requester))
            done({QString(), QString(), reply, command});
    };
    if (latestKey)
        m_link.SendLatest(latestKey, command, this, std::move(onReply));
    else
        m_link.SendCommand(command, this, std::move(onReply),
                           source == windowSource() ? IndexerLink::Lane::Operator
                                                    : IndexerLink::Lane::Script);
}

bool MotionSupervisor::sendText(const QString &text, const QString &source, const QObject *context,
                                Done done)
{
    const QString command = text.trimmed();
    const QChar kind = command.isEmpty() ? QChar() : command[0].toUpper();
    if ((kind != u'B' && kind != u'C') || command.contains(u'?'))
        return false;
    const int value = command.size() == 2 ? command[1].digitValue() : -1;
    if (command[0] != kind || value < 1 || value > 8) {
        if (done)
            done({QStringLiteral("refused"),
                  QStringLiteral("\"%1\" would command motion: only B1 to B8 and C1 to C8 are "
                                 "sent")
                      .arg(command),
                  {},
                  {}});
    } else if (kind == u'B') {
        move(value, source, context, std::move(done));
    } else {
        speed(value, source, context, std::move(done));
    }
    return true;
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

std::optional<int> MotionSupervisor::pocketNamed(const QString &name) const
{
    const QString wanted = name.trimmed();
    for (int pocket = 1; pocket <= 8 && !wanted.isEmpty(); ++pocket) {
        if (m_names[size_t(pocket - 1)].compare(wanted, Qt::CaseInsensitive) == 0)
            return pocket;
    }
    return std::nullopt;
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
                      message, move.name};
    record(event, move.requested, move.from);
    // A newer failure takes the alarm's place, before anyone hears of the failure.
    const bool failed = state == QLatin1String("failed");
    if (failed)
        m_alarm = message;
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
        m_holder = nullptr;
        m_holderName.clear();
    }
    Q_EMIT remoteChanged();
}

void MotionSupervisor::setRemotePort(const QString &where)
{
    m_remotePort = where;
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
                                         .arg(m_timeLimitS)
                                         .arg(pocket, state));
}

void MotionSupervisor::onTransaction(const QString &command, const IndexerLink::Reply &reply)
{
    if (command == Indexer::kQueryPocket) {
        m_pocketAsked.start();
        if (reply.timedOut)
            return;
        m_lastPocket = Indexer::pocketOrSpeed(reply.text);
        if (m_move && m_move->written)
            m_move->seenPocket = m_lastPocket;
    } else if (command == Indexer::kQueryMotion) {
        m_motionAsked.start();
        m_lastState = reply.timedOut
                          ? QStringLiteral("no answer")
                          : Indexer::motionState(reply.text).value_or(QStringLiteral("?"));
        if (!m_move || !m_move->written)
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

void MotionSupervisor::askIfNobodyAsks()
{
    if (!m_move || !m_move->written)
        return;
    const auto ask = [this](const QString &query, const QElapsedTimer &asked, bool &pending) {
        if (pending || (asked.isValid() && asked.elapsed() < kFreshMs))
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
    const QString line = QStringList{requested.toString(Qt::ISODateWithMs),
                                     csv(event.source),
                                     from,
                                     (QString::number(event.target) + u' ' + event.name).trimmed(),
                                     event.state,
                                     secondsText(event.seconds),
                                     csv(event.message)}
                             .join(u',');
    m_history.push_back(line);
    if (m_history.size() > kHistoryLines)
        m_history.pop_front();
    if (!m_file)
        return;
    QString why;
    switch (m_file->append(line.toUtf8() + '\n', &why)) {
    case RecordFile::Result::Written:
        m_recordFailed = false;
        return;
    case RecordFile::Result::NotAFile:
        why = QStringLiteral("not a regular file");
        break;
    case RecordFile::Result::Stopped:
        why = QStringLiteral("it could not be rotated");
        break;
    case RecordFile::Result::Failed:
        break;
    }
    if (!std::exchange(m_recordFailed, true))
        Q_EMIT recordFailed(QStringLiteral("%1 not written: %2").arg(m_file->fileName(), why));
}

QStringList MotionSupervisor::history(int count) const
{
    QStringList lines{QString::fromLatin1(kRecordHeader)};
    const auto first =
        m_history.size() > size_t(count) ? m_history.end() - count : m_history.begin();
    lines.append(QStringList(first, m_history.end()));
    return lines;
}

QStringList MotionSupervisor::ReadHistory(const QString &fileName, int count)
{
    // Newest file first, each read whole (they are rotated at 1 MiB).
    QStringList lines;
    for (int n = 0; n <= kRecordOldFiles && lines.size() < count; ++n) {
        QFile file(n == 0 ? fileName : fileName + QStringLiteral(".%1").arg(n));
        // A FIFO planted there would never give an end.
        if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
            continue;
        QStringList older =
            QString::fromUtf8(file.read(2 * kRecordBytes)).split(u'\n', Qt::SkipEmptyParts);
        older.removeAll(QString::fromLatin1(kRecordHeader));
        lines = older + lines;
    }
    return QStringList{QString::fromLatin1(kRecordHeader)} +
           lines.mid(qMax(0, int(lines.size()) - count));
}
