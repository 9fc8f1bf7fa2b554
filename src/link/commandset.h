#pragma once

// VisibleControls, which the callers that show replies take from here.
#include "conversions.h"

#include <QString>
#include <optional>

// The indexer's commands and where their replies carry data. Replies are read by position: the
// first two characters are never interpreted, single-character values are the third character
// and longer data starts at the third character.
namespace Indexer
{

inline const QString kQueryPocket = QStringLiteral("B?");
inline const QString kQuerySpeed = QStringLiteral("C?");
inline const QString kQueryMotion = QStringLiteral("D?");
inline const QString kQueryControl = QStringLiteral("A?");
inline const QString kQuerySwitches = QStringLiteral("I");
inline const QString kQueryCount = QStringLiteral("F?");
inline const QString kProbe = QStringLiteral("@");

// The status poll's own queries (pocket, speed, motion).
bool isStatusQuery(const QString &command);

// Moves and speed changes are built by MotionRequest::command() alone.

// "A0" (automatic control from the digital I/O) or "A1" (from the command link).
QString controlCommand(int source);
// "G" + k + "?": type and position of pocket k (1..8).
QString pocketQuery(int pocket);
// "F" + n: the stored layout holds pockets 1..n.
QString countCommand(int count);
// "G" + k + " " + type + " " + three-digit position, e.g. "G2 1 045".
QString pocketCommand(int pocket, int type, int position);

// The third character, or no value when the reply is shorter.
std::optional<QChar> thirdChar(const QString &reply);
// The fourth character, or no value when the reply is shorter.
std::optional<QChar> fourthChar(const QString &reply);
// The data from the third character on (empty when the reply is shorter).
QString dataPart(const QString &reply);
// A pocket number or sweep speed (1..8) in the third character; no value for anything else (a
// timeout's text included).
std::optional<int> pocketOrSpeed(const QString &reply);
// The motion query's answer: "ready" (R in the third character) or "moving" (M); no value for
// anything else.
std::optional<QString> motionState(const QString &reply);
// The control source in the control query's reply: 0 the digital I/O, 1 the command link; no
// value for anything else.
std::optional<int> controlSource(const QString &reply);
// A control source's name as scripts and the instrument port write it ("io", "comm"), and the
// source of a name, letter case ignored.
QString controlSourceName(int source);
std::optional<int> controlSourceNamed(const QString &name);
// The front (third character) or rear (fourth) panel's switch byte in the switch query's reply.
std::optional<int> switchByte(const QString &reply, bool rear);
// A switch byte as people read it: hexadecimal in capitals, with at least that many digits
// ("A"; "0A" with two).
QString switchByteText(int byte, int digits = 1);
// The whole-number value of the third character (LeadingNumber of it): 0..9, 0 for a non-digit.
int digitValue(const QString &reply);

} // namespace Indexer
