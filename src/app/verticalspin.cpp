#include "verticalspin.h"

#include <QAccessibleWidget>
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

// Screen readers and UI automation see the value the operator sees, not the inverted one of the
// scroll bar underneath; a value set through them acts like the operator's change.
class SpinAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit SpinAccessible(VerticalSpin *spin) : QAccessibleWidget(spin, QAccessible::SpinBox) {}

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QString::number(spin()->spinValue());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return spin()->spinValue(); }
    void setCurrentValue(const QVariant &value) override { spin()->setSpinValue(value.toInt()); }
    QVariant maximumValue() const override { return spin()->maximum(); }
    QVariant minimumValue() const override { return spin()->minimum(); }
    QVariant minimumStepSize() const override { return spin()->singleStep(); }

private:
    VerticalSpin *spin() const { return static_cast<VerticalSpin *>(widget()); }
};

QAccessibleInterface *spinAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("VerticalSpin") && object && object->isWidgetType())
        return new SpinAccessible(static_cast<VerticalSpin *>(object));
    return nullptr;
}
} // namespace

VerticalSpin::VerticalSpin(int minimum, int maximum, QWidget *parent)
    : QScrollBar(Qt::Vertical, parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(spinAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    auto *style = new SpinStyle;
    style->setParent(this);
    setStyle(style);
    setRange(minimum, maximum);
    setSingleStep(1);
    setPageStep(1);
    // One change at the end of a drag, not one per pixel.
    setTracking(false);
    setValue(maximum);
    connect(this, &QAbstractSlider::valueChanged, this, [this] {
        // The scroll bar has announced its own (inverted) value; the shown one comes last.
        QAccessibleValueChangeEvent event(this, spinValue());
        QAccessible::updateAccessibility(&event);
        Q_EMIT spinChanged();
    });
    connect(this, &QAbstractSlider::sliderMoved, this, &VerticalSpin::spinScrolled);
}

void VerticalSpin::setSpinValue(int value)
{
    setValue(minimum() + maximum() - qBound(minimum(), value, maximum()));
}
