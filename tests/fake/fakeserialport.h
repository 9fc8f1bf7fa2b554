#pragma once

#include "lineport.h"

#include <QByteArrayList>
#include <QStringList>
#include <functional>

// A serial port for tests: records what is written and answers frames through a function, after
// a delay, through the event loop as a real port would.
class FakeSerialPort : public LinePort
{
    Q_OBJECT
public:
    using LinePort::LinePort;

    // Opens the choice's number when it is among existingPorts.
    bool open(const PortChoice &choice) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    void write(const QByteArray &data) override;
    qint64 readInto(QByteArray &buffer) override;
    void discardInput() override { m_input.clear(); }
    void discardOutput() override {}

    // Bytes arrive after `delayMs` (0: on the next turn of the event loop).
    void deliver(const QByteArray &bytes, int delayMs = 0);
    // Answers as an indexer at pocket `at`, ready, remote on, speed 4: a move arrives at once,
    // one to 2 goes unanswered.
    void actAsIndexer();
    int at = 3;
    // Answers every frame ("$B?\r\n") after replyDelayMs (null or empty: no answer).
    std::function<QByteArray(const QByteArray &frame)> responder;
    int replyDelayMs = 0;
    // The device numbers that exist; opening another one fails.
    QList<int> existingPorts = {1, 2, 3, 4};
    // Every write that reached the far end, in order.
    QByteArrayList written;
    // Every open and close in order ("open 1", "close 1").
    QStringList calls;

    // The commands written, without "$" and CR LF.
    QStringList commands() const;

private:
    bool m_open = false;
    QByteArray m_input;
};
