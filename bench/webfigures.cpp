// Figure 12: the status page and metrics of the real program, a copy of it run offscreen with
// [Web] on loopback, as a dashboard and a browser reach it: the round trip of GET /metrics and
// GET /status.json beside a bare QTcpSocket echo of the same request, and the program's CPU with
// headless Chromium holding the page open (it fetches /status.json each second) beside the same
// program with no one watching.
#include "benchtools.h"
#include "figures.h"
#include "figuretools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>

using namespace Bench;
using Result = BenchRow::Result;

namespace
{

constexpr int Figure = 12;

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress(QHostAddress::LocalHost), 0) ? probe.serverPort() : 0;
}

// The answer is whole: an echo once it has the request's length, HTTP once it has the headers
// and the Content-Length they name.
bool complete(const QByteArray &got, qsizetype echoed)
{
    if (echoed > 0)
        return got.size() >= echoed;
    const qsizetype end = got.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QByteArray head = got.left(end).toLower();
    const qsizetype at = head.indexOf("content-length:");
    if (at < 0)
        return true;
    const qsizetype eol = head.indexOf('\r', at);
    const int length = head.mid(at + 15, eol < 0 ? -1 : eol - at - 15).trimmed().toInt();
    return got.size() >= end + 4 + length;
}

// Writes the request and runs the event loop until the answer is whole; its time in µs, or -1.
double httpRoundTrip(QTcpSocket &client, const QByteArray &request, bool echo)
{
    const Clock::time_point before = Clock::now();
    client.write(request);
    QByteArray got;
    const QDeadlineTimer deadline(2000);
    while (!complete(got, echo ? request.size() : 0) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        got += client.readAll();
    }
    if (!complete(got, echo ? request.size() : 0) || (!echo && !got.startsWith("HTTP/1.1 200")))
        return -1;
    return microsBetween(before, Clock::now());
}

bool anyFailed(const std::vector<double> &times)
{
    return std::any_of(times.begin(), times.end(), [](double t) { return t < 0; });
}

// The program's CPU share over the given time.
double cpuShare(qint64 pid, int seconds)
{
    const double from = procCpuMicros(pid);
    const Clock::time_point start = Clock::now();
    spin(seconds * 1000);
    const double to = procCpuMicros(pid);
    return from < 0 || to < 0 ? -1 : (to - from) / microsBetween(start, Clock::now());
}

} // namespace

void Figures::web()
{
    const QString name = QStringLiteral("`GET /metrics` round trip (median)");
    QTemporaryDir dir;
    Simulator sim(m_options.simProgram, dir.path(), QStringLiteral("ttyWeb"));
    const QString program = copyProgram(m_options.appProgram, dir.path(), sim.link());
    const quint16 port = freePort();
    QFile ini(dir.filePath(QStringLiteral("RV360.INI")));
    if (!sim.start() || program.isEmpty() || !port || !ini.open(QIODevice::Append) ||
        ini.write(QStringLiteral("[Web]\r\nListen=127.0.0.1:%1\r\nAllow=127.0.0.1\r\n")
                      .arg(port)
                      .toLatin1()) < 0) {
        add(errorRow(Figure, name, QStringLiteral("rv360-sim or the program's copy failed")));
        return;
    }
    ini.close();
    QProcess rv360;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    rv360.setProcessEnvironment(env);
    rv360.setStandardOutputFile(QProcess::nullDevice());
    rv360.setStandardErrorFile(dir.filePath(QStringLiteral("rv360.err")));
    rv360.start(program, {});
    QTcpSocket client;
    for (int i = 0; i < 50 && client.state() != QAbstractSocket::ConnectedState; ++i) {
        spin(100);
        client.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        client.waitForConnected(200);
    }
    QTcpServer echo;
    echo.listen(QHostAddress(QHostAddress::LocalHost), 0);
    QObject::connect(&echo, &QTcpServer::newConnection, &echo, [&echo] {
        QTcpSocket *peer = echo.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, peer,
                         [peer] { peer->write(peer->readAll()); });
    });
    QTcpSocket bare;
    bare.connectToHost(QHostAddress(QHostAddress::LocalHost), echo.serverPort());
    if (client.state() != QAbstractSocket::ConnectedState || !bare.waitForConnected(2000)) {
        add(errorRow(Figure, name, QStringLiteral("the program's web port did not open")));
        endProcess(rv360);
        return;
    }
    for (QTcpSocket *socket : {&client, &bare})
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    spin(LineSettleMs); // the first poll's answers in
    const auto request = [port](const char *path) {
        return QStringLiteral("GET %1 HTTP/1.1\r\nHost: 127.0.0.1:%2\r\n\r\n")
            .arg(QLatin1String(path))
            .arg(port)
            .toLatin1();
    };
    const QByteArray metrics = request("/metrics"), status = request("/status.json");
    std::vector<double> metricsTimes, statusTimes, floor;
    const int count = std::max(50, m_options.transactions / 10);
    for (int i = 0; i < count; ++i) {
        metricsTimes.push_back(httpRoundTrip(client, metrics, false));
        floor.push_back(httpRoundTrip(bare, metrics, true));
        statusTimes.push_back(httpRoundTrip(client, status, false));
    }
    say(QStringLiteral("[12] %1 GET /metrics: median %2; GET /status.json: median %3; bare TCP "
                       "echo of the request: median %4")
            .arg(count)
            .arg(us(median(metricsTimes)), us(median(statusTimes)), us(median(floor))));
    const QString floorText = us(median(floor)) + QStringLiteral(" (bare QTcpSocket echo)");
    const QString note = QStringLiteral("The program is a process of its own, the echo is in the "
                                        "benchmark's: the floor has no process switch.");
    add({Figure, name, us(median(metricsTimes)), floorText, QStringLiteral("—"),
         anyFailed(metricsTimes) ? Result::Error : Result::Info, note});
    add({Figure, QStringLiteral("`GET /status.json` round trip (median)"), us(median(statusTimes)),
         floorText, QStringLiteral("—"), anyFailed(statusTimes) ? Result::Error : Result::Info,
         note});
    client.disconnectFromHost();
    watchedCpu(rv360.processId(), port, dir.path());
    endProcess(rv360);
}

void Figures::watchedCpu(qint64 pid, quint16 port, const QString &directory)
{
    const QString name = QStringLiteral("Window's CPU with Chromium watching the page");
    const int seconds = std::max(5, m_options.pollSeconds / 2);
    const double alone = cpuShare(pid, seconds);
    QProcess browser;
    browser.setStandardOutputFile(QProcess::nullDevice());
    browser.setStandardErrorFile(QProcess::nullDevice());
    browser.start(QStringLiteral("chromium"),
                  {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                   QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                   QStringLiteral("--remote-debugging-port=0"),
                   QStringLiteral("--user-data-dir=") + directory + QStringLiteral("/chromium"),
                   QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    if (!browser.waitForStarted(5000)) {
        add(errorRow(Figure, name,
                     QStringLiteral("chromium did not start (apt-get install "
                                    "chromium)")));
        return;
    }
    spin(2000); // the page loaded and its first fetches made
    const double watched = cpuShare(pid, seconds);
    const bool running = browser.state() == QProcess::Running;
    endProcess(browser);
    const double again = cpuShare(pid, seconds);
    say(QStringLiteral("[12] the window's CPU over %1 s: alone %2, with Chromium on the page %3, "
                       "alone again %4")
            .arg(seconds)
            .arg(percent(alone), percent(watched), percent(again)));
    add({Figure, name, percent(watched),
         percent((alone + again) / 2) + QStringLiteral(" (the same window, no one watching)"),
         QStringLiteral("—"),
         running && alone >= 0 && watched >= 0 && again >= 0 ? Result::Info : Result::Error,
         running ? QString() : QStringLiteral("Chromium ended before the measurement did.")});
}
