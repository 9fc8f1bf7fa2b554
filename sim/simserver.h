#pragma once

#include "framer.h"
#include "indexermodel.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <deque>
#include <optional>

class QSocketNotifier;

// Serves the model on a non-blocking line fd (pty master or serial device) and takes fault
// commands on standard input. Everything runs in the Qt event loop; nothing blocks.
class SimServer : public QObject
{
    Q_OBJECT
public:
    struct Options {
        IndexerModel::Options model;
        bool pace = false; // write at 19200 baud, 10 bits per byte
        bool log = false;  // received frames and sent replies to stderr
    };

    // lineFd -1: no line yet (a TCP server waiting for its client).
    SimServer(int lineFd, Options options, QObject *parent = nullptr);

    // Serves on another line from now on: a new TCP client replaces the old one, whose socket is
    // closed. What was queued for the old line is dropped.
    void setLineFd(int fd);

    IndexerModel &model() { return m_model; }

    // Handles one control line and returns the response line ("ok", "error ...", "state ...").
    QByteArray control(const QByteArray &line);

    // A byte in decimal or with a 0x prefix in hex.
    static std::optional<quint8> parseByte(const QByteArray &word);

    // Starts reading control lines from fd (standard input); end of input does not stop the server.
    void watchControlInput(int fd);

Q_SIGNALS:
    void quitRequested();

private:
    struct Faults {
        bool silent = false;
        int lateMs = 0;
        bool partial = false;
        bool crlf = false;
        bool crlfSplit = false; // the LF on its own, kLfGapMs after the CR
        bool noise = false;
        bool flood = false;
        bool stalled = false;                  // the line is not read: what is written waits in it
        QHash<QByteArray, QByteArray> replies; // a command's answer in place of the model's
    };
    struct Delayed {
        qint64 dueMs;
        QByteArray bytes;
    };

    qint64 now() const { return m_clock.elapsed(); }
    void onLineReadable();
    void onLineWritable();
    void onControlReadable();
    void onPaceTick();
    void onDelayedDue();
    void answer(const Framer::Frame &frame);
    void enqueue(const QByteArray &bytes);
    void pump();
    qsizetype writeLine(const char *data, qsizetype size);
    QByteArray randomBytes(qsizetype count) const;
    void log(const QByteArray &direction, const QByteArray &bytes) const;

    int m_fd = -1;
    bool m_socket = false;
    Options m_options;
    IndexerModel m_model;
    Framer m_framer;
    Faults m_faults;
    QElapsedTimer m_clock;

    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;
    QSocketNotifier *m_controlNotifier = nullptr;
    QByteArray m_controlBuffer;

    QByteArray m_out; // bounded: replies that do not fit are dropped
    std::deque<Delayed> m_delayed;
    QTimer m_delayTimer;

    QTimer m_paceTimer;
    QElapsedTimer m_paceClock;
    qint64 m_pacedBytes = 0;
};
