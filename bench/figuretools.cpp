#include "figuretools.h"

#include "modFileUtil.h"
#include "settings.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cstdio>

using Result = BenchRow::Result;

namespace
{

QByteArray iniFor(const QString &link)
{
    return "[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\n";
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(contents) == contents.size();
}

} // namespace

namespace Bench
{

QString us(double micros)
{
    return QString::number(micros, 'f', 1) + QStringLiteral(" µs");
}

QString ms(double millis)
{
    return QString::number(millis, 'f', 1) + QStringLiteral(" ms");
}

QString percent(double share)
{
    return QString::number(share * 100, 'f', share < 0.001 ? 3 : 2) + QStringLiteral(" %");
}

QString megabytes(qint64 kb)
{
    return QString::number(double(kb) / 1024, 'f', 1) + QStringLiteral(" MB");
}

void say(const QString &text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

Result passIf(bool ok)
{
    return ok ? Result::Pass : Result::Miss;
}

BenchRow errorRow(int figure, const QString &name, const QString &why)
{
    return {figure,        name, QStringLiteral("—"), QStringLiteral("—"), QStringLiteral("—"),
            Result::Error, why};
}

TemporarySettings::TemporarySettings(const QString &directory, const QString &link)
{
    m_ok = writeFile(directory + QStringLiteral("/RV360.INI"), iniFor(link));
    SetProgramDirectoryOverride(directory);
    CommPort = 1;
}

TemporarySettings::~TemporarySettings()
{
    SetProgramDirectoryOverride(QString());
}

QString copyProgram(const QString &program, const QString &directory, const QString &link)
{
    const QString copy = directory + QStringLiteral("/rv360");
    if (!QFile::exists(copy) && !QFile::copy(program, copy))
        return {};
    if (!writeFile(directory + QStringLiteral("/RV360.INI"), iniFor(link)))
        return {};
    return copy;
}

void endProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

VirtualDisplay::VirtualDisplay(const QString &display) : m_display(display)
{
    const QString number = display.mid(display.indexOf(u':') + 1);
    const QString socket = QStringLiteral("/tmp/.X11-unix/X") + number;
    if (QFile::exists(socket) || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))) {
        m_error = QStringLiteral("display %1 is taken").arg(display);
        return;
    }
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral("Xvfb"), {display, QStringLiteral("-screen"),
                                             QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                                             QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("Xvfb did not start (Debian package xvfb)");
        return;
    }
    const QDeadlineTimer deadline(10000);
    while (!QFile::exists(socket) && !deadline.hasExpired() &&
           m_process.state() == QProcess::Running)
        QThread::msleep(20);
    if (!QFile::exists(socket))
        m_error = QStringLiteral("Xvfb did not open %1").arg(display);
}

VirtualDisplay::~VirtualDisplay()
{
    endProcess(m_process);
}

QProcessEnvironment platformEnvironment(const QString &platform, const QString &display)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (platform == QLatin1String("xcb"))
        environment.insert(QStringLiteral("DISPLAY"), display);
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

} // namespace Bench

void Figures::add(BenchRow row)
{
    m_rows.push_back(std::move(row));
}

std::vector<BenchRow> Figures::rows() const
{
    std::vector<BenchRow> sorted = m_rows;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const BenchRow &a, const BenchRow &b) { return a.figure < b.figure; });
    return sorted;
}
