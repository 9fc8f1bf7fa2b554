#pragma once

#include <QByteArray>
#include <QString>

// The platform's directory separator ("/" on Linux, "\" on Windows).
QChar DirSeparator();

// Directory part of a path, up to and including the last separator; empty when there is none.
QString GetPathPart(const QString &path);
// File name part of a path, after the last separator; the whole path when there is none.
QString GetNamePart(const QString &path);
// True when an ordinary (not hidden, not a directory) file of that name exists.
bool FileExists(const QString &fileName);
// Appends the text and CR LF; creates a missing file. Shows the error message on failure.
bool AppendToTextFile(const QString &fileName, const QString &text);

// The program's own directory, ending with the separator: the executable's directory when it
// holds the settings file already, or when it is writable and not a system directory; otherwise
// the user's configuration directory for the program (created on first use).
QString ProgramDirectory();
// A directory of the system's own (/usr, /opt, ...): never the program's directory, even when
// writable (as it is for root).
bool IsSystemDirectory(const QString &directory);
// Tests and tools put the program's own directory elsewhere; an empty text restores the rule.
void SetProgramDirectoryOverride(const QString &directory);
// Replaces the file's contents atomically (temporary file in the same directory, then rename):
// afterwards the file is the old one or the new one, whole, with its permissions kept. Where the
// directory takes no temporary file but the file may be written, the file is written in place
// after its room is reserved, and synced, while a copy of the old contents is kept (KeptCopyPath)
// until the new ones are whole. A target that is not a regular file is refused. On failure the
// file is as it was and errorText says why.
bool ReplaceFileAtomically(const QString &fileName, const QByteArray &contents,
                           QString *errorText = nullptr);
// Where the old contents of a file written over in place are kept: in the user's data folder
// (~/.local/share/RV360/kept/), named after the file.
QString KeptCopyPath(const QString &fileName);
// A copy kept for the file means that its writing was cut (a crash, a power loss): the old
// contents are put back, with one line on standard error. True when they were.
bool RestoreKeptCopy(const QString &fileName);
