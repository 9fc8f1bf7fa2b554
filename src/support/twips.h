#pragma once

#include <QRect>

// The windows were designed in twips; they are laid out at 15 twips a pixel (96 DPI), which Qt
// scales on high-DPI screens.
inline QRect twips(int left, int top, int width, int height)
{
    return QRect(qRound(left / 15.0), qRound(top / 15.0), qRound(width / 15.0),
                 qRound(height / 15.0));
}
