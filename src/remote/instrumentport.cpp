#include "instrumentport.h"

#include "commandset.h"
#include "indexercommands.h"
#include "indexerlink.h"
#include "motionsupervisor.h"

#include <QCoreApplication>
#include <QQueue>
#include <QTcpSocket>
#include <algorithm>

struct InstrumentPort::Client : QObject {
    QTcpSocket *socket = nullptr;
    // The peer's address as the operator reads it ("192.168.10.7").
    QString who;
    QByteArray buffer;
    QQueue<QByteArray> lines;
    QStringList errors;
    bool busy = false;
    bool serving = false;
    bool waitingForMove = false;
};

// A parameter as sent: a quoted string (its quotes gone, doubled ones made single) or not.
struct InstrumentPort::Param {
    QString text;
    bool quoted = false;
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

QString quoted(QString text)
{
    return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// A mnemonic in its short form ("POCKET" and "pock" are "POCK"), empty when it is none of ours.
QString shortForm(const QString &mnemonic)
{
    static const char *const longForms[] = {"POCKet", "NAME",    "MOVing", "STATus",
                                            "SPEed",  "CONTrol", "SWitch", "INHibit",
                                            "SYSTem", "REMote",  "LOCal",  "ERRor"};
    const QString upper = mnemonic.toUpper();
    for (const char *form : longForms) {
        const QString full = QString::fromLatin1(form);
        const QString brief = full.left(
            std::find_if(full.cbegin(), full.cend(), [](QChar c) { return c.isLower(); }) -
            full.cbegin());
        if (upper == brief || upper == full.toUpper())
            return brief;
    }
    return QString();
}

// The header in short forms with its query mark ("POCK:NAME?"); empty when unknown.
QString canonical(QString header)
{
    if (header.startsWith(u':'))
        header.remove(0, 1);
    const bool query = header.endsWith(u'?');
    if (query)
        header.chop(1);
    if (header.startsWith(u'*'))
        return header.toUpper() + (query ? QStringLiteral("?") : QString());
    QStringList parts = header.split(u':');
    for (QString &part : parts) {
        part = shortForm(part);
        if (part.isEmpty())
            return QString();
    }
    return parts.join(u':') + (query ? QStringLiteral("?") : QString());
}

QHostAddress plain(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ipv4 = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ipv4) : address;
}

} // namespace

InstrumentPort::InstrumentPort(MotionSupervisor &motion, QObject *parent)
    : QObject(parent), m_motion(motion), m_link(motion.link())
{
    setAllowed(QString(), nullptr);
    connect(&m_server, &QTcpServer::newConnection, this, &InstrumentPort::accept);
    connect(&m_motion, &MotionSupervisor::moveEvent, this, &InstrumentPort::onMoveEvent);
}

InstrumentPort::~InstrumentPort()
{
    stopListening();
    for (Client *client : std::exchange(m_clients, {})) {
        m_motion.releaseRemote(client);
        delete client;
    }
}

bool InstrumentPort::ParseListen(const QString &text, QHostAddress *address, quint16 *port,
                                 QString *why)
{
    const QString listen = text.trimmed();
    const qsizetype colon = listen.lastIndexOf(u':');
    QString host = listen.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        host.clear(); // IPv6 without its brackets: where the port begins is a guess
    bool whole = false;
    const uint number = listen.mid(colon + 1).toUInt(&whole);
    if (colon < 0 || !whole || number < 1 || number > 65535) {
        *why = QStringLiteral("\"%1\" is not ADDRESS:PORT with a port from 1 to 65535").arg(text);
        return false;
    }
    *address = QHostAddress(host);
    if (address->isNull() || host.contains(u'%')) {
        *why = QStringLiteral("\"%1\" does not begin with an address (127.0.0.1, [::1], or "
                              "0.0.0.0 for every interface)")
                   .arg(text);
        return false;
    }
    *port = quint16(number);
    return true;
}

bool InstrumentPort::setAllowed(const QString &list, QString *why)
{
    QList<std::pair<QHostAddress, int>> allowed;
    for (const QString &item : list.split(u',', Qt::SkipEmptyParts)) {
        const QString entry = item.trimmed();
        auto range = entry.contains(u'/') ? QHostAddress::parseSubnet(entry)
                                          : std::pair{QHostAddress(entry), -1};
        if (range.first.isNull()) {
            *why = QStringLiteral("\"%1\" is neither an address nor a range").arg(entry);
            return false;
        }
        range.first = plain(range.first);
        if (range.second < 0)
            range.second = range.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        allowed.append(range);
    }
    if (allowed.isEmpty())
        allowed = {{QHostAddress(QHostAddress::LocalHost), 8},
                   {QHostAddress(QHostAddress::LocalHostIPv6), 128}};
    m_allowed = allowed;
    return true;
}

bool InstrumentPort::listen(const QHostAddress &address, quint16 port, QString *why)
{
    if (!m_server.listen(address, port)) {
        *why = m_server.errorString();
        return false;
    }
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + address.toString() + u']'
                             : address.toString();
    m_motion.setRemotePort(host + u':' + QString::number(m_server.serverPort()));
    return true;
}

void InstrumentPort::stopListening()
{
    if (!m_server.isListening())
        return;
    m_server.close();
    m_motion.setRemotePort(QString());
}

void InstrumentPort::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        const QHostAddress peer = plain(socket->peerAddress());
        const bool allowed =
            std::any_of(m_allowed.cbegin(), m_allowed.cend(),
                        [&peer](const auto &range) { return peer.isInSubnet(range); });
        if (!allowed || m_clients.size() >= kMaxClients) {
            Q_EMIT notice(
                allowed
                    ? QStringLiteral("%1 refused: %2 clients already")
                          .arg(peer.toString())
                          .arg(kMaxClients)
                    : QStringLiteral("%1 refused: not in [Instrument] Allow").arg(peer.toString()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *client = new Client;
        client->socket = socket;
        client->who = peer.toString();
        socket->setParent(client);
        m_clients.append(client);
        connect(socket, &QTcpSocket::readyRead, client, [this, client] { readFrom(client); });
        connect(socket, &QTcpSocket::disconnected, client, [this, client] { drop(client); });
        readFrom(client);
    }
}

void InstrumentPort::readFrom(Client *client)
{
    client->buffer += client->socket->readAll();
    qsizetype end;
    while ((end = client->buffer.indexOf('\n')) >= 0 && end <= kMaxLine) {
        client->lines.enqueue(client->buffer.left(end));
        client->buffer.remove(0, end + 1);
    }
    if (client->buffer.size() > kMaxLine)
        return close(client, QStringLiteral("a line over 4 KiB"));
    if (client->lines.size() > kMaxWaiting)
        return close(client, QStringLiteral("over %1 lines ahead").arg(kMaxWaiting));
    serveNext(client);
}

void InstrumentPort::serveNext(Client *client)
{
    // One line of a client at a time, so that its replies and errors keep its order; a loop for
    // the lines answered at once.
    if (client->serving)
        return;
    client->serving = true;
    while (!client->busy && !client->lines.isEmpty())
        serveOne(client, client->lines.dequeue());
    client->serving = false;
}

void InstrumentPort::serveOne(Client *client, const QByteArray &line)
{
    const QString text = QString::fromLatin1(line).trimmed();
    if (text.isEmpty())
        return;
    client->busy = true;
    const qsizetype space =
        std::find_if(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); }) -
        text.cbegin();
    const QString header = canonical(text.left(space));
    // The parameters: comma-separated, strings in double or single quotes.
    QList<Param> params;
    const QString rest = text.mid(space).trimmed();
    for (qsizetype i = 0; i < rest.size();) {
        Param param;
        const QChar quote = rest[i];
        if (quote == u'"' || quote == u'\'') {
            param.quoted = true;
            for (++i;; ++i) {
                if (i >= rest.size())
                    return fail(client, -102, QStringLiteral("string not closed"));
                if (rest[i] == quote && (i + 1 >= rest.size() || rest[i + 1] != quote))
                    break;
                if (rest[i] == quote)
                    ++i;
                param.text += rest[i];
            }
            ++i;
            while (i < rest.size() && rest[i].isSpace())
                ++i;
            if (i < rest.size() && rest[i] != u',')
                return fail(client, -102);
        } else {
            const qsizetype comma = rest.indexOf(u',', i);
            param.text = rest.mid(i, comma < 0 ? -1 : comma - i).trimmed();
            i = comma < 0 ? rest.size() : comma;
            if (param.text.isEmpty())
                return fail(client, -102, QStringLiteral("empty parameter"));
        }
        params.append(param);
        if (i >= rest.size())
            break;
        // Past the comma, to the next parameter, which must be there.
        for (++i; i < rest.size() && rest[i].isSpace();)
            ++i;
        if (i >= rest.size())
            return fail(client, -102, QStringLiteral("empty parameter"));
    }
    if (header.isEmpty())
        return fail(client, -113);
    execute(client, header, params);
}

void InstrumentPort::execute(Client *client, const QString &header, const QList<Param> &params)
{
    // How many parameters each header takes, at least and at most.
    static const QHash<QString, std::pair<int, int>> arity = {
        {QStringLiteral("*IDN?"), {0, 0}},      {QStringLiteral("*CLS"), {0, 0}},
        {QStringLiteral("*OPC?"), {0, 0}},      {QStringLiteral("POCK?"), {0, 0}},
        {QStringLiteral("POCK:NAME?"), {0, 0}}, {QStringLiteral("POCK"), {1, 1}},
        {QStringLiteral("MOV?"), {0, 0}},       {QStringLiteral("STAT?"), {0, 0}},
        {QStringLiteral("SPE"), {1, 1}},        {QStringLiteral("SPE?"), {0, 0}},
        {QStringLiteral("CONT"), {1, 1}},       {QStringLiteral("CONT?"), {0, 0}},
        {QStringLiteral("SW?"), {1, 1}},        {QStringLiteral("INH"), {1, 2}},
        {QStringLiteral("INH?"), {0, 0}},       {QStringLiteral("SYST:REM"), {0, 0}},
        {QStringLiteral("SYST:LOC"), {0, 0}},   {QStringLiteral("SYST:ERR?"), {0, 0}}};
    const auto count = arity.constFind(header);
    if (count == arity.cend())
        return fail(client, -113);
    if (params.size() < count->first)
        return fail(client, -109);
    if (params.size() > count->second)
        return fail(client, -108);
    const QString word = params.isEmpty() ? QString() : params[0].text.toUpper();
    const bool named = !params.isEmpty() && params[0].quoted;
    const QString source = QStringLiteral("remote ") + client->who;

    if (header == QLatin1String("*IDN?"))
        return done(client, QStringLiteral("RV360,crucible indexer,0,") +
                                QCoreApplication::applicationVersion());
    if (header == QLatin1String("*CLS")) {
        client->errors.clear();
        return done(client);
    }
    if (header == QLatin1String("SYST:ERR?"))
        return done(client, client->errors.isEmpty() ? QStringLiteral("0,\"No error\"")
                                                     : client->errors.takeFirst());
    if (header == QLatin1String("*OPC?")) {
        if (!m_motion.moving())
            return done(client, QStringLiteral("1"));
        client->waitingForMove = true; // answered when the move ends
        return;
    }
    if (header == QLatin1String("INH?")) {
        const auto &inhibit = m_motion.inhibit();
        return done(client,
                    inhibit ? QStringLiteral("1,") + quoted(inhibit->reason) : QStringLiteral("0"));
    }
    if (header == QLatin1String("SYST:REM")) {
        const QString why = m_motion.takeRemote(client, client->who);
        return why.isEmpty() ? done(client) : fail(client, -221, why);
    }
    if (header == QLatin1String("SYST:LOC")) {
        m_motion.releaseRemote(client);
        return done(client);
    }
    if (header == QLatin1String("POCK?") || header == QLatin1String("POCK:NAME?")) {
        const bool name = header != QLatin1String("POCK?");
        return ask(client, Indexer::kQueryPocket, [this, client, name](const QString &reply) {
            const int pocket = Indexer::pocketOrSpeed(reply).value_or(0);
            done(client, name ? quoted(m_motion.nameOf(pocket)) : QString::number(pocket));
        });
    }
    if (header == QLatin1String("MOV?") || header == QLatin1String("STAT?")) {
        const bool state = header == QLatin1String("STAT?");
        if (state && !m_motion.alarm().isEmpty())
            return done(client, QStringLiteral("ALARM"));
        if (state && m_motion.inhibit())
            return done(client, QStringLiteral("INHIBITED"));
        if (m_motion.moving())
            return done(client, state ? QStringLiteral("MOVING") : QStringLiteral("1"));
        const auto answer = [this, client, state](const QString &reply) {
            const QString now = Indexer::motionState(reply).value_or(QString());
            if (!state)
                return done(client, now == QLatin1String("moving") ? QStringLiteral("1")
                                                                   : QStringLiteral("0"));
            done(client, now.isEmpty() ? QStringLiteral("UNKNOWN") : now.toUpper());
        };
        return ask(client, Indexer::kQueryMotion, answer);
    }
    if (header == QLatin1String("SPE?") || header == QLatin1String("CONT?") ||
        header == QLatin1String("SW?")) {
        const bool rear = word == QLatin1String("REAR");
        if (header == QLatin1String("SW?") && !rear && word != QLatin1String("FRONT"))
            return fail(client, -224, QStringLiteral("FRONT or REAR"));
        const QString query = header == QLatin1String("SPE?")    ? Indexer::kQuerySpeed
                              : header == QLatin1String("CONT?") ? Indexer::kQueryControl
                                                                 : Indexer::kQuerySwitches;
        return ask(client, query, [this, client, header, rear](const QString &reply) {
            QString value;
            if (header == QLatin1String("SPE?")) {
                const auto speed = Indexer::pocketOrSpeed(reply);
                value = speed ? QString::number(*speed) : QString();
            } else if (header == QLatin1String("CONT?")) {
                const auto c = Indexer::thirdChar(reply);
                value = c == QLatin1Char('0')   ? QStringLiteral("IO")
                        : c == QLatin1Char('1') ? QStringLiteral("COMM")
                                                : QString();
            } else if (const auto c =
                           rear ? Indexer::fourthChar(reply) : Indexer::thirdChar(reply)) {
                value = QStringLiteral("%1").arg(c->unicode(), 2, 16, QLatin1Char('0')).toUpper();
            }
            if (value.isEmpty())
                pushError(client, -240,
                          QStringLiteral("unexpected reply \"%1\"").arg(VisibleControls(reply)));
            done(client, value);
        });
    }

    // Changes: the parameters first, then whether this client may make them.
    int number = 0;
    QString reason;
    if (header == QLatin1String("POCK") && named) {
        const auto pocket = m_motion.pocketNamed(params[0].text);
        if (!pocket)
            return fail(client, -224, QStringLiteral("no pocket named %1").arg(params[0].text));
        number = *pocket;
    } else if (header == QLatin1String("POCK") || header == QLatin1String("SPE")) {
        bool numeric = false;
        const double value = params[0].text.toDouble(&numeric);
        if (!numeric || named)
            return fail(client, -104);
        if (value < 1 || value > 8 || value != int(value))
            return fail(client, -222);
        number = int(value);
    } else if (header == QLatin1String("CONT")) {
        if (word != QLatin1String("IO") && word != QLatin1String("COMM"))
            return fail(client, -224, QStringLiteral("IO or COMM"));
    } else if (header == QLatin1String("INH")) {
        const bool on = word == QLatin1String("ON") || word == QLatin1String("1");
        if (!on && word != QLatin1String("OFF") && word != QLatin1String("0"))
            return fail(client, -224, QStringLiteral("ON or OFF"));
        if (on && params.size() < 2)
            return fail(client, -109, QStringLiteral("a reason"));
        if (!on && params.size() > 1)
            return fail(client, -108);
        const std::optional<QString> given =
            on ? IndexerCommands::InhibitReason(params[1].text) : std::nullopt;
        if (on && (!params[1].quoted || !given))
            return fail(client, -224, QStringLiteral("a reason of 1 to 200 characters, quoted"));
        reason = given.value_or(QString());
    }
    if (!m_motion.holdsRemote(client))
        return fail(client, -221, QStringLiteral("local control"));

    if (header == QLatin1String("INH")) {
        m_motion.setInhibit(!reason.isEmpty(), reason, source);
        return done(client);
    }
    if (header == QLatin1String("CONT"))
        return change(client, Indexer::controlCommand(word == QLatin1String("IO") ? 0 : 1));
    const auto told = [this, client](const MotionSupervisor::Outcome &outcome) {
        // Refused by a rule (inhibit, the operator), or not sent for the line's sake.
        const bool line =
            outcome.code == QLatin1String("timeout") || outcome.code == QLatin1String("busy");
        if (!outcome.code.isEmpty())
            pushError(client, line ? -240 : -221, outcome.error);
        else if (outcome.reply.timedOut)
            pushError(client, -240, QStringLiteral("indexer did not answer"));
        done(client);
    };
    // The client travels with its request: its events name it.
    if (header == QLatin1String("SPE"))
        return m_motion.speed(number, source, client, told, nullptr, client);
    m_motion.move(number, source, client, told, nullptr, client);
}

void InstrumentPort::ask(Client *client, const QString &query,
                         std::function<void(const QString &reply)> answer)
{
    if (m_link.isShutDown())
        return fail(client, -240, QStringLiteral("program ending"));
    if (const QString refusal = m_motion.refusal(); !refusal.isEmpty())
        return fail(client, -221, refusal);
    m_link.SendCommand(
        query, client,
        [this, client, answer = std::move(answer)](const IndexerLink::Reply &reply) {
            if (!reply.timedOut)
                return answer(reply.text);
            fail(client, -240, QStringLiteral("indexer did not answer"));
        },
        kLane);
}

void InstrumentPort::change(Client *client, const QString &command)
{
    ask(client, command, [this, client](const QString &) { done(client); });
}

void InstrumentPort::done(Client *client, const QString &reply)
{
    client->busy = false;
    QTcpSocket *socket = client->socket;
    if (!reply.isNull() && socket->state() == QAbstractSocket::ConnectedState) {
        // A client that does not read is closed before its replies fill the memory.
        if (socket->bytesToWrite() > kMaxUnread)
            return close(client, QStringLiteral("over 1 MiB of replies unread"));
        socket->write(reply.toLatin1() + '\n');
    }
    serveNext(client); // does nothing when called from its own loop
}

void InstrumentPort::pushError(Client *client, int code, const QString &detail)
{
    QString text = QString::fromLatin1(errorText(code));
    if (!detail.isEmpty())
        text += u';' + detail;
    const QString entry = QString::number(code) + u',' + quoted(text);
    // A full queue keeps its oldest errors; its last place says that some were lost.
    if (client->errors.size() < kMaxErrors)
        client->errors.append(entry);
    else
        client->errors.last() = QStringLiteral("-350,\"Queue overflow\"");
}

void InstrumentPort::fail(Client *client, int code, const QString &detail)
{
    pushError(client, code, detail);
    done(client);
}

void InstrumentPort::close(Client *client, const QString &why)
{
    Q_EMIT notice(QStringLiteral("%1 closed: %2").arg(client->who, why));
    client->lines.clear();
    client->buffer.clear();
    client->busy = true; // nothing more is served
    client->socket->abort();
}

void InstrumentPort::drop(Client *client)
{
    // Control goes back with the client; a move it asked for goes on, and nothing is sent again.
    m_motion.releaseRemote(client);
    m_clients.removeOne(client);
    client->deleteLater();
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
    const auto owner = std::find(m_clients.cbegin(), m_clients.cend(), event.owner);
    const bool told = state == QLatin1String("failed") || state == QLatin1String("replaced");
    if (owner != m_clients.cend() && told)
        pushError(*owner, -200, event.message);
    if (state == QLatin1String("replaced"))
        return;
    const QList<Client *> clients = m_clients;
    for (Client *client : clients) {
        if (!client->waitingForMove)
            continue;
        if (state != QLatin1String("arrived") && client != event.owner)
            pushError(client, -200, event.message);
        client->waitingForMove = false;
        done(client, QStringLiteral("1"));
    }
}
