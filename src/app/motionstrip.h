#pragma once

#include "motionsupervisor.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

// The strip under the main window's controls: the move in progress or the last result, a failed
// move as a red alert that stays until acknowledged (not a modal box: the poll and scripts go
// on), the motion inhibit, remote control through the instrument port (the operator allows it,
// sees who holds it, and takes it back), and where the web page is.
class MotionStrip : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 100;

    MotionStrip(MotionSupervisor &motion, QWidget *parent);

    // A line for the operator where the last result shows (a record that cannot be written).
    void showNotice(const QString &line) { setLast(line); }
    // The web page: its address as a link while it listens, or why a setting keeps it off;
    // nothing when both are empty.
    void showWebPage(const QString &url, const QString &whyOff);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void onMove(const MotionSupervisor::Event &event);
    void setLast(const QString &last);
    void refresh();
    void refreshRemote();
    void refreshInhibit();
    void refreshWeb();

    MotionSupervisor &m_motion;
    QLabel *lblMotion = nullptr;
    QPushButton *cmdAcknowledge = nullptr;
    QCheckBox *chkInhibit = nullptr;
    QLabel *lblInhibit = nullptr;
    QCheckBox *chkRemote = nullptr;
    QLabel *lblRemote = nullptr;
    QPushButton *cmdLocal = nullptr;
    QLabel *lblWeb = nullptr;
    QString m_webUrl, m_webOff;
    QString m_moving, m_last;
};
