#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

// Access to one INI file. Names of sections and keys match without regard to case, values are
// trimmed, a write replaces a key in place (or adds it at the end of its section, or adds the
// section at the end of the file), and every other line is kept. Files with CR LF, LF or CR line
// ends are read; CR LF is written. Each operation reports its own failures with the error
// message titled with its name (the writer's messages keep their title, "WriteIniStr") and
// returns a neutral result.
class cIniFile
{
public:
    bool ReadIniBool(const QString &Section, const QString &KeyName, const QString &Default);
    // Keys of any sections in one write: the file is replaced once.
    struct Entry {
        QString section, key, value;
    };
    qint16 WriteIniEntries(const QList<Entry> &Entries);
    QString ReadIniStr(const QString &Section, const QString &KeyName, const QString &Default);
    // The whole value (Default when missing or empty), or no value, with the reason naming the
    // key in *why, when ReadIniStr would not give it whole (longer than kValueLength characters,
    // or holding a NUL): a list cut short could let in more than it says.
    std::optional<QString> ReadIniWhole(const QString &Section, const QString &KeyName,
                                        const QString &Default, QString *why);
    // The characters of a value that ReadIniStr gives back.
    static constexpr qsizetype kValueLength = 253;

    // Stores the name when such a file exists, else the empty name (which stands for no file).
    void setFileName(const QString &File);
    QString FileName() const { return m_fileName; }

private:
    QString m_fileName;
};

// The INI file format itself, on bytes, without the class's error reporting.
namespace Ini
{
// The contents of a regular file of 8-bit text; no value, with the reason in *why, when it is
// missing, not a regular file, unreadable, too large (over 16 MiB) or UTF-16/32 (a byte-order
// mark).
std::optional<QByteArray> readFile(const QString &fileName, QString *why = nullptr);

// The value of the key (trimmed; UTF-8 where valid, else Latin-1), or no value when the section
// or key is missing.
// The first matching section and the first matching key in it win.
std::optional<QString> readValue(const QByteArray &contents, const QString &section,
                                 const QString &key);
// The contents with the key set to the value (see cIniFile for the rules); a key that already
// holds the value keeps its line byte for byte.
// Names and values that cannot be stored as lines (empty names, a "]" in the section, an "=" in
// the key, a line break anywhere) leave the contents unchanged.
QByteArray writeValue(const QByteArray &contents, const QString &section, const QString &key,
                      const QString &value);
// Whether writeValue can store these: see above.
bool canWrite(const QString &section, const QString &key, const QString &value);
} // namespace Ini
