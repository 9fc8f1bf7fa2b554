#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs rv360-sim on a pseudo-terminal linked inside a temporary directory. The program is taken
// from the environment variable RV360_SIM (set by CTest), else from the path given here.
class SimProcess
{
public:
    explicit SimProcess(QString fallbackProgram = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the simulator and waits up to 5 s for its "ready" line.
    bool start(const QStringList &extraArgs = {});
    // Where the link to the pty is made; set before start() to use another path.
    QString linkPath() const { return m_linkPath; }
    void setLinkPath(const QString &path) { m_linkPath = path; }
    QString program() const;
    bool isRunning() const;

    // Sends one control line and returns the simulator's response line (empty after 5 s).
    QString control(const QString &line);
    // Closes the simulator's standard input.
    void closeInput();
    // Everything the simulator has written to stderr so far.
    QByteArray errorOutput();

    // SIGKILL: no clean-up in the simulator, for fault drills.
    void kill();
    // SIGTERM, then SIGKILL if it has not ended within 5 s.
    void stop();

private:
    QString readLine(int timeoutMs);

    QString m_fallbackProgram;
    QTemporaryDir m_dir;
    QString m_linkPath;
    QProcess m_process;
    QByteArray m_stderr;
};

// A client that talks to the simulator's pty directly, raw, without the program's serial layer.
class RawClient
{
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool open(const QString &path);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // Discards unread input, writes the frame, then reads until a CR arrives or the time is up.
    // Everything read is returned, including bytes that came with the CR.
    QByteArray transact(const QByteArray &frame, int timeoutMs);
    bool write(const QByteArray &bytes);
    QByteArray readUntilCr(int timeoutMs);
    // Everything that arrives within the time.
    QByteArray readFor(int ms);
    void discardInput();

private:
    int m_fd = -1;
};
