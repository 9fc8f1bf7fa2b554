#pragma once

#include "listensettings.h"

// [Web]: where the web page listens and who may connect.
struct WebSettings : ListenSettings {
    static WebSettings Read() { return {ListenSettings::Read(QStringLiteral("Web"))}; }
};
