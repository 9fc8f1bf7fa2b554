#include "verticalspin.h"

#include <QProxyStyle>

namespace
{
// A short thumb, so that the eight values spread over the little travel the control has.
class SpinStyle : public QProxyStyle
{
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        if (metric == PM_ScrollBarSliderMin)
            return 8;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};
} // namespace

VerticalSpin::VerticalSpin(int minimum, int maximum, QWidget *parent)
    : QScrollBar(Qt::Vertical, parent)
{
    auto *style = new SpinStyle;
    style->setParent(this);
    setStyle(style);
    setRange(minimum, maximum);
    setSingleStep(1);
    setPageStep(1);
    // One change at the end of a drag, not one per pixel.
    setTracking(false);
    setValue(maximum);
    connect(this, &QAbstractSlider::valueChanged, this, &VerticalSpin::spinChanged);
    connect(this, &QAbstractSlider::sliderMoved, this, &VerticalSpin::spinScrolled);
}

void VerticalSpin::setSpinValue(int value)
{
    setValue(minimum() + maximum() - qBound(minimum(), value, maximum()));
}
