#include "instrumentport.h"

#include "commandset.h"
#include "indexerlink.h"
#include "motionsupervisor.h"
#include "scpi.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <memory>

// A client: its error queue, its status registers, and whether its *OPC? (with a reply) or
// *WAI (without) waits for the move to end.
struct InstrumentPort::Instrument : LineServer::Client {
    QStringList errors;
    enum class Wait { No, Query, Silent } waiting = Wait::No;
    // *OPC: the event status register's operation-complete bit is set when the move ends.
    bool completeWanted = false;
    int esr = 0, ese = 0, sre = 0;
    int statusByte() const
    {
        // Message available (16) never: every reply is written as it is made.
        const int stb = (errors.isEmpty() ? 0 : 4) | ((esr & ese) != 0 ? 32 : 0);
        return stb | ((stb & sre) != 0 ? 64 : 0);
    }
    // It holds remote control; the operator took it back before it gave it back.
    bool held = false, takenBack = false;
    QString source() const { return QStringLiteral("remote ") + who(); }
};

namespace
{

constexpr auto kLane = IndexerLink::Lane::Script;

const char *errorText(int code)
{
    switch (code) {
    case -102:
        return "Syntax error";
    case -104:
        return "Data type error";
    case -108:
        return "Parameter not allowed";
    case -109:
        return "Missing parameter";
    case -113:
        return "Undefined header";
    case -200:
        return "Execution error";
    case -221:
        return "Settings conflict";
    case -222:
        return "Data out of range";
    case -224:
        return "Illegal parameter value";
    case -240:
        return "Hardware error";
    default:
        return "Queue overflow";
    }
}

// "10 s", "10 min": a limit as the operator reads it.
QString lasting(int ms)
{
    return ms % 60000 == 0  ? QStringLiteral("%1 min").arg(ms / 60000)
           : ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000)
                            : QStringLiteral("%1 ms").arg(ms);
}

QString quoted(QString text)
{
    return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

} // namespace

// Each command: its header (the short form in capitals), how many parameters it takes at least
// and at most, the check of its parameters, whether it needs remote control, and its function.
// Parameters are checked before remote control, so a bad one is told whoever sends it.
struct InstrumentPort::Command {
    const char *header;
    int least, most;
    bool (InstrumentPort::*check)(Instrument &, const Params &);
    bool remote;
    void (InstrumentPort::*run)(Instrument &, const Params &);
};

const InstrumentPort::Command InstrumentPort::kCommands[] = {
    {"*IDN?", 0, 0, nullptr, false, &InstrumentPort::identify},
    {"*RST", 0, 0, nullptr, false, &InstrumentPort::reset},
    {"*CLS", 0, 0, nullptr, false, &InstrumentPort::clearErrors},
    {"*ESE", 1, 1, &InstrumentPort::wholeNumber<0, 255>, false, &InstrumentPort::setEventEnable},
    {"*ESE?", 0, 0, nullptr, false, &InstrumentPort::eventEnableQuery},
    {"*ESR?", 0, 0, nullptr, false, &InstrumentPort::eventStatusQuery},
    {"*SRE", 1, 1, &InstrumentPort::wholeNumber<0, 255>, false, &InstrumentPort::setRequestEnable},
    {"*SRE?", 0, 0, nullptr, false, &InstrumentPort::requestEnableQuery},
    {"*STB?", 0, 0, nullptr, false, &InstrumentPort::statusByteQuery},
    {"*OPC", 0, 0, nullptr, false, &InstrumentPort::completeWhenDone},
    {"*OPC?", 0, 0, nullptr, false, &InstrumentPort::whenDone},
    {"*WAI", 0, 0, nullptr, false, &InstrumentPort::waitForMove},
    {"*TST?", 0, 0, nullptr, false, &InstrumentPort::selfTest},
    {"SYSTem:ERRor?", 0, 0, nullptr, false, &InstrumentPort::nextError},
    {"SYSTem:REMote", 0, 0, nullptr, false, &InstrumentPort::takeRemote},
    {"SYSTem:LOCal", 0, 0, nullptr, false, &InstrumentPort::giveBack},
    {"SYSTem:REMote?", 0, 0, nullptr, false, &InstrumentPort::remoteQuery},
    {"POCKet?", 0, 0, nullptr, false, &InstrumentPort::pocketQuery},
    {"POCKet:NAME?", 0, 0, nullptr, false, &InstrumentPort::nameQuery},
    {"POCKet:NAME:ALL?", 0, 0, nullptr, false, &InstrumentPort::namesQuery},
    {"MOVing?", 0, 0, nullptr, false, &InstrumentPort::movingQuery},
    {"STATus?", 0, 0, nullptr, false, &InstrumentPort::stateQuery},
    {"STATus:TEXT?", 0, 0, nullptr, false, &InstrumentPort::wordsQuery},
    {"SPEed?", 0, 0, nullptr, false, &InstrumentPort::speedQuery},
    {"CONTrol?", 0, 0, nullptr, false, &InstrumentPort::controlQuery},
    {"SWitch?", 1, 1, &InstrumentPort::panel, false, &InstrumentPort::switchQuery},
    {"INHibit?", 0, 0, nullptr, false, &InstrumentPort::inhibitQuery},
    {"POCKet", 1, 1, &InstrumentPort::onePocket, true, &InstrumentPort::move},
    {"SPEed", 1, 1, &InstrumentPort::wholeNumber<1, 8>, true, &InstrumentPort::speed},
    {"CONTrol", 1, 1, &InstrumentPort::source, true, &InstrumentPort::control},
    {"INHibit", 1, 2, &InstrumentPort::inhibitParams, true, &InstrumentPort::inhibit},
};

InstrumentPort::InstrumentPort(MotionSupervisor &motion, QObject *parent)
    : LineServer({kMaxClients, kMaxLine, kMaxWaiting, kMaxUnread, kPartialMs, kIdleMs}, parent),
      m_motion(motion), m_link(motion.link())
{
    serve(m_server);
    connect(&m_motion, &MotionSupervisor::moveEvent, this, &InstrumentPort::onMoveEvent);
    connect(&m_motion, &MotionSupervisor::remoteChanged, this, &InstrumentPort::onRemoteChanged);
}

InstrumentPort::~InstrumentPort()
{
    stopListening();
    for (Client *client : clients())
        m_motion.releaseRemote(client);
    m_motion.setRemoteClients({});
}

bool InstrumentPort::listen(const QHostAddress &address, quint16 port, QString *why)
{
    // "[::]" is every interface, IPv4 as well: Qt's AnyIPv6 alone would be IPv6 only.
    const bool every =
        address.isEqual(QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion);
    if (!m_server.listen(every ? QHostAddress(QHostAddress::Any) : address, port)) {
        *why = m_server.errorString();
        return false;
    }
    m_motion.setRemotePort(HostAndPort(address, m_server.serverPort()));
    return true;
}

void InstrumentPort::stopListening()
{
    if (!m_server.isListening())
        return;
    m_server.close();
    m_motion.setRemotePort(QString());
}

LineServer::Client *InstrumentPort::newClient()
{
    return new Instrument;
}

QByteArray InstrumentPort::closing(const Client &client, Cap cap)
{
    const QString why =
        cap == Cap::Allow     ? QStringLiteral("refused: not in [Instrument] Allow")
        : cap == Cap::Clients ? QStringLiteral("refused: %1 clients already").arg(kMaxClients)
        : cap == Cap::Line    ? QStringLiteral("closed: a line over 4 KiB")
        : cap == Cap::Waiting ? QStringLiteral("closed: over %1 lines ahead").arg(kMaxWaiting)
        : cap == Cap::Unread  ? QStringLiteral("closed: over 1 MiB of replies unread")
        : cap == Cap::Partial ? QStringLiteral("closed: a line left unfinished for %1")
                                    .arg(lasting(limits().partialMs))
        : cap == Cap::Idle
            ? QStringLiteral("closed: silent for %1 while another client waited")
                  .arg(lasting(limits().idleMs))
            : QStringLiteral("closed: a change sent after the operator took control back");
    Q_EMIT notice(client.who() + u' ' + why, why);
    return QByteArray(); // cut at once
}

void InstrumentPort::dropped(Client &client)
{
    // Control goes back with the client; a move it asked for goes on, and nothing is sent again.
    m_motion.releaseRemote(&client);
}

void InstrumentPort::clientsChanged()
{
    QStringList connected;
    for (const Client *client : clients())
        connected << client->who();
    m_motion.setRemoteClients(connected);
}

bool InstrumentPort::keptIdle(const Client &client) const
{
    return m_motion.holdsRemote(&client);
}

void InstrumentPort::onRemoteChanged()
{
    // Control gone from a client that did not give it back: the operator took it (Local, or
    // Allow remote control unticked). Its queries go on; a change it still sends closes it, as
    // it has not noticed.
    for (Client *each : clients()) {
        auto &client = static_cast<Instrument &>(*each);
        if (client.held && !m_motion.holdsRemote(&client)) {
            client.held = false;
            client.takenBack = !m_motion.remoteAllowed();
        }
    }
}

void InstrumentPort::serveLine(Client &client, const QByteArray &bytes)
{
    auto &instrument = static_cast<Instrument &>(client);
    const Scpi::Line line = Scpi::Parse(QString::fromLatin1(bytes).trimmed());
    if (line.error != 0)
        return fail(instrument, line.error, line.detail);
    execute(instrument, line.header, line.params);
}

void InstrumentPort::execute(Instrument &client, const QString &header, const Params &params)
{
    const auto *command =
        std::find_if(std::begin(kCommands), std::end(kCommands),
                     [&header](const Command &c) { return Scpi::Matches(header, c.header); });
    if (command == std::end(kCommands))
        return fail(client, -113);
    if (command->remote && client.takenBack)
        return cut(client);
    if (params.size() < command->least)
        return fail(client, -109);
    if (params.size() > command->most)
        return fail(client, -108);
    if (command->check && !(this->*command->check)(client, params))
        return;
    if (command->remote && !m_motion.holdsRemote(&client))
        return fail(client, -221, QStringLiteral("local control"));
    (this->*command->run)(client, params);
}

void InstrumentPort::identify(Instrument &client, const Params &)
{
    answer(client,
           QStringLiteral("RV360,crucible indexer,0,") + QCoreApplication::applicationVersion());
}

void InstrumentPort::reset(Instrument &client, const Params &params)
{
    // Never a move: the turntable stays where it is, a move in progress goes on.
    client.ese = client.sre = 0;
    m_motion.releaseRemote(&client);
    clearErrors(client, params);
}

void InstrumentPort::clearErrors(Instrument &client, const Params &)
{
    client.errors.clear();
    client.esr = 0;
    client.completeWanted = false;
    answer(client);
}

void InstrumentPort::setEventEnable(Instrument &client, const Params &params)
{
    client.ese = params[0].text.toInt();
    answer(client);
}

void InstrumentPort::eventEnableQuery(Instrument &client, const Params &)
{
    answer(client, QString::number(client.ese));
}

void InstrumentPort::eventStatusQuery(Instrument &client, const Params &)
{
    answer(client, QString::number(std::exchange(client.esr, 0)));
}

void InstrumentPort::setRequestEnable(Instrument &client, const Params &params)
{
    client.sre = params[0].text.toInt() & ~64; // request service itself cannot be enabled
    answer(client);
}

void InstrumentPort::requestEnableQuery(Instrument &client, const Params &)
{
    answer(client, QString::number(client.sre));
}

void InstrumentPort::statusByteQuery(Instrument &client, const Params &)
{
    answer(client, QString::number(client.statusByte()));
}

void InstrumentPort::completeWhenDone(Instrument &client, const Params &)
{
    if (m_motion.moving())
        client.completeWanted = true;
    else
        client.esr |= kOperationComplete;
    answer(client);
}

void InstrumentPort::waitForMove(Instrument &client, const Params &)
{
    if (!m_motion.moving())
        return answer(client);
    client.waiting = Instrument::Wait::Silent; // the next line is served when the move ends
}

void InstrumentPort::selfTest(Instrument &client, const Params &)
{
    answer(client, QStringLiteral("0"));
}

void InstrumentPort::nextError(Instrument &client, const Params &)
{
    answer(client,
           client.errors.isEmpty() ? QStringLiteral("0,\"No error\"") : client.errors.takeFirst());
}

void InstrumentPort::whenDone(Instrument &client, const Params &)
{
    if (!m_motion.moving())
        return answer(client, QStringLiteral("1"));
    client.waiting = Instrument::Wait::Query; // answered when the move ends
}

void InstrumentPort::inhibitQuery(Instrument &client, const Params &)
{
    const auto &inhibit = m_motion.inhibit();
    answer(client, inhibit ? QStringLiteral("1,") + quoted(inhibit->reason) : QStringLiteral("0"));
}

void InstrumentPort::takeRemote(Instrument &client, const Params &)
{
    const QString why = m_motion.takeRemote(&client, client.who());
    if (!why.isEmpty())
        return fail(client, -221, why);
    client.held = true;
    client.takenBack = false;
    answer(client);
}

void InstrumentPort::giveBack(Instrument &client, const Params &)
{
    client.held = client.takenBack = false;
    m_motion.releaseRemote(&client);
    answer(client);
}

void InstrumentPort::remoteQuery(Instrument &client, const Params &)
{
    answer(client, QStringLiteral("%1,%2")
                       .arg(m_motion.remoteAllowed() ? 1 : 0)
                       .arg(quoted(m_motion.remoteHolder())));
}

// The status queries answer from the supervisor's view at once: never a line request.
void InstrumentPort::pocketQuery(Instrument &client, const Params &)
{
    answer(client, QString::number(m_motion.view().pocket.value_or(0)));
}

void InstrumentPort::nameQuery(Instrument &client, const Params &)
{
    answer(client, quoted(m_motion.view().name));
}

void InstrumentPort::namesQuery(Instrument &client, const Params &)
{
    QStringList names;
    for (int pocket = 1; pocket <= PocketLayout::kRows; ++pocket)
        names << quoted(m_motion.nameOf(pocket));
    answer(client, names.join(u','));
}

void InstrumentPort::movingQuery(Instrument &client, const Params &)
{
    const bool moving = m_motion.moving() || m_motion.view().state == QLatin1String("moving");
    answer(client, moving ? QStringLiteral("1") : QStringLiteral("0"));
}

void InstrumentPort::stateQuery(Instrument &client, const Params &)
{
    const MotionSupervisor::View view = m_motion.view();
    answer(client, !view.alarm.isEmpty()                     ? QStringLiteral("ALARM")
                   : view.inhibit                            ? QStringLiteral("INHIBITED")
                   : m_motion.moving()                       ? QStringLiteral("MOVING")
                   : !view.answering || view.state.isEmpty() ? QStringLiteral("UNKNOWN")
                                                             : view.state.toUpper());
}

// The strip's words, most pressing first; one empty string when there are none.
void InstrumentPort::wordsQuery(Instrument &client, const Params &)
{
    QStringList words = m_motion.words();
    if (words.isEmpty())
        words << QString();
    for (QString &line : words)
        line = quoted(line);
    answer(client, words.join(u','));
}

void InstrumentPort::speedQuery(Instrument &client, const Params &)
{
    askValue(client, Indexer::kQuerySpeed, [](const QString &reply) {
        const auto speed = Indexer::pocketOrSpeed(reply);
        return speed ? QString::number(*speed) : QString();
    });
}

void InstrumentPort::controlQuery(Instrument &client, const Params &)
{
    askValue(client, Indexer::kQueryControl, [](const QString &reply) {
        const auto source = Indexer::controlSource(reply);
        return source ? Indexer::controlSourceName(*source).toUpper() : QString();
    });
}

void InstrumentPort::switchQuery(Instrument &client, const Params &params)
{
    const bool rear = params[0].text.compare(QLatin1String("REAR"), Qt::CaseInsensitive) == 0;
    askValue(client, Indexer::kQuerySwitches, [rear](const QString &reply) {
        const auto byte = Indexer::switchByte(reply, rear);
        // Two digits always, as instrument drivers read a byte.
        return byte ? Indexer::switchByteText(*byte, 2) : QString();
    });
}

bool InstrumentPort::onePocket(Instrument &client, const Params &params)
{
    if (!params[0].quoted)
        return wholeNumber<1, 8>(client, params);
    if (m_motion.pocketNamed(params[0].text))
        return true;
    fail(client, -224, QStringLiteral("no pocket named %1").arg(params[0].text));
    return false;
}

template <int Least, int Most>
bool InstrumentPort::wholeNumber(Instrument &client, const Params &params)
{
    bool numeric = false;
    const double value = params[0].text.toDouble(&numeric);
    if (!numeric || params[0].quoted)
        fail(client, -104);
    else if (value < Least || value > Most || value != int(value))
        fail(client, -222);
    else
        return true;
    return false;
}

bool InstrumentPort::panel(Instrument &client, const Params &params)
{
    const QString word = params[0].text.toUpper();
    if (word == QLatin1String("FRONT") || word == QLatin1String("REAR"))
        return true;
    fail(client, -224, QStringLiteral("FRONT or REAR"));
    return false;
}

bool InstrumentPort::source(Instrument &client, const Params &params)
{
    if (Indexer::controlSourceNamed(params[0].text))
        return true;
    fail(client, -224, QStringLiteral("IO or COMM"));
    return false;
}

bool InstrumentPort::inhibitParams(Instrument &client, const Params &params)
{
    const QString word = params[0].text.toUpper();
    const bool on = word == QLatin1String("ON") || word == QLatin1String("1");
    if (!on && word != QLatin1String("OFF") && word != QLatin1String("0"))
        fail(client, -224, QStringLiteral("ON or OFF"));
    else if (on && params.size() < 2)
        fail(client, -109, QStringLiteral("a reason"));
    else if (!on && params.size() > 1)
        fail(client, -108);
    else if (on && (!params[1].quoted || !MotionSupervisor::InhibitReason(params[1].text)))
        fail(client, -224, QStringLiteral("a reason of 1 to 200 characters, quoted"));
    else
        return true;
    return false;
}

void InstrumentPort::move(Instrument &client, const Params &params)
{
    const Scpi::Param &pocket = params[0];
    supervised(client,
               pocket.quoted ? m_motion.pocketNamed(pocket.text).value_or(0)
                             : int(pocket.text.toDouble()),
               true);
}

void InstrumentPort::speed(Instrument &client, const Params &params)
{
    supervised(client, int(params[0].text.toDouble()), false);
}

void InstrumentPort::control(Instrument &client, const Params &params)
{
    const QString command = Indexer::controlCommand(*Indexer::controlSourceNamed(params[0].text));
    ask(client, command, [this, &client](const QString &) { answer(client); });
}

void InstrumentPort::inhibit(Instrument &client, const Params &params)
{
    const bool on = params.size() > 1; // a reason comes with ON alone
    m_motion.setInhibit(on, on ? *MotionSupervisor::InhibitReason(params[1].text) : QString(),
                        client.source());
    answer(client);
}

void InstrumentPort::supervised(Instrument &client, int number, bool move)
{
    const auto told = [this, &client](const MotionSupervisor::Outcome &outcome) {
        // Refused by a rule (inhibit, the operator), or not sent for the line's sake.
        const bool line =
            outcome.code == QLatin1String("timeout") || outcome.code == QLatin1String("busy");
        if (!outcome.code.isEmpty())
            pushError(client, line ? -240 : -221, outcome.error);
        else if (outcome.reply.timedOut)
            pushError(client, -240, QStringLiteral("indexer did not answer"));
        answer(client);
    };
    // The client travels with its request: its events name it.
    if (move)
        m_motion.move(number, client.source(), &client, told, nullptr, &client);
    else
        m_motion.speed(number, client.source(), &client, told, nullptr, &client);
}

void InstrumentPort::ask(Instrument &client, const QString &query,
                         std::function<void(const QString &reply)> answer)
{
    if (const QString refusal = m_motion.refusal(client.source()); !refusal.isEmpty())
        return fail(client, m_link.isShutDown() ? -240 : -221, refusal);
    // Answered within its deadline, however much waits on the line before it; a reply after it
    // is dropped.
    const auto open = std::make_shared<bool>(true);
    QTimer::singleShot(m_answerMs, &client, [this, &client, open] {
        if (std::exchange(*open, false))
            fail(client, -240,
                 QStringLiteral("indexer did not answer within %1 s").arg(m_answerMs / 1000.0));
    });
    m_link.SendCommand(
        query, &client,
        [this, &client, open, answer = std::move(answer)](const IndexerLink::Reply &reply) {
            if (!std::exchange(*open, false))
                return;
            if (!reply.timedOut)
                return answer(reply.text);
            fail(client, -240, QStringLiteral("indexer did not answer"));
        },
        kLane);
}

void InstrumentPort::askValue(Instrument &client, const QString &query,
                              std::function<QString(const QString &reply)> value)
{
    ask(client, query, [this, &client, value = std::move(value)](const QString &reply) {
        const QString read = value(reply);
        if (read.isNull())
            pushError(client, -240,
                      QStringLiteral("unexpected reply \"%1\"").arg(VisibleControls(reply)));
        answer(client, read);
    });
}

void InstrumentPort::answer(Instrument &client, const QString &reply)
{
    done(client, reply.isNull() ? QByteArray() : reply.toLatin1());
}

void InstrumentPort::pushError(Instrument &client, int code, const QString &detail)
{
    QString text = QString::fromLatin1(errorText(code));
    if (!detail.isEmpty())
        text += u';' + detail;
    const QString entry = QString::number(code) + u',' + quoted(text);
    // The event status bit of its class: -1xx command, -2xx execution, -3xx device, -4xx query.
    const int bit[] = {0, kCommandError, kExecutionError, kDeviceError, kQueryError};
    client.esr |= bit[qBound(0, -code / 100, 4)];
    // A full queue keeps its oldest errors; its last place says that some were lost.
    if (client.errors.size() < kMaxErrors) {
        client.errors.append(entry);
    } else {
        client.errors.last() = QStringLiteral("-350,\"Queue overflow\"");
        client.esr |= kDeviceError; // as the overflow's own -3xx
    }
}

void InstrumentPort::fail(Instrument &client, int code, const QString &detail)
{
    pushError(client, code, detail);
    answer(client);
}

void InstrumentPort::onMoveEvent(const MotionSupervisor::Event &event)
{
    const QString &state = event.state;
    // A replaced move is followed by the move that replaced it; one made at the indexer is
    // none of the clients' business here.
    if (state == QLatin1String("started") || state == QLatin1String("external"))
        return;
    // The client that asked for the move hears of its failure, and so does every client waiting
    // for the move to end. A move refused before it started had nobody waiting; one refused at
    // the line is told to its owner by its own result.
    const QList<Client *> all = clients();
    const auto owner = std::find(all.cbegin(), all.cend(), event.owner);
    const bool told = state == QLatin1String("failed") || state == QLatin1String("replaced");
    if (owner != all.cend() && told)
        pushError(static_cast<Instrument &>(**owner), -200, event.message);
    // A move refused before it started leaves the one in progress going.
    if (state == QLatin1String("replaced") || m_motion.moving())
        return;
    for (Client *each : all) {
        auto &client = static_cast<Instrument &>(*each);
        if (std::exchange(client.completeWanted, false))
            client.esr |= kOperationComplete;
        const auto waiting = std::exchange(client.waiting, Instrument::Wait::No);
        if (waiting == Instrument::Wait::No)
            continue;
        if (state != QLatin1String("arrived") && &client != event.owner)
            pushError(client, -200, event.message);
        answer(client, waiting == Instrument::Wait::Query ? QStringLiteral("1") : QString());
    }
}
