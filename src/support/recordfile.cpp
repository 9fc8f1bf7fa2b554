#include "recordfile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

RecordFile::Result RecordFile::append(const QByteArray &line, QString *why)
{
    const QByteArray path = QFile::encodeName(m_fileName);
    struct stat info = {};
    const bool exists = ::lstat(path.constData(), &info) == 0;
    if (m_stopped)
        return Result::Stopped;
    if (exists && !S_ISREG(info.st_mode))
        return Result::NotAFile;
    bool fresh = !exists || info.st_size == 0;
    if (exists && info.st_size + line.size() > m_maxBytes) {
        if (!rotate()) {
            m_stopped = true;
            return Result::Stopped;
        }
        fresh = true;
    }
    const int fd =
        ::open(path.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    // One write for the header and the line: a reader never sees a header without its line.
    const QByteArray bytes = (fresh ? m_header : QByteArray()) + line;
    const ssize_t written = fd < 0 ? -1 : ::write(fd, bytes.constData(), size_t(bytes.size()));
    const int error = written < 0 ? errno : ENOSPC; // a short write: the disk is full
    if (fd >= 0)
        ::close(fd);
    if (written == bytes.size())
        return Result::Written;
    if (why)
        *why = QString::fromLocal8Bit(std::strerror(error));
    return Result::Failed;
}

bool RecordFile::rotate() const
{
    const auto name = [this](int n) {
        return QFile::encodeName(n == 0 ? m_fileName : m_fileName + QStringLiteral(".%1").arg(n));
    };
    // Oldest first, each step over a file (or link) of the name, never into a folder; the first
    // step drops the oldest.
    for (int n = m_oldFiles - 1; n >= 0; --n) {
        if (::rename(name(n).constData(), name(n + 1).constData()) != 0 && errno != ENOENT)
            return false;
    }
    return true;
}
