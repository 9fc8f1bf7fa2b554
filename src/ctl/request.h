#pragma once

#include "arguments.h"
#include "indexercommands.h"

#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>

class IndexerLink;
class MotionSupervisor;
class QLocalSocket;
class SystemSerialPort;

// A request on its way, until its result or its deadline.
namespace Ctl
{

// Where requests go: the running program's socket, or a link of our own on a device.
class Transport : public QObject
{
public:
    using Done = IndexerCommands::Done;
    std::function<void(const QJsonObject &)> onEvent;
    // The connection to the running program ended after it was made.
    std::function<void()> onLost;

    Transport();
    ~Transport() override;

    // Returns kDone, or the exit status and the reason.
    int openDevice(const QString &device, QString *why);
    // How the moves this program asks for are recorded.
    QString source() const;
    void openSocket(const QString &path, std::function<void(bool)> connected);
    // The user id of the process that serves the socket, or -1 when it cannot be told.
    long serverUid() const;
    bool viaDevice() const { return m_link != nullptr; }

    void run(const QJsonObject &request, Done done);

private:
    void readReplies();

    std::unique_ptr<SystemSerialPort> m_port;
    std::unique_ptr<IndexerLink> m_link;
    std::unique_ptr<MotionSupervisor> m_motion;
    std::unique_ptr<QLocalSocket> m_socket;
    std::deque<Done> m_waiting;
    bool m_connected = false;
    bool m_ended = false;
};

// The run of one command line, to its exit status.
class Session : public QObject
{
public:
    Session(Options options);

    void start(const QJsonObject &request);

private:
    // Connects to the first of the paths that answers, from index on.
    void connectTo(const QStringList &paths, int index);
    void send();
    void historyFromFile();
    void handle(const QJsonObject &result);
    void waitForArrival();
    void seen(const QJsonObject &event);
    void deadline(int seconds);
    void watch();
    void finish(int status, const QString &why);

    Options m_o;
    Transport m_transport;
    QJsonObject m_request, m_last, m_result;
    bool m_waiting = false;
    bool m_finished = false;
};

} // namespace Ctl
