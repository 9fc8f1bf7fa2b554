#pragma once

#include "lineserver.h"
#include "motionsupervisor.h"
#include "scpi.h"

#include <QHostAddress>
#include <QTcpServer>
#include <functional>

class IndexerLink;

// The instrument port: SCPI-style lines over TCP, as VISA, LabVIEW, pyvisa and EPICS reach a
// bench instrument (docs/instrument-port.md). Every client may query; commands that change the
// indexer need remote control, which the supervisor lends to one client at a time while the
// operator allows it, and every move and speed change passes the supervisor like any other.
// Errors go to each client's own queue, read with SYST:ERR?. A peer outside the allow-list and a
// client over the limit are closed at once, as is a client that sends a line over 4 KiB or more
// than 64 lines ahead, or leaves 1 MiB of replies unread, holds a line unfinished for 10 s, or
// sends a change after the operator took control back from it (it did not give it back); one
// silent for 10 minutes gives its place to a client that comes when all are taken, unless it
// holds remote control. Each is said by notice().
class InstrumentPort : public LineServer
{
    Q_OBJECT
public:
    static constexpr int kMaxClients = 4;
    static constexpr qsizetype kMaxLine = 4096;
    static constexpr int kMaxErrors = 16;
    static constexpr int kMaxWaiting = 64;
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    // A query that asks the indexer is answered, or its error queued, within this.
    static constexpr int kAnswerMs = 1000;
    // A shorter deadline, for tests.
    void setAnswerMs(int ms) { m_answerMs = ms; }
    // The standard event status register's bits.
    static constexpr int kOperationComplete = 1, kQueryError = 4, kDeviceError = 8,
                         kExecutionError = 16, kCommandError = 32;
    static constexpr int kPartialMs = 10 * 1000;
    static constexpr int kIdleMs = 10 * 60 * 1000;

    explicit InstrumentPort(MotionSupervisor &motion, QObject *parent = nullptr);
    ~InstrumentPort() override;

    // "::" listens on IPv4 and IPv6 both ("0.0.0.0" on IPv4 only).
    bool listen(const QHostAddress &address, quint16 port, QString *why);
    quint16 port() const { return m_server.serverPort(); }
    // No new clients from now on (the program is ending).
    void stopListening();

Q_SIGNALS:
    // A peer refused or a client closed, in one line; kind is the reason without the peer.
    void notice(const QString &line, const QString &kind);

private:
    struct Instrument;
    using Params = QList<Scpi::Param>;
    struct Command;
    static const Command kCommands[];

    Client *newClient() override;
    void serveLine(Client &client, const QByteArray &line) override;
    QByteArray closing(const Client &client, Cap cap) override;
    void dropped(Client &client) override;
    void clientsChanged() override;
    bool keptIdle(const Client &client) const override;
    void onRemoteChanged();
    void execute(Instrument &client, const QString &header, const Params &params);

    // The commands, a function each (kCommands says which header runs which).
    void identify(Instrument &client, const Params &params);
    void reset(Instrument &client, const Params &params);
    void clearErrors(Instrument &client, const Params &params);
    void setEventEnable(Instrument &client, const Params &params);
    void eventEnableQuery(Instrument &client, const Params &params);
    void eventStatusQuery(Instrument &client, const Params &params);
    void setRequestEnable(Instrument &client, const Params &params);
    void requestEnableQuery(Instrument &client, const Params &params);
    void statusByteQuery(Instrument &client, const Params &params);
    void completeWhenDone(Instrument &client, const Params &params);
    void waitForMove(Instrument &client, const Params &params);
    void selfTest(Instrument &client, const Params &params);
    void nextError(Instrument &client, const Params &params);
    void whenDone(Instrument &client, const Params &params);
    void inhibitQuery(Instrument &client, const Params &params);
    void takeRemote(Instrument &client, const Params &params);
    void giveBack(Instrument &client, const Params &params);
    void remoteQuery(Instrument &client, const Params &params);
    void pocketQuery(Instrument &client, const Params &params);
    void nameQuery(Instrument &client, const Params &params);
    void namesQuery(Instrument &client, const Params &params);
    void movingQuery(Instrument &client, const Params &params);
    void stateQuery(Instrument &client, const Params &params);
    void wordsQuery(Instrument &client, const Params &params);
    void speedQuery(Instrument &client, const Params &params);
    void controlQuery(Instrument &client, const Params &params);
    void switchQuery(Instrument &client, const Params &params);
    void move(Instrument &client, const Params &params);
    void speed(Instrument &client, const Params &params);
    void control(Instrument &client, const Params &params);
    void inhibit(Instrument &client, const Params &params);
    void supervised(Instrument &client, int number, bool move);

    // A parameter's check before the remote check: true when it is good; else the error queued.
    bool onePocket(Instrument &client, const Params &params);
    // A whole number Least to Most.
    template <int Least, int Most> bool wholeNumber(Instrument &client, const Params &params);
    bool panel(Instrument &client, const Params &params);
    bool source(Instrument &client, const Params &params);
    bool inhibitParams(Instrument &client, const Params &params);

    void ask(Instrument &client, const QString &query,
             std::function<void(const QString &reply)> answer);
    // A query whose value (null: none in the reply) is the answer; a reply without one is a
    // hardware error.
    void askValue(Instrument &client, const QString &query,
                  std::function<QString(const QString &reply)> value);
    void answer(Instrument &client, const QString &reply = QString());
    void pushError(Instrument &client, int code, const QString &detail = QString());
    // The error queued and the line done, with no reply.
    void fail(Instrument &client, int code, const QString &detail = QString());
    void onMoveEvent(const MotionSupervisor::Event &event);

    MotionSupervisor &m_motion;
    IndexerLink &m_link;
    QTcpServer m_server;
    int m_answerMs = kAnswerMs;
};
