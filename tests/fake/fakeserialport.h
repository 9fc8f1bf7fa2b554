#pragma once

#include "lineport.h"

#include <QByteArrayList>
#include <QHash>
#include <QStringList>
#include <functional>

// A serial port for tests: records what is written and answers frames from a script, after a
// delay, through the event loop as a real port would.
class FakeSerialPort : public LinePort
{
    Q_OBJECT
public:
    using LinePort::LinePort;

    // Opens the choice's number when it is among existingPorts.
    bool open(const PortChoice &choice) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    bool write(const QByteArray &data) override;
    qint64 readInto(QByteArray &buffer) override;
    void discardInput() override { m_input.clear(); }
    void discardOutput() override { m_unsent.clear(); }

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
    // Every open and close in order ("open 1", "close 1").
    QStringList calls;

    // The commands written, without "$" and CR LF.
    QStringList commands() const;

private:
    bool m_open = false;
    QByteArray m_input;
    bool m_stalled = false;
    QByteArrayList m_unsent;
    QHash<QByteArray, QPair<QByteArray, int>> m_replies;
};
