#pragma once

#include <QLoggingCategory>

// Diagnostics of the link: frames, replies with their durations, timeouts, opens and device
// losses. Off unless QT_LOGGING_RULES="rv360.link.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcLink)
