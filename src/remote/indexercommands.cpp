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
#include <memory>

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

void status(MotionSupervisor &supervisor, const QObject *context, const Done &done)
{
    IndexerLink &link = supervisor.link();
    // Both queued at once, so that nothing comes between them.
    auto pocket = std::make_shared<Reply>();
    link.SendCommand(
        Indexer::kQueryPocket, context, [pocket](const Reply &reply) { *pocket = reply; }, kScript);
    link.SendCommand(
        Indexer::kQueryMotion, context,
        [pocket, done, &supervisor](const Reply &motion) {
            if (pocket->timedOut && motion.timedOut) {
                done(notAnswered(*pocket, Indexer::kQueryPocket));
                return;
            }
            const auto n = Indexer::pocketOrSpeed(pocket->text);
            const auto s = motion.timedOut ? std::nullopt : Indexer::motionState(motion.text);
            const QJsonValue state = s ? QJsonValue(*s) : QJsonValue();
            const auto &inhibit = supervisor.inhibit();
            const QString name = n ? supervisor.nameOf(*n) : QString();
            done(ok({{QStringLiteral("pocket"), n ? QJsonValue(*n) : QJsonValue()},
                     {QStringLiteral("name"), name.isEmpty() ? QJsonValue() : QJsonValue(name)},
                     {QStringLiteral("state"), state},
                     {QStringLiteral("move"), supervisor.moveInProgress()},
                     {QStringLiteral("inhibit"),
                      inhibit ? QJsonObject{{QStringLiteral("reason"), inhibit->reason},
                                            {QStringLiteral("source"), inhibit->source}}
                              : QJsonValue()}}));
        },
        kScript);
}

// A command whose reply only says that it was taken.
void command(IndexerLink &link, const QObject *context, const QString &text, const Done &done)
{
    link.SendCommand(
        text, context,
        [text, done](const Reply &reply) {
            done(reply.timedOut ? notAnswered(reply, text)
                                : ok({{QStringLiteral("reply"), reply.text}}));
        },
        kScript);
}

} // namespace

QJsonObject Error(const QString &code, const QString &text)
{
    return {{QStringLiteral("ok"), false},
            {QStringLiteral("code"), code},
            {QStringLiteral("error"), text}};
}

std::optional<QString> InhibitReason(const QString &text)
{
    const QString reason = text.trimmed();
    const bool plain = std::none_of(reason.cbegin(), reason.cend(),
                                    [](QChar c) { return c.category() == QChar::Other_Control; });
    if (reason.isEmpty() || reason.size() > kMaxReason || !plain)
        return std::nullopt;
    return reason;
}

bool ParseLayoutText(const QByteArray &text, PocketLayout &layout, QString *why)
{
    return ParseConfigText(text, layout, ConfigText::Strict, why);
}

void Run(MotionSupervisor &motion, const QString &source, const QObject *context,
         const QJsonObject &request, Done done)
{
    IndexerLink &link = motion.link();
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    const auto bad = [&done](const QString &text) {
        done(Error(QStringLiteral("bad_request"), text));
    };
    if (cmd == QLatin1String("status")) {
        status(motion, context, done);
    } else if (cmd == QLatin1String("move") || cmd == QLatin1String("speed")) {
        const bool move = cmd == QLatin1String("move");
        const QString field = move ? QStringLiteral("pocket") : QStringLiteral("speed");
        // A pocket by its name, letter case ignored.
        const QJsonValue named = request.value(field);
        const bool byName = move && named.isString();
        const auto n = byName ? motion.pocketNamed(named.toString()) : oneToEight(request, field);
        if (byName && !n)
            return bad(QStringLiteral("no pocket named %1").arg(named.toString()));
        if (!n)
            return bad(
                QStringLiteral("%1 takes \"%2\": a whole number from 1 to 8%3")
                    .arg(cmd, field, move ? QStringLiteral(" or a pocket's name") : QString()));
        auto told = [done](const MotionSupervisor::Outcome &outcome) {
            if (!outcome.code.isEmpty())
                return done(Error(outcome.code, outcome.error));
            const IndexerLink::Reply &reply = outcome.reply;
            done(reply.timedOut ? timeout(outcome.command)
                                : ok({{QStringLiteral("reply"), reply.text}}));
        };
        move ? motion.move(*n, source, context, told) : motion.speed(*n, source, context, told);
    } else if (cmd == QLatin1String("inhibit")) {
        const QJsonValue on = request.value(QStringLiteral("on"));
        const QJsonValue reason = request.value(QStringLiteral("reason"));
        const std::optional<QString> text = InhibitReason(reason.toString());
        if (!on.isBool() || (on.toBool() && (!reason.isString() || !text)))
            return bad(QStringLiteral("inhibit takes \"on\": true with a \"reason\" (1 to 200 "
                                      "characters, no control characters), or \"on\": false"));
        motion.setInhibit(on.toBool(), text.value_or(QString()), source);
        done(ok());
    } else if (cmd == QLatin1String("names")) {
        QJsonArray names;
        for (int pocket = 1; pocket <= 8; ++pocket) {
            const QString name = motion.nameOf(pocket);
            names.append(name.isEmpty() ? QJsonValue() : QJsonValue(name));
        }
        done(ok({{QStringLiteral("names"), names}}));
    } else if (cmd == QLatin1String("history")) {
        const QJsonValue count = request.value(QStringLiteral("count"));
        const double n = count.isUndefined() ? 20 : count.toDouble();
        if ((!count.isUndefined() && !count.isDouble()) || n < 1 || n > kMaxHistory || n != int(n))
            return bad(QStringLiteral("history takes \"count\": a whole number from 1 to 100000"));
        done(ok({{QStringLiteral("lines"), QJsonArray::fromStringList(motion.history(int(n)))}}));
    } else if (cmd == QLatin1String("control")) {
        const QJsonValue source = request.value(QStringLiteral("source"));
        if (source.isUndefined() || source.isNull()) {
            link.SendCommand(
                Indexer::kQueryControl, context,
                [done](const Reply &reply) {
                    if (reply.timedOut)
                        return done(notAnswered(reply, Indexer::kQueryControl));
                    const auto c = Indexer::thirdChar(reply.text);
                    if (c != QLatin1Char('0') && c != QLatin1Char('1'))
                        return done(badReply(reply.text));
                    done(ok(
                        {{QStringLiteral("source"),
                          c == QLatin1Char('0') ? QStringLiteral("io") : QStringLiteral("comm")}}));
                },
                kScript);
        } else if (source == QLatin1String("io") || source == QLatin1String("comm")) {
            command(link, context, Indexer::controlCommand(source == QLatin1String("io") ? 0 : 1),
                    done);
        } else {
            bad(QStringLiteral("control takes \"source\": \"io\" or \"comm\""));
        }
    } else if (cmd == QLatin1String("switches")) {
        const QString panel = request.value(QStringLiteral("panel")).toString();
        if (panel != QLatin1String("front") && panel != QLatin1String("rear"))
            return bad(QStringLiteral("switches takes \"panel\": \"front\" or \"rear\""));
        link.SendCommand(
            Indexer::kQuerySwitches, context,
            [panel, done](const Reply &reply) {
                const auto c = reply.timedOut                    ? std::nullopt
                               : panel == QLatin1String("front") ? Indexer::thirdChar(reply.text)
                                                                 : Indexer::fourthChar(reply.text);
                if (!c)
                    return done(reply.timedOut ? notAnswered(reply, Indexer::kQuerySwitches)
                                               : badReply(reply.text));
                done(ok({{QStringLiteral("byte"), QString::number(c->unicode(), 16).toUpper()}}));
            },
            kScript);
    } else if (cmd == QLatin1String("layout_read")) {
        ReadConfiguration(
            link, context, PocketLayout(),
            [done](std::optional<PocketLayout> layout, const TransferOutcome &outcome) {
                if (outcome.portChanged)
                    return done(portChanged());
                if (!layout)
                    return done(timeout(Indexer::kQueryCount));
                if (outcome.unanswered > 0)
                    return done(unanswered(outcome.unanswered));
                done(ok({{QStringLiteral("layout"),
                          QString::fromLatin1(ConfigFileContents(*layout))}}));
            },
            kScript);
    } else if (cmd == QLatin1String("layout_send")) {
        PocketLayout layout;
        QString why;
        if (!ParseLayoutText(request.value(QStringLiteral("layout")).toString().toLatin1(), layout,
                             &why))
            return bad(QStringLiteral("layout_send: ") + why);
        SendConfiguration(
            link, context, layout,
            [done](const TransferOutcome &outcome) {
                if (outcome.portChanged)
                    return done(portChanged());
                done(outcome.unanswered > 0 ? unanswered(outcome.unanswered) : ok());
            },
            kScript);
    } else if (cmd == QLatin1String("send")) {
        const QJsonValue text = request.value(QStringLiteral("text"));
        if (!text.isString() || text.toString().contains(u'\r') || text.toString().contains(u'\n'))
            return bad(QStringLiteral("send takes \"text\": one command without CR or LF"));
        // Text that could command motion is refused by the link: moves go by "move" and "speed".
        link.SendCommand(
            text.toString(), context,
            [done, text = text.toString()](const Reply &reply) {
                if (reply.unsent != IndexerLink::Unsent::No)
                    return done(notAnswered(reply, text));
                done(ok({{QStringLiteral("reply"), reply.text},
                         {QStringLiteral("timed_out"), reply.timedOut}}));
            },
            kScript);
    } else {
        bad(QStringLiteral("unknown command \"%1\"").arg(cmd));
    }
}

} // namespace IndexerCommands
