#pragma once

#include <QScrollBar>

// A vertical spin control with a thumb. The up arrow, the Up key and the wheel turned up raise the
// value, so the scroll bar runs inverted underneath: spinValue() is the value the operator sees.
// Arrow and track clicks step by 1; dragging the thumb reports spinScrolled() on the way and one
// spinChanged() at release.
class VerticalSpin : public QScrollBar
{
    Q_OBJECT
public:
    VerticalSpin(int minimum, int maximum, QWidget *parent = nullptr);

    int spinValue() const { return minimum() + maximum() - value(); }
    void setSpinValue(int value);
    // The value under the thumb while it is dragged.
    int spinPosition() const { return minimum() + maximum() - sliderPosition(); }

Q_SIGNALS:
    void spinChanged();
    void spinScrolled();
};
