#include "indexercommands.h"

#include "commandset.h"
#include "configfile.h"
#include "configtransfer.h"
#include "indexerlink.h"
#include "motionsupervisor.h"
#include "pocketlayout.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>

namespace IndexerCommands
{

namespace
{

using Reply = IndexerLink::Reply;
constexpr auto kScript = IndexerLink::Lane::Script;

QJsonObject ok(QJsonObject fields = {})
{
    fields.insert(QStringLiteral("ok"), true);
    return fields;
}

QJsonObject timeout(const QString &command)
{
    return Error(QStringLiteral("timeout"),
                 QStringLiteral("the indexer did not answer \"%1\"").arg(command));
}

// A request not answered: never written (its own words, and "busy" for a full lane, the script's
// own doing) or timed out.
QJsonObject notAnswered(const Reply &reply, const QString &command)
{
    switch (reply.unsent) {
    case IndexerLink::Unsent::QueueFull:
        return Error(QStringLiteral("busy"),
                     QStringLiteral("\"%1\" not sent: too many commands wait").arg(command));
    case IndexerLink::Unsent::Refused: // control characters written out, as in a reply
        return Error(
            QStringLiteral("refused"),
            QStringLiteral("\"%1\" not sent: %2").arg(VisibleControls(command), reply.refusal));
    default:
        return timeout(command);
    }
}

// An answer the command set does not accept: a wrong device, not a silent one.
QJsonObject badReply(const QString &text)
{
    return Error(QStringLiteral("bad_reply"),
                 QStringLiteral("unexpected reply \"%1\"").arg(VisibleControls(text)));
}

QJsonObject unanswered(int count)
{
    return Error(
        QStringLiteral("timeout"),
        QStringLiteral("the indexer did not answer %1 of the layout's commands").arg(count));
}

QJsonObject portChanged()
{
    return Error(QStringLiteral("refused"),
                 QStringLiteral("the port was changed during the transfer: ended, the rest not "
                                "sent to the new port"));
}

// A whole number from 1 to 8 in the request's field, or none.
std::optional<int> oneToEight(const QJsonObject &request, const QString &field)
{
    const QJsonValue value = request.value(field);
    const double n = value.toDouble();
    if (!value.isDouble() || n < 1 || n > 8 || n != int(n))
        return std::nullopt;
    return int(n);
}

// One request being run: what each command's function takes.
struct Call {
    MotionSupervisor &motion;
    QString source;
    const QObject *context;
    QJsonObject request;
    Done done;

    IndexerLink &link() const { return motion.link(); }
    void bad(const QString &text) const { done(Error(QStringLiteral("bad_request"), text)); }
    // A query or a command whose reply comes to reply, on the scripts' lane.
    void ask(const QString &text, std::function<void(const Reply &)> reply) const
    {
        link().SendCommand(text, context, std::move(reply), kScript);
    }
};

void status(const Call &call)
{
    // The supervisor's view: nothing asked of the line.
    call.done(ok(call.motion.view().toJson()));
}

// A move (to a pocket by number or name, letter case ignored) or a speed change.
void supervised(const Call &call, bool move)
{
    const QString cmd = move ? QStringLiteral("move") : QStringLiteral("speed");
    const QString field = move ? QStringLiteral("pocket") : QStringLiteral("speed");
    const QJsonValue named = call.request.value(field);
    const bool byName = move && named.isString();
    const auto n =
        byName ? call.motion.pocketNamed(named.toString()) : oneToEight(call.request, field);
    if (byName && !n)
        return call.bad(QStringLiteral("no pocket named %1").arg(named.toString()));
    if (!n)
        return call.bad(
            QStringLiteral("%1 takes \"%2\": a whole number from 1 to 8%3")
                .arg(cmd, field, move ? QStringLiteral(" or a pocket's name") : QString()));
    auto told = [done = call.done](const MotionSupervisor::Outcome &outcome) {
        if (!outcome.code.isEmpty())
            return done(Error(outcome.code, outcome.error));
        const IndexerLink::Reply &reply = outcome.reply;
        done(reply.timedOut ? timeout(outcome.command)
                            : ok({{QStringLiteral("reply"), reply.text}}));
    };
    move ? call.motion.move(*n, call.source, call.context, told)
         : call.motion.speed(*n, call.source, call.context, told);
}

void move(const Call &call)
{
    supervised(call, true);
}

void speed(const Call &call)
{
    supervised(call, false);
}

void inhibit(const Call &call)
{
    const QJsonValue on = call.request.value(QStringLiteral("on"));
    const QJsonValue reason = call.request.value(QStringLiteral("reason"));
    const std::optional<QString> text = MotionSupervisor::InhibitReason(reason.toString());
    if (!on.isBool() || (on.toBool() && (!reason.isString() || !text)))
        return call.bad(QStringLiteral("inhibit takes \"on\": true with a \"reason\" (1 to 200 "
                                       "characters, no control characters), or \"on\": false"));
    call.motion.setInhibit(on.toBool(), text.value_or(QString()), call.source);
    call.done(ok());
}

void names(const Call &call)
{
    QJsonArray names;
    for (int pocket = 1; pocket <= 8; ++pocket) {
        const QString name = call.motion.nameOf(pocket);
        names.append(name.isEmpty() ? QJsonValue() : QJsonValue(name));
    }
    call.done(ok({{QStringLiteral("names"), names}}));
}

void history(const Call &call)
{
    const QJsonValue count = call.request.value(QStringLiteral("count"));
    const double n = count.isUndefined() ? 20 : count.toDouble();
    if ((!count.isUndefined() && !count.isDouble()) || n < 1 || n > kMaxHistory || n != int(n))
        return call.bad(QStringLiteral("history takes \"count\": a whole number from 1 to 100000"));
    call.done(
        ok({{QStringLiteral("lines"), QJsonArray::fromStringList(call.motion.history(int(n)))}}));
}

void control(const Call &call)
{
    const QJsonValue source = call.request.value(QStringLiteral("source"));
    const Done &done = call.done;
    if (source.isUndefined() || source.isNull()) {
        return call.ask(Indexer::kQueryControl, [done](const Reply &reply) {
            if (reply.timedOut)
                return done(notAnswered(reply, Indexer::kQueryControl));
            const std::optional<int> n = Indexer::controlSource(reply.text);
            done(n ? ok({{QStringLiteral("source"), Indexer::controlSourceName(*n)}})
                   : badReply(reply.text));
        });
    }
    const std::optional<int> n = Indexer::controlSourceNamed(source.toString());
    if (!n || source.toString() != source.toString().toLower())
        return call.bad(QStringLiteral("control takes \"source\": \"io\" or \"comm\""));
    // A command whose reply only says that it was taken.
    const QString text = Indexer::controlCommand(*n);
    call.ask(text, [text, done](const Reply &reply) {
        done(reply.timedOut ? notAnswered(reply, text)
                            : ok({{QStringLiteral("reply"), reply.text}}));
    });
}

void switches(const Call &call)
{
    const QString panel = call.request.value(QStringLiteral("panel")).toString();
    if (panel != QLatin1String("front") && panel != QLatin1String("rear"))
        return call.bad(QStringLiteral("switches takes \"panel\": \"front\" or \"rear\""));
    call.ask(Indexer::kQuerySwitches,
             [rear = panel == QLatin1String("rear"), done = call.done](const Reply &reply) {
                 const std::optional<int> byte =
                     reply.timedOut ? std::nullopt : Indexer::switchByte(reply.text, rear);
                 if (!byte)
                     return done(reply.timedOut ? notAnswered(reply, Indexer::kQuerySwitches)
                                                : badReply(reply.text));
                 done(ok({{QStringLiteral("byte"), Indexer::switchByteText(*byte, 2)}}));
             });
}

void layoutRead(const Call &call)
{
    ReadConfiguration(
        call.link(), call.context, PocketLayout(),
        [done = call.done](std::optional<PocketLayout> layout, const TransferOutcome &outcome) {
            if (outcome.portChanged)
                return done(portChanged());
            if (!outcome.badReply.isEmpty())
                return done(Error(QStringLiteral("bad_reply"), ReadRefusal(outcome)));
            if (!layout)
                return done(timeout(Indexer::kQueryCount));
            if (outcome.unanswered > 0)
                return done(unanswered(outcome.unanswered));
            done(
                ok({{QStringLiteral("layout"), QString::fromLatin1(ConfigFileContents(*layout))}}));
        },
        kScript);
}

void layoutSend(const Call &call)
{
    PocketLayout layout;
    QString why;
    if (!ParseLayoutText(call.request.value(QStringLiteral("layout")).toString().toLatin1(), layout,
                         &why))
        return call.bad(QStringLiteral("layout_send: ") + why);
    SendConfiguration(
        call.link(), call.context, layout,
        [done = call.done](const TransferOutcome &outcome) {
            if (outcome.portChanged)
                return done(portChanged());
            done(outcome.unanswered > 0 ? unanswered(outcome.unanswered) : ok());
        },
        kScript);
}

void send(const Call &call)
{
    const QJsonValue value = call.request.value(QStringLiteral("text"));
    const QString text = value.toString();
    if (!value.isString() || text.contains(u'\r') || text.contains(u'\n'))
        return call.bad(QStringLiteral("send takes \"text\": one command without CR or LF"));
    // Text that could command motion is refused by the link: moves go by "move" and "speed".
    call.ask(text, [done = call.done, text](const Reply &reply) {
        if (reply.unsent != IndexerLink::Unsent::No)
            return done(notAnswered(reply, text));
        done(ok({{QStringLiteral("reply"), reply.text},
                 {QStringLiteral("timed_out"), reply.timedOut}}));
    });
}

// Each command: its name, whether it talks to the indexer (refused while the supervisor refuses
// scripts the line; moves and speed changes are refused, and recorded, by the supervisor), and
// its function.
struct Command {
    const char *name;
    bool line;
    void (*run)(const Call &call);
};
constexpr Command kCommands[] = {
    {"status", false, status},
    {"move", false, move},
    {"speed", false, speed},
    {"inhibit", false, inhibit},
    {"names", false, names},
    {"history", false, history},
    {"control", true, control},
    {"switches", true, switches},
    {"layout_read", true, layoutRead},
    {"layout_send", true, layoutSend},
    {"send", true, send},
};

} // namespace

QJsonObject Error(const QString &code, const QString &text)
{
    return {{QStringLiteral("ok"), false},
            {QStringLiteral("code"), code},
            {QStringLiteral("error"), text}};
}

bool ParseLayoutText(const QByteArray &text, PocketLayout &layout, QString *why)
{
    return ParseConfigText(text, layout, ConfigText::Strict, why);
}

void Run(MotionSupervisor &motion, const QString &source, const QObject *context,
         const QJsonObject &request, Done done)
{
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    const Call call{motion, source, context, request, std::move(done)};
    const auto *command =
        std::find_if(std::begin(kCommands), std::end(kCommands),
                     [&cmd](const Command &c) { return cmd == QLatin1String(c.name); });
    if (command == std::end(kCommands))
        return call.bad(QStringLiteral("unknown command \"%1\"").arg(cmd));
    if (const QString why = command->line ? motion.refusal(source) : QString(); !why.isEmpty())
        return call.done(Error(QStringLiteral("refused"), why));
    command->run(call);
}

} // namespace IndexerCommands
