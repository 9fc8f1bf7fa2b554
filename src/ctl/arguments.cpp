#include "arguments.h"

#include "indexercommands.h"
#include "output.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace Ctl
{

namespace
{

const char *const kUsageText =
    "usage: rv360ctl [--socket PATH | --device PATH] [--json] [--timeout S] COMMAND [ARGS]\n"
    "  status                          one line: pocket=<1-8|?> [name=NAME] "
    "state=<ready|moving|?>;\n"
    "                                  status 1 when the indexer did not answer the last query\n"
    "  move N|NAME [--wait]            move to pocket N (1-8) or the pocket of that name; with\n"
    "                                  --wait, return when the indexer reports ready there\n"
    "  names                           the eight pockets' names, a line each\n"
    "  inhibit on REASON | inhibit off refuse every move and speed change, or allow them again\n"
    "  history [N]                     the last N moves of the move record (20)\n"
    "  speed N                         set the sweep speed (1-8)\n"
    "  control [io|comm]               set the control source; without one, print it\n"
    "  switches front|rear             print the switch byte in hexadecimal\n"
    "  layout read [FILE]              the indexer's layout as a configuration file\n"
    "  layout send FILE                send a configuration file's layout to the indexer\n"
    "  send TEXT                       one raw command; print the reply\n"
    "  watch [--traffic] [--link]      print a line per change until interrupted; --link adds\n"
    "                                  the link's status when it changes (Ready, Timeout, lost)\n"
    "Every command but watch ends after --timeout S seconds (10, or 60 with --wait).\n"
    "Exit status: 0 done, 1 no answer, not arrived or output closed, 2 bad usage, 3 nothing\n"
    "to talk to (or lost it, or it is another user's).\n";

// A bad command line: one line that says what is wrong, and where the usage is.
int usage(const QString &why)
{
    err(why + QStringLiteral("; see rv360ctl --help"));
    return kUsage;
}

// What is wrong with a command line that makes no request.
QString wrongLine(const Options &o)
{
    static const QStringList commands = {
        QStringLiteral("status"),  QStringLiteral("move"),     QStringLiteral("names"),
        QStringLiteral("inhibit"), QStringLiteral("history"),  QStringLiteral("speed"),
        QStringLiteral("control"), QStringLiteral("switches"), QStringLiteral("layout"),
        QStringLiteral("send"),    QStringLiteral("watch")};
    if (o.command.isEmpty())
        return QStringLiteral("no command");
    if (!commands.contains(o.command))
        return QStringLiteral("\"%1\" is not a command").arg(o.command);
    if (o.wait && o.command != QLatin1String("move"))
        return QStringLiteral("--wait goes with move only");
    if (o.traffic && o.command != QLatin1String("watch"))
        return QStringLiteral("--traffic goes with watch only");
    if (o.link && o.command != QLatin1String("watch"))
        return QStringLiteral("--link goes with watch only");
    return QStringLiteral("%1: wrong arguments").arg(o.command);
}

} // namespace

std::optional<QJsonObject> requestFor(const Options &o, QString *why)
{
    const auto number = [&](const QString &text) -> std::optional<int> {
        bool ok = false;
        const int n = text.toInt(&ok);
        return ok && n >= 1 && n <= 8 ? std::optional<int>(n) : std::nullopt;
    };
    const QStringList &a = o.args;
    if (o.command == QLatin1String("status") && a.isEmpty())
        return QJsonObject{{"cmd", "status"}};
    if ((o.command == QLatin1String("move") || o.command == QLatin1String("speed")) &&
        a.size() == 1) {
        if (const auto n = number(a[0]))
            return QJsonObject{{"cmd", o.command},
                               {o.command == QLatin1String("move") ? "pocket" : "speed", *n}};
        // Not a number: a pocket's name, which the program knows.
        bool numeric = false;
        a[0].toDouble(&numeric);
        if (o.command == QLatin1String("move") && !numeric)
            return QJsonObject{{"cmd", "move"}, {"pocket", a[0]}};
        *why =
            QStringLiteral("%1 takes a whole number from 1 to 8, not \"%2\"").arg(o.command, a[0]);
        return std::nullopt;
    }
    if (o.command == QLatin1String("control") && a.size() <= 1) {
        if (a.isEmpty())
            return QJsonObject{{"cmd", "control"}};
        if (a[0] == QLatin1String("io") || a[0] == QLatin1String("comm"))
            return QJsonObject{{"cmd", "control"}, {"source", a[0]}};
    }
    if (o.command == QLatin1String("switches") && a.size() == 1 &&
        (a[0] == QLatin1String("front") || a[0] == QLatin1String("rear")))
        return QJsonObject{{"cmd", "switches"}, {"panel", a[0]}};
    if (o.command == QLatin1String("layout") && !a.isEmpty()) {
        if (a[0] == QLatin1String("read") && a.size() <= 2)
            return QJsonObject{{"cmd", "layout_read"}};
        if (a[0] == QLatin1String("send") && a.size() == 2) {
            QFile file(a[1]);
            PocketLayout layout;
            QString problem;
            if (!QFileInfo(a[1]).isFile() || !file.open(QIODevice::ReadOnly)) {
                *why = a[1] + QStringLiteral(": cannot be read");
                return std::nullopt;
            }
            const QByteArray text = file.read(1 << 20);
            if (!IndexerCommands::ParseLayoutText(text, layout, &problem)) {
                *why = a[1] + QStringLiteral(": ") + problem;
                return std::nullopt;
            }
            return QJsonObject{{"cmd", "layout_send"}, {"layout", QString::fromLatin1(text)}};
        }
    }
    if (o.command == QLatin1String("inhibit") && !a.isEmpty()) {
        if (a[0] == QLatin1String("off") && a.size() == 1)
            return QJsonObject{{"cmd", "inhibit"}, {"on", false}};
        if (a[0] == QLatin1String("on") && a.size() >= 2)
            return QJsonObject{{"cmd", "inhibit"}, {"on", true}, {"reason", a.mid(1).join(u' ')}};
    }
    if (o.command == QLatin1String("history") && a.size() <= 1) {
        bool ok = a.isEmpty();
        const int n = ok ? 20 : a[0].toInt(&ok);
        if (ok && n >= 1 && n <= IndexerCommands::kMaxHistory)
            return QJsonObject{{"cmd", "history"}, {"count", n}};
        *why = QStringLiteral("history takes a whole number from 1 to 100000");
        return std::nullopt;
    }
    if (o.command == QLatin1String("names") && a.isEmpty())
        return QJsonObject{{"cmd", "names"}};
    if (o.command == QLatin1String("send") && a.size() == 1)
        return QJsonObject{{"cmd", "send"}, {"text", a[0]}};
    if (o.command == QLatin1String("watch") && a.isEmpty())
        return QJsonObject{{"cmd", "watch"}, {"traffic", o.traffic}, {"link", o.link}};
    *why = QStringLiteral("bad command line");
    return std::nullopt;
}

std::optional<int> readCommandLine(const QStringList &arguments, Options &o, QJsonObject &request)
{
    // Options may stand anywhere, after the command's words too ("move 5 --wait"). parse(), not
    // process(): a bad command line ends with status 2 and this program's usage, not Qt's.
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption socket(QStringLiteral("socket"), {}, QStringLiteral("path"));
    const QCommandLineOption device(QStringLiteral("device"), {}, QStringLiteral("path"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption wait(QStringLiteral("wait"));
    const QCommandLineOption traffic(QStringLiteral("traffic"));
    const QCommandLineOption link(QStringLiteral("link"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("s"));
    parser.addOptions({help, socket, device, json, wait, traffic, link, timeout});
    if (!parser.parse(arguments)) // Qt's text ends with a full stop
        return usage(parser.errorText().chopped(parser.errorText().endsWith(u'.') ? 1 : 0));
    if (parser.isSet(help)) {
        std::printf("%s", kUsageText);
        return kDone;
    }
    o.socket = parser.value(socket);
    o.device = parser.value(device);
    o.json = parser.isSet(json);
    o.wait = parser.isSet(wait);
    o.traffic = parser.isSet(traffic);
    o.link = parser.isSet(link);
    if (parser.isSet(timeout)) {
        bool ok = false;
        o.timeoutS = parser.value(timeout).toInt(&ok);
        // Beyond that the deadline's milliseconds do not fit a timer, and it would never come.
        if (!ok || o.timeoutS < 1 || o.timeoutS > kMaxTimeoutS)
            return usage(QStringLiteral("--timeout takes a whole number of seconds from 1 to %1")
                             .arg(kMaxTimeoutS));
    }
    o.args = parser.positionalArguments();
    if (!o.args.isEmpty())
        o.command = o.args.takeFirst();
    if (!o.socket.isEmpty() && !o.device.isEmpty())
        return usage(QStringLiteral("give --socket or --device, not both"));
    QString why;
    const std::optional<QJsonObject> made = requestFor(o, &why);
    if (!made || (o.wait && o.command != QLatin1String("move")) ||
        ((o.traffic || o.link) && o.command != QLatin1String("watch"))) {
        const bool told = !why.isEmpty() && why != QLatin1String("bad command line");
        return usage(told ? why : wrongLine(o));
    }
    request = *made;
    return std::nullopt;
}

} // namespace Ctl
