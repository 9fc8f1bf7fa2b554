#pragma once

#include <QRect>
#include <QString>

// Gives a widget its object name (the name tests and UI automation find it by), and its tool tip
// and geometry when they are given.
template <typename W>
W *named(W *widget, const QString &name, const QString &toolTip = {}, const QRect &geometry = {})
{
    widget->setObjectName(name);
    if (!toolTip.isEmpty())
        widget->setToolTip(toolTip);
    if (geometry.isValid())
        widget->setGeometry(geometry);
    return widget;
}
