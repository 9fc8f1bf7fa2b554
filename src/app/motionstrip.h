#pragma once

#include "motionsupervisor.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

// The strip under the main window's controls: the move in progress or the last result, a failed
// move as a red alert that stays until acknowledged (not a modal box: the poll and scripts go
// on), and the motion inhibit.
class MotionStrip : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 52;

    MotionStrip(MotionSupervisor &motion, QWidget *parent);

private:
    void onMove(const MotionSupervisor::Event &event);
    void setLast(const QString &last);
    void refresh();

    MotionSupervisor &m_motion;
    QLabel *lblMotion = nullptr;
    QPushButton *cmdAcknowledge = nullptr;
    QCheckBox *chkInhibit = nullptr;
    QLabel *lblInhibit = nullptr;
    QString m_moving, m_last, m_alert;
};
