#pragma once

#include <QByteArray>
#include <QString>
#include <utility>

// A record appended line by line (the traffic record, the move record). Never written through a
// symbolic link, never into a FIFO or a device (a reader that never comes would block the
// program): a file of the name that is not a regular file is left alone. Rotated before the line
// that would pass maxBytes, keeping oldFiles old files (name.1 is the newest); a rotation that
// fails stops the record rather than let the file grow without bound.
class RecordFile
{
public:
    RecordFile(const QString &fileName, qint64 maxBytes, int oldFiles, QByteArray header = {})
        : m_fileName(fileName), m_maxBytes(maxBytes), m_oldFiles(oldFiles),
          m_header(std::move(header))
    {
    }

    // Appends one line (with its LF), after the header when the file is new or empty; whole or
    // not at all: a write cut short (a full disk, the file-size limit) is taken back, so that the
    // file always ends with a whole line. False with the reason in *why when it was not written:
    // after a failure (a full disk, no permission) the next line is tried again; at the
    // file-size limit (ulimit -f, with SIGXFSZ ignored) or when a rotation fails the record
    // stops there (the reason ends "; stopped").
    bool append(const QByteArray &line, QString *why);
    const QString &fileName() const { return m_fileName; }

private:
    bool rotate() const;
    // 0 when the line is written whole, else the error, with the file as it was.
    int appendWhole(int fd, const QByteArray &line) const;

    QString m_fileName;
    qint64 m_maxBytes;
    int m_oldFiles;
    QByteArray m_header;
    // Why the record stopped; empty while it goes on.
    QString m_stopped;
};
