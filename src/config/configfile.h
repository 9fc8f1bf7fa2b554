#pragma once

#include "pocketlayout.h"

#include <QByteArray>
#include <QString>

// A configuration file: eight lines "k, t, p+1" (pocket number, type index, position plus one),
// with ", name" after them for a pocket that has a name (8-bit text), each ended by CR LF.
QByteArray ConfigFileContents(const PocketLayout &layout);
// How a configuration text is taken: as the program reads its files, or strictly, for scripts.
enum class ConfigText { Lenient, Strict };
// Applies a configuration text to a layout: line k to row k-1, fields 2 to 4 only. Lines may
// end in CR LF, LF or CR. Leniently, a field that is not a number, or out of range, leaves that
// one value alone, and rows without a line are left alone; a line's fourth field names its row,
// none clears the name, and one that breaks the name rules or repeats an earlier line's name
// leaves the row's name as it was (cleared if another row now has it). Strictly, the text has
// eight lines (blank ones at its end aside), each with a whole type 0 to 3, a whole position 1 to
// 360 and a good name or none; anything else refuses the whole text: false, the layout
// unchanged, the reason in *why.
bool ParseConfigText(const QByteArray &contents, PocketLayout &layout,
                     ConfigText mode = ConfigText::Lenient, QString *why = nullptr);

// Reads a configuration file into a layout. False (the layout unchanged) when the file cannot be
// read or is not a regular file.
bool ReadConfigFile(const QString &path, PocketLayout &layout);
// Replaces the file whole or not at all; false with the reason in *why when that failed.
bool WriteConfigFile(const QString &path, const PocketLayout &layout, QString *why);

// The most a configuration file read takes in; the layout is in its first eight lines.
inline constexpr qint64 kMaxConfigFileRead = 1 << 20;
