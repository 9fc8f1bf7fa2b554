#include "simprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

SimProcess::SimProcess(const QString &program) : m_program(program)
{
    // QSerialPort locks a device by the base name of its path: tests side by side need their own.
    static int counter = 0;
    m_linkPath = m_dir.filePath(
        QStringLiteral("ttyRV360-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter));
}

bool SimProcess::start(const QStringList &extraArgs)
{
    return launch(QStringList{"--link", m_linkPath} + extraArgs, "ready " + m_linkPath);
}

bool SimProcess::startTcp(quint16 port)
{
    return launch({"--tcp", QStringLiteral("127.0.0.1:%1").arg(port)}, "ready 127.0.0.1:");
}

bool SimProcess::launch(const QStringList &args, const QString &ready)
{
    m_process.start(m_program, args);
    const QString line = m_process.waitForStarted(5000) ? readLine() : QString();
    m_tcpPort = quint16(line.section(u':', -1).toUInt());
    if (line.startsWith(ready) && (line == ready || m_tcpPort != 0))
        return true;
    qWarning("rv360-sim did not become ready: %s", m_process.readAllStandardError().constData());
    stop();
    return false;
}

QString SimProcess::readLine()
{
    const QDeadlineTimer deadline(5000);
    while (!m_process.canReadLine() && isRunning() && !deadline.hasExpired())
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    return QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

QString SimProcess::control(const QString &line)
{
    m_process.write(line.toLocal8Bit() + '\n');
    return isRunning() ? readLine() : QString();
}

void SimProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

void SimProcess::stop()
{
    if (!isRunning())
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        kill();
}
