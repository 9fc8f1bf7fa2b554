#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The controller's state and command set, with no I/O: the caller passes the time in
// milliseconds, so motion is computed from the clock rather than driven by timers.
class IndexerModel
{
public:
    static constexpr int PocketCount = 8;

    struct Options {
        int moveMs = 400;          // time for one pocket step
        bool reportTarget = false; // "B?" reports the target while moving
    };

    struct Pocket {
        int type = 3;
        int position = 0;
    };

    explicit IndexerModel(Options options);

    // Handles one command (the frame's text without "$" and line end) and returns the reply
    // line without its terminator.
    QByteArray handle(QByteArrayView command, qint64 nowMs);

    int pocketAt(qint64 nowMs) const;
    int targetAt(qint64 nowMs) const;
    bool movingAt(qint64 nowMs) const;
    int speed() const { return m_speed; }
    int control() const { return m_control; }
    int layoutCount() const { return m_count; }
    Pocket pocket(int k) const { return m_layout[k - 1]; }
    quint8 frontSwitches() const { return m_front; }
    quint8 rearSwitches() const { return m_rear; }

    void setSwitches(quint8 front, quint8 rear);
    // Puts the turntable at a pocket at once; any motion stops.
    void setPocket(int pocket);
    void setLowercaseStatus(bool on) { m_lowercase = on; }

    // "state pocket=P target=T moving=0|1 speed=S control=C count=N switches=F,R"
    QByteArray stateLine(qint64 nowMs) const;

private:
    int stepsDone(qint64 nowMs) const;
    void settle(qint64 nowMs);
    void moveTo(int target, qint64 nowMs);
    QByteArray handlePocketCommand(QByteArrayView command);

    Options m_options;
    int m_pocket = 1; // where the motion started, or where the turntable stands
    bool m_moving = false;
    int m_target = 1;
    int m_direction = 1;
    int m_steps = 0;
    qint64 m_startMs = 0;
    int m_speed = 1;
    int m_control = 0;
    int m_count = 3;
    Pocket m_layout[PocketCount];
    quint8 m_front = 0x05;
    quint8 m_rear = 0x21;
    bool m_lowercase = false;
};
