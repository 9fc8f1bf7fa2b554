#include "controlserver.h"
#include "errormessage.h"
#include "frmComm.h"
#include "frmMain.h"
#include "instrumentport.h"
#include "instrumentsettings.h"
#include "limitedlog.h"
#include "modFileUtil.h"
#include "motionsettings.h"
#include "motionstrip.h"
#include "motionsupervisor.h"
#include "pockettable.h"
#include "quitsignals.h"
#include "remotesettings.h"
#include "trafficlog.h"
#include "webserver.h"
#include "websettings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace
{

const char *const kVersion = QT_STRINGIFY(RV360_VERSION_MAJOR) "." QT_STRINGIFY(
    RV360_VERSION_MINOR) "." QT_STRINGIFY(RV360_VERSION_PATCH);

// Messages while the application starts, held back: the platform plugin ends the process with
// qFatal (after several lines) when it cannot reach a display, and one line is what a user
// should read then, with exit status 1 instead of an abort.
QStringList &heldMessages()
{
    static QStringList messages;
    return messages;
}

void startupMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtFatalMsg) {
        heldMessages() << message;
        return;
    }
    std::fprintf(stderr, "rv360: cannot open the display: set DISPLAY or WAYLAND_DISPLAY, or "
                         "QT_QPA_PLATFORM=offscreen\n");
    std::_Exit(1);
}

QIcon programIcon()
{
    QSvgRenderer svg(QStringLiteral(":/rv360.svg"));
    QIcon icon;
    // The sizes a title bar and a task list draw; the launcher takes the installed SVG itself.
    // Larger ones cost most of the drawing before the window shows.
    for (const int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        svg.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// The arguments without Qt's own options and their values, which QApplication takes: read as
// the program's, "-stylesheet" would be the compacted "-s -t ... -h" and ask for the help.
QStringList programArguments(int argc, char *argv[])
{
    static const QStringList withValue = {"style",         "stylesheet",         "platform",
                                          "platformtheme", "platformpluginpath", "plugin",
                                          "geometry",      "qwindowgeometry",    "display",
                                          "session",       "qwindowicon",        "qwindowtitle",
                                          "title"};
    static const QStringList alone = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        // Qt takes "-name", "--name" and "-name=value" alike.
        const QString name =
            argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1).section(u'=', 0, 0);
        if (i == 0 || !argument.startsWith(u'-'))
            arguments << argument;
        else if (withValue.contains(name) && !argument.contains(u'='))
            ++i; // its value too
        else if (!withValue.contains(name) && !alone.contains(name))
            arguments << argument;
    }
    return arguments;
}

// --help and --version, which work without a display: the exit status when one was asked.
std::optional<int> answeredWithoutDisplay(int argc, char *argv[])
{
    const QStringList arguments = programArguments(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Operator program of the RV-360 crucible indexer: shows the pocket at the "
                       "working position, moves the turntable, edits and transfers the "
                       "eight-pocket layout."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(help);
    parser.addOption(version);
    parser.parse(arguments);
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                               QStringLiteral("rv360"))));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("rv360 %s\n", kVersion);
        return 0;
    }
    return std::nullopt;
}

// The supervisor's time limit and record, and its refusal while the setup dialog is open.
void superviseMoves(MotionSupervisor &motion)
{
    const MotionSettings settings = MotionSettings::Read();
    motion.setTimeLimit(settings.moveTimeoutS);
    if (settings.recordMoves)
        motion.setRecordFile(ProgramDirectory() + QStringLiteral("moves.csv"));
    motion.setRefusal(
        [] { return frmComm::instance() ? QStringLiteral("setup dialog open") : QString(); });
}

// A record that cannot be written says so once, in the strip and on standard error; the program
// goes on without it.
void reportRecordFailures(frmMain &window, TrafficLog &traffic)
{
    const auto say = [](const QString &record, const QString &file, const QString &why) {
        const QString prefix = QStringLiteral("rv360: %1 ").arg(record);
        LogLimited(record, prefix, prefix + file + QStringLiteral(" not written: ") + why);
    };
    QObject::connect(&window.motion(), &MotionSupervisor::recordFailed, [say](const QString &why) {
        say(QStringLiteral("move record"), ProgramDirectory() + QStringLiteral("moves.csv"), why);
    });
    QObject::connect(&traffic, &TrafficLog::recordFailed, &window,
                     [&window, say](const QString &why) {
                         window.strip().showNotice(QStringLiteral("Traffic record: ") + why);
                         say(QStringLiteral("traffic record"),
                             ProgramDirectory() + QStringLiteral("traffic.log"), why);
                     });
}

void openControlSocket(ControlServer &control, const RemoteSettings &settings)
{
    if (!settings.enabled)
        return;
    QString why;
    if (!settings.error.isEmpty())
        std::fprintf(stderr, "rv360: scripts cannot reach this window: %s\n",
                     qPrintable(settings.error));
    else if (!control.listen(ControlServer::SocketPathFor(settings.socket), &why))
        std::fprintf(stderr,
                     "rv360: scripts cannot reach this window: %s (set [Remote] Socket= in "
                     "RV360.INI for a second program)\n",
                     qPrintable(why));
}

// A listening surface as its section sets it: empty when it listens or the section names no
// address, else why it stays off (said on standard error too).
template <class Server>
QString listenAsSet(Server &server, const ListenSettings &settings, const char *what,
                    const char *section)
{
    if (settings.listen.isEmpty() && settings.error.isEmpty())
        return {};
    QHostAddress address;
    quint16 port = 0;
    QString why = settings.error;
    if (why.isEmpty() && ParseListen(settings.listen, &address, &port, &why) &&
        server.setAllowed(settings.allow, &why) && server.listen(address, port, &why))
        return {};
    const QString where = settings.error.isEmpty()
                              ? QStringLiteral(" (%1 in RV360.INI)").arg(QLatin1String(section))
                              : QString();
    std::fprintf(stderr, "rv360: %s off: %s%s\n", what, qPrintable(why), qPrintable(where));
    return why;
}

// The instrument port, off unless the settings name where it listens.
void openInstrumentPort(InstrumentPort &instrument, MotionSupervisor &motion)
{
    QObject::connect(&instrument, &InstrumentPort::notice,
                     [](const QString &line, const QString &kind) {
                         const QString prefix = QStringLiteral("rv360: instrument port: ");
                         LogLimited(kind, prefix, prefix + line);
                     });
    const QString why =
        listenAsSet(instrument, InstrumentSettings::Read(), "instrument port", "[Instrument]");
    if (!why.isEmpty())
        motion.setRemotePort({}, why);
}

// The web page, off unless the settings name where it listens; the strip says where it is.
void openWebPage(WebServer &web, frmMain &window)
{
    web.setLayout([&window] {
        const PocketLayout layout = window.layout();
        QList<WebServer::Pocket> pockets;
        for (int row = 0; row < PocketLayout::kRows; ++row)
            pockets.append({pocketTypeTexts().at(size_t(layout.type(row))), layout.position(row),
                            layout.name(row)});
        return pockets;
    });
    const QString why = listenAsSet(web, WebSettings::Read(), "web page", "[Web]");
    if (!why.isEmpty())
        return window.strip().showWebPage({}, why);
    if (!web.url().isEmpty())
        window.strip().showWebPage(web.url(), {});
}

} // namespace

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal();
    if (const std::optional<int> status = answeredWithoutDisplay(argc, argv))
        return *status;

    qInstallMessageHandler(startupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    for (const QString &message : std::as_const(heldMessages()))
        std::fprintf(stderr, "%s\n", qPrintable(message));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    // The launcher's entry, for docks that match windows by it (Wayland's app id; X11 takes the
    // class "rv360", the desktop entry's StartupWMClass).
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.rv360.rv360"));
    QApplication::setWindowIcon(programIcon());
    frmMain window;
    // Ended from outside, the program ends as Close ends it: settings saved, port released. No
    // one may be there to click a message away: from now on messages go to standard error, and
    // one shown now (a start-up message) ends with the event loops.
    bool quitting = false;
    const QuitSignals quitSignals([&window, &quitting](int) {
        quitting = true;
        SetErrorMessagePresenter({});
        window.close();
        QCoreApplication::quit();
    });
    // Shown first, so that a setup dialog opened by the start-up can stand beside it.
    window.show();
    window.Form_Load();
    // A quit signal taken by a start-up message's own loop: the main loop would never hear it.
    if (quitting)
        return 0;

    // The supervisor, scripts and the records, as the settings just loaded say.
    superviseMoves(window.motion());
    const RemoteSettings remote = RemoteSettings::Read();
    TrafficLog traffic(window.link(), remote.logTraffic
                                          ? ProgramDirectory() + QStringLiteral("traffic.log")
                                          : QString());
    reportRecordFailures(window, traffic);
    ControlServer control(window.motion());
    control.setTrafficLog(&traffic);
    QObject::connect(&window, &frmMain::closing, &control, &ControlServer::stopListening);
    openControlSocket(control, remote);
    InstrumentPort instrument(window.motion());
    QObject::connect(&window, &frmMain::closing, &instrument, &InstrumentPort::stopListening);
    openInstrumentPort(instrument, window.motion());
    WebServer web(window.motion(), window.link());
    QObject::connect(&window, &frmMain::closing, &web, [&window, &web] {
        web.stopListening();
        window.strip().showWebPage({}, {});
    });
    openWebPage(web, window);
    return app.exec();
}
