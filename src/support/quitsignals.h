#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// SIGTERM, SIGHUP and SIGINT (a logoff, systemctl, a closed terminal, Ctrl+C) delivered as a call
// on the event loop, through a self-pipe, so that a program ends cleanly: the window the way Close
// ends it, the simulator with its link removed. SIGQUIT and SIGKILL are left as they are. One
// instance per process.
class QuitSignals : public QObject
{
public:
    explicit QuitSignals(std::function<void(int signal)> handler, QObject *parent = nullptr);
    ~QuitSignals() override;

private:
    std::function<void(int)> m_handler;
    QSocketNotifier *m_notifier = nullptr;
};

// SIGXFSZ ignored: a write past the file-size limit (ulimit -f, systemd's LimitFSIZE=) then fails
// with EFBIG, and is handled as a full disk is, instead of ending the process. For every program
// of the project, first thing in main().
void IgnoreFileSizeSignal();
