#include "recordfile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool RecordFile::append(const QByteArray &line, QString *why)
{
    const QByteArray path = QFile::encodeName(m_fileName);
    struct stat info = {};
    const bool exists = ::lstat(path.constData(), &info) == 0;
    *why = exists && !S_ISREG(info.st_mode) ? QStringLiteral("not a regular file") : m_stopped;
    if (!why->isEmpty())
        return false;
    if (exists && info.st_size + line.size() > m_maxBytes && !rotate()) {
        *why = m_stopped = QStringLiteral("could not be rotated; stopped");
        return false;
    }
    const int fd =
        ::open(path.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    const int error = fd < 0 ? errno : appendWhole(fd, line);
    if (fd >= 0)
        ::close(fd);
    if (error == 0)
        return true;
    *why = QString::fromLocal8Bit(std::strerror(error));
    // The file-size limit stays what it is while the program runs: no later line would fit.
    if (error == EFBIG)
        m_stopped = *why += QStringLiteral("; stopped");
    return false;
}

int RecordFile::appendWhole(int fd, const QByteArray &line) const
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return errno;
    // The header and the line in one write: a reader never sees a header without its line.
    const QByteArray bytes = info.st_size == 0 ? m_header + line : line;
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written <= 0) {
            // A full disk or the file-size limit (EFBIG, SIGXFSZ ignored): the part written is
            // taken back, so that the file ends with a whole line.
            const int error = written < 0 ? errno : ENOSPC;
            if (done > 0 && ::ftruncate(fd, info.st_size) != 0)
                return errno;
            return error;
        }
        done += written;
    }
    return 0;
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
