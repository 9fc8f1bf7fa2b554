#pragma once

#include "recordfile.h"

#include <QObject>
#include <QString>
#include <functional>

class IndexerLink;

// The traffic record: every frame written and every reply or timeout of the link, one line
// each, appended to a file: an ISO 8601 local time with milliseconds, then ">" (sent), "<"
// (received) or "!" (timeout), the bytes with control characters written out, and for replies
// and timeouts the time taken. The file is rotated at 1 MiB, three old files kept (name.1 ..
// name.3); a rotation that fails ends the record. A line is written whole or not at all (a full
// disk, the file-size limit), and a failure is said once (recordFailed) until a line is written
// again. The files are never opened through a symbolic link. A failure to write it never
// disturbs the link.
class TrafficLog : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxBytes = 1 << 20;
    static constexpr int kOldFiles = 3;

    // Records the link's traffic; to a file when fileName is not empty, and as lineLogged()
    // either way.
    TrafficLog(IndexerLink &link, const QString &fileName, QObject *parent = nullptr);

    // Whether someone takes the lines as they come; without a file and without that, the
    // traffic is not even formatted (the status poll's path stays as it was).
    void setStreaming(std::function<bool()> wanted) { m_streaming = std::move(wanted); }

Q_SIGNALS:
    void lineLogged(const QString &line);
    // The file could not be written, and why ("No space left on device"; "File too large;
    // stopped" at the file-size limit).
    void recordFailed(const QString &why);

private:
    bool recording() const
    {
        return !m_file.fileName().isEmpty() || (m_streaming && m_streaming());
    }
    void log(QChar direction, const QString &bytes, const QString &tail = {});
    void append(const QByteArray &line);

    RecordFile m_file;
    bool m_failed = false;
    std::function<bool()> m_streaming;
};
