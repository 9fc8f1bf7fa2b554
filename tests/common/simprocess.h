#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs rv360-sim on a pseudo-terminal linked inside a temporary directory, for the tests (the
// program named by RV360_SIM, which CTest sets) and the benchmark. Stopped with SIGTERM when it
// goes.
class SimProcess
{
public:
    explicit SimProcess(const QString &program = qEnvironmentVariable("RV360_SIM"));
    ~SimProcess() { stop(); }

    // Starts the simulator and waits up to 5 s for its "ready" line.
    bool start(const QStringList &extraArgs = {});
    // The same on a TCP listener on 127.0.0.1 (port 0: a free one); tcpPort() tells which.
    bool startTcp(quint16 port = 0);
    // The same on a serial device (or a pty's slave) that the caller provides.
    bool startDevice(const QString &path) { return launch({"--device", path}, "ready " + path); }
    quint16 tcpPort() const { return m_tcpPort; }
    // Where the link to the pty is made; set before start() to use another path.
    QString linkPath() const { return m_linkPath; }
    void setLinkPath(const QString &path) { m_linkPath = path; }
    // Set before start(): the simulator's standard error (its --log lines) appended to a file.
    void setLogFile(const QString &path)
    {
        m_process.setStandardErrorFile(path, QIODevice::Append);
    }
    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // Sends one control line and returns the simulator's response line (empty after 5 s).
    QString control(const QString &line);
    // SIGKILL: no clean-up in the simulator, for fault drills.
    void kill();
    void stop();

private:
    // Starts it and waits for the line that begins with `ready` (a link's whole, a port after).
    bool launch(const QStringList &args, const QString &ready);
    QString readLine();

    QString m_program;
    QTemporaryDir m_dir;
    QString m_linkPath;
    quint16 m_tcpPort = 0;
    QProcess m_process;
};
