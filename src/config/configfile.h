#pragma once

#include <QByteArray>
#include <QString>

class PocketTable;
class QWidget;

// A configuration file: eight lines "k, t, p+1" (pocket number, type index, position plus one),
// each ended by CR LF.
QByteArray ConfigFileContents(const PocketTable &table);
// Applies the lines of a configuration file to the table: line k to row k-1, fields 2 and 3
// only. Lines may end in CR LF, LF or CR. A field that is not a number, or that the table
// refuses, leaves that one value alone; rows without a line are left alone.
void ApplyConfigFileLines(PocketTable &table, const QByteArray &contents);

// Lets the operator choose a file and loads the table from it. A file that cannot be read
// changes nothing, without a message.
void OpenConfigFile(PocketTable &table, QWidget *owner);
// Lets the operator choose a file and writes the table to it. The file is replaced whole or not
// at all; a failure shows one error message titled "SaveConfigFile".
void SaveConfigFile(const PocketTable &table, QWidget *owner);

// The most a configuration file read takes in; the layout is in its first eight lines.
inline constexpr qint64 kMaxConfigFileRead = 1 << 20;
