#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <limits>
#include <optional>

// rv360ctl's command line and the request it makes.
namespace Ctl
{

struct Options {
    QString socket, device, command;
    QStringList args;
    bool json = false, wait = false, traffic = false, link = false;
    // Given with --timeout; else 60 s for a move's wait, 10 s for a plain request.
    int timeoutS = 0;
};
// The longest --timeout, in seconds (about 24 days).
constexpr int kMaxTimeoutS = std::numeric_limits<int>::max() / 1000;

// The request for the command line, or an error text.
std::optional<QJsonObject> requestFor(const Options &o, QString *why);

// Reads the command line into o and its request. Returns the exit status when the program ends
// here: help asked for, or a bad command line (told in one line, with where the usage is).
std::optional<int> readCommandLine(const QStringList &arguments, Options &o, QJsonObject &request);

} // namespace Ctl
