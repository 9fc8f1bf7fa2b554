#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// What a script sees of rv360ctl: its lines, its errors and its exit status.
namespace Ctl
{

constexpr int kDone = 0, kNoAnswer = 1, kUsage = 2, kUnreachable = 3;

// A line on stderr, after the program's name.
void err(const QString &line);
// Ends the program when nobody takes the output any more.
void checkOutput();
// A line on stdout.
void out(const QString &line);
// A value as a line shows it: "?" when there is none; quoted the way a POSIX shell reads it
// ('y pocket=3', a single quote as '\'') unless it is plain, so that a key=value line is safe
// to eval.
QString shown(const QJsonValue &value);
// The text so quoted.
QString shellQuoted(const QString &text);
// An event as a line: the JSON itself with json, else its words.
void printEvent(const QJsonObject &event, bool json);

} // namespace Ctl
