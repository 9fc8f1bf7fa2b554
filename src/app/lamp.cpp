#include "lamp.h"

#include <QPainter>

Lamp::Lamp(QWidget *parent) : QWidget(parent)
{
    setAccessibleDescription(QStringLiteral("off"));
}

void Lamp::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    setAccessibleDescription(on ? QStringLiteral("on") : QStringLiteral("off"));
    update();
}

QColor Lamp::fillColor() const
{
    return m_on ? onColor() : palette().color(QPalette::Button);
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // Round whatever the widget's proportions: the circle fits the shorter side.
    const qreal side = qMin(width(), height()) - 1.0;
    const QRectF circle((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    painter.setPen(palette().color(QPalette::Dark));
    painter.setBrush(fillColor());
    painter.drawEllipse(circle);
}
