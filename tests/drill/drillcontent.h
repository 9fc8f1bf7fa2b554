#pragma once

#include "pocketlayout.h"

#include <QByteArray>
#include <QString>

// The two states that the save drill writes in turn.
namespace Drill
{

inline QString address(int which)
{
    // Long enough that a write takes more than one system call's worth of time.
    return QString(200, which == 0 ? QLatin1Char('a') : QLatin1Char('b'));
}

inline QByteArray settingsFile(int which)
{
    return "[Application]\r\nCommPort=" + QByteArray::number(which + 1) +
           "\r\nEPort=-1\r\nEAddr=" + address(which).toLatin1() + "\r\nConfigFile=RV360.cfg\r\n";
}

inline PocketLayout layout(int which)
{
    PocketLayout layout;
    for (int row = 0; row < PocketLayout::kRows; ++row) {
        layout.setType(row, which == 0 ? Discrete : EndBanana);
        layout.setPosition(row, which == 0 ? row * 10 : 359 - row);
    }
    return layout;
}

} // namespace Drill
