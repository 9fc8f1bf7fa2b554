// rv360-sim: an RV-360 indexer controller on a pseudo-terminal or a serial device.

#include "quitsignals.h"
#include "simserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTcpServer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

[[noreturn]] void fail(const QByteArray &message)
{
    std::fprintf(stderr, "rv360-sim: %s\n", message.constData());
    std::exit(1);
}

QByteArray systemError(const char *what)
{
    return QByteArray(what) + ": " + std::strerror(errno);
}

// An fd 0 to 2 that is closed would otherwise be reused by the pty and mistaken for stdin.
void ensureStandardFds()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1)
            ::open("/dev/null", O_RDWR);
    }
}

void setRaw(int fd, bool serialLine)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        fail(systemError("tcgetattr"));
    ::cfmakeraw(&tio);
    if (serialLine) {
        // 19200 8N1, no flow control.
        ::cfsetispeed(&tio, B19200);
        ::cfsetospeed(&tio, B19200);
        tio.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        fail(systemError("tcsetattr"));
}

void setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
        fail(systemError("fcntl"));
}

struct Pty {
    int master = -1;
    int slave = -1;
    QByteArray slaveName;
};

Pty openPty()
{
    Pty pty;
    pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0)
        fail(systemError("pseudo-terminal"));
    const char *name = ::ptsname(pty.master);
    if (!name)
        fail(systemError("ptsname"));
    pty.slaveName = name;
    // Held open all the time, so the master never reports hang-up while no client is attached.
    pty.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0)
        fail(systemError(name));
    setRaw(pty.slave, false);
    setNonBlocking(pty.master);
    return pty;
}

void makeLink(const QByteArray &target, const QByteArray &link)
{
    struct stat st {
    };
    if (::lstat(link.constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            fail(link + " exists and is not a symbolic link");
        if (::unlink(link.constData()) != 0)
            fail(systemError(link.constData()));
    }
    if (::symlink(target.constData(), link.constData()) != 0)
        fail(systemError(link.constData()));
}

// Removes the link only if it still points to this server's pty (another may have replaced it).
void removeLink(const QByteArray &target, const QByteArray &link)
{
    char buffer[4096];
    const ssize_t n = ::readlink(link.constData(), buffer, sizeof buffer - 1);
    if (n >= 0 && QByteArray(buffer, n) == target)
        ::unlink(link.constData());
}

int openDevice(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fail(systemError(path.constData()));
    setRaw(fd, true);
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

// Hands each accepted client to the server, which drops the one before.
class TcpListener : public QTcpServer
{
public:
    explicit TcpListener(SimServer &server) : m_server(server) {}

protected:
    void incomingConnection(qintptr fd) override
    {
        setNonBlocking(int(fd));
        ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);
        m_server.setLineFd(int(fd));
    }

private:
    SimServer &m_server;
};

} // namespace

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal(); // its log on a file at the size limit
    ensureStandardFds();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("rv360-sim");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "RV-360 indexer controller simulator. Fault commands are read from standard input.");
    parser.addHelpOption();
    const QCommandLineOption linkOption(
        "link", "Serve on a new pseudo-terminal and make <path> a symbolic link to it.", "path");
    const QCommandLineOption deviceOption(
        "device", "Serve on a serial device (raw, 19200 8N1, no flow control).", "device");
    const QCommandLineOption moveOption("move-ms", "Time per pocket step (default 400).", "ms",
                                        "400");
    const QCommandLineOption targetOption("report-target",
                                          "\"B?\" reports the target while moving.");
    const QCommandLineOption paceOption("pace", "Write at the line rate of 19200 baud.");
    const QCommandLineOption logOption("log", "Log received frames and replies to stderr.");
    const QCommandLineOption tcpOption(
        "tcp",
        "Serve on a TCP listener, one client at a time (a new client replaces the old one), as "
        "a serial device server does; port 0 takes a free one.",
        "address:port");
    const QCommandLineOption switchesOption(
        "switches", "Initial front and rear switch bytes (decimal or 0x hex).", "F,R");
    parser.addOptions({linkOption, deviceOption, tcpOption, moveOption, targetOption, paceOption,
                       logOption, switchesOption});
    parser.process(app);

    if (int(parser.isSet(linkOption)) + int(parser.isSet(deviceOption)) +
            int(parser.isSet(tcpOption)) !=
        1)
        fail("give exactly one of --link, --device and --tcp (see --help)");

    SimServer::Options options;
    bool ok = false;
    options.model.moveMs = parser.value(moveOption).toInt(&ok);
    if (!ok || options.model.moveMs < 0 || options.model.moveMs > 600000)
        fail("--move-ms takes 0 to 600000");
    options.model.reportTarget = parser.isSet(targetOption);
    options.pace = parser.isSet(paceOption);
    options.log = parser.isSet(logOption);

    quint8 front = 0x05, rear = 0x21;
    if (parser.isSet(switchesOption)) {
        const QList<QByteArray> parts = parser.value(switchesOption).toLatin1().split(',');
        const auto f = parts.size() == 2 ? SimServer::parseByte(parts[0].trimmed()) : std::nullopt;
        const auto r = parts.size() == 2 ? SimServer::parseByte(parts[1].trimmed()) : std::nullopt;
        if (!f || !r)
            fail("--switches takes two bytes F,R (0 to 255, decimal or 0x hex)");
        front = f.value_or(front);
        rear = r.value_or(rear);
    }

    // From here on SIGTERM, SIGINT and SIGHUP end the event loop, so that the link goes.
    const QuitSignals quitSignals([](int) { QCoreApplication::quit(); });
    std::signal(SIGPIPE, SIG_IGN);

    Pty pty;
    QByteArray linkPath;
    int lineFd = -1;
    QHostAddress tcpAddress;
    quint16 tcpPort = 0;
    if (parser.isSet(tcpOption)) {
        const QString endpoint = parser.value(tcpOption);
        const qsizetype colon = endpoint.lastIndexOf(u':');
        bool ok = false;
        const uint port = endpoint.mid(colon + 1).toUInt(&ok);
        QString host = endpoint.left(colon);
        if (host.startsWith(u'[') && host.endsWith(u']'))
            host = host.mid(1, host.size() - 2);
        if (colon < 0 || !ok || port > 65535 || !tcpAddress.setAddress(host))
            fail("--tcp takes ADDRESS:PORT, an IPv4 or [IPv6] address");
        tcpPort = quint16(port);
    } else if (parser.isSet(linkOption)) {
        linkPath = parser.value(linkOption).toLocal8Bit();
        pty = openPty();
        makeLink(pty.slaveName, linkPath);
        lineFd = pty.master;
    } else {
        lineFd = openDevice(parser.value(deviceOption).toLocal8Bit());
    }

    SimServer server(lineFd, options);
    TcpListener listener(server);
    if (parser.isSet(tcpOption)) {
        if (!listener.listen(tcpAddress, tcpPort))
            fail(listener.errorString().toLocal8Bit());
    }
    server.model().setSwitches(front, rear);
    server.watchControlInput(STDIN_FILENO);
    QObject::connect(&server, &SimServer::quitRequested, &app, &QCoreApplication::quit);

    const bool ipv6 = listener.serverAddress().protocol() == QAbstractSocket::IPv6Protocol;
    const QByteArray served =
        listener.isListening() ? (ipv6 ? "[" + listener.serverAddress().toString().toLatin1() + "]"
                                       : listener.serverAddress().toString().toLatin1()) +
                                     ':' + QByteArray::number(listener.serverPort())
        : linkPath.isEmpty() ? parser.value(deviceOption).toLocal8Bit()
                             : linkPath;
    std::printf("ready %s\n", served.constData());
    std::fflush(stdout);

    const int status = app.exec();
    if (!linkPath.isEmpty())
        removeLink(pty.slaveName, linkPath);
    return status;
}
