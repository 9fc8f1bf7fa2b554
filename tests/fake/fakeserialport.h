#pragma once

#include "serialport.h"

#include <QByteArrayList>
#include <QHash>
#include <QStringList>
#include <functional>

// A serial port for tests: records what is written and answers frames from a script, after a
// delay, through the event loop as a real port would.
class FakeSerialPort : public SerialPort
{
    Q_OBJECT
public:
    using SerialPort::SerialPort;

    bool setPortNumber(int portNumber) override;
    int portNumber() const override { return m_portNumber; }
    QString deviceName() const override { return QStringLiteral("/dev/fake%1").arg(m_portNumber); }
    bool isOpen() const override { return m_open; }
    bool open() override;
    bool close() override;
    bool setLineFormat(const QString &settings) override { return record("line " + settings); }
    bool setNoHandshaking() override { return record("handshaking none"); }
    bool setReceiveBufferSize(int n) override { return record("buffer " + QString::number(n)); }
    bool setRequestToSend(bool on) override { return record(on ? "rts 1" : "rts 0"); }
    void discardInput() override { m_input.clear(); }
    void discardOutput() override { m_unsent.clear(); }
    bool write(const QByteArray &data) override;
    qint64 bytesAvailable() const override { return m_input.size(); }
    QByteArray read(qint64 maxBytes) override;
    OpenFailure lastOpenFailure() const override { return m_failure; }
    QString errorText() const override { return {}; }

    // Bytes arrive after `delayMs` (0: on the next turn of the event loop).
    void deliver(const QByteArray &bytes, int delayMs = 0);
    // Answers a frame ("$B?\r\n") with the reply after the delay; unknown frames get no answer.
    void setReply(const QByteArray &frame, const QByteArray &reply, int delayMs = 0);
    // Answers every frame through a function (null: no answer).
    std::function<QByteArray(const QByteArray &frame)> responder;
    int replyDelayMs = 0;
    // The device numbers that exist; opening another one fails.
    QList<int> existingPorts = {1, 2, 3, 4};
    // Every write that reached the far end, in order.
    QByteArrayList written;
    // A line that takes no output: writes wait (and are not answered) until it drains again.
    void setStalled(bool stalled);
    // Every operation in order ("open 1", "close 1", "line 19200,N,8,1", ...).
    QStringList calls;

    // The commands written, without "$" and CR LF.
    QStringList commands() const;

private:
    bool record(const QString &call)
    {
        calls << call;
        return true;
    }

    int m_portNumber = 0;
    bool m_open = false;
    QByteArray m_input;
    bool m_stalled = false;
    QByteArrayList m_unsent;
    QHash<QByteArray, QPair<QByteArray, int>> m_replies;
    OpenFailure m_failure = OpenFailure::None;
};
