#include "trafficlog.h"

#include "commandset.h"
#include "indexerlink.h"

#include <QDateTime>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TrafficLog::TrafficLog(IndexerLink &link, const QString &fileName, QObject *parent)
    : QObject(parent), m_fileName(fileName)
{
    connect(&link, &IndexerLink::frameWritten, this, [this](const QByteArray &frame) {
        if (recording())
            log(u'>', VisibleControls(QString::fromLatin1(frame)));
    });
    connect(&link, &IndexerLink::transactionEnded, this,
            [this](const QString &, const IndexerLink::Reply &reply, qint64 micros) {
                if (!recording())
                    return;
                const QString taken = QStringLiteral("(%1 ms)").arg(micros / 1000.0, 0, 'f', 1);
                if (reply.timedOut)
                    log(u'!', VisibleControls(reply.text.mid(8)), taken); // after "Timeout "
                else
                    log(u'<', VisibleControls(reply.text), taken);
            });
}

void TrafficLog::log(QChar direction, const QString &bytes, const QString &tail)
{
    QString line =
        QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + u' ' + direction + u' ' + bytes;
    if (!tail.isEmpty())
        line += u' ' + tail;
    Q_EMIT lineLogged(line);
    if (!m_fileName.isEmpty())
        append(line.toUtf8() + '\n');
}

void TrafficLog::append(const QByteArray &line)
{
    // Never through a symbolic link, never a FIFO or device (that could block the link); a
    // failed write is ignored.
    const QByteArray path = QFile::encodeName(m_fileName);
    struct stat info = {};
    const bool exists = ::lstat(path.constData(), &info) == 0;
    if (m_stopped || (exists && !S_ISREG(info.st_mode)))
        return;
    // Rotated before the line that would pass the cap. A rotation that fails stops the record
    // rather than let the file grow without bound.
    if (exists && info.st_size + line.size() > kMaxBytes && !rotate()) {
        m_stopped = true;
        std::fprintf(stderr, "rv360: %s could not be rotated: the traffic record stops here\n",
                     path.constData());
        return;
    }
    const int fd =
        ::open(path.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    ::close(fd);
}

bool TrafficLog::rotate() const
{
    const auto name = [this](int n) {
        return QFile::encodeName(n == 0 ? m_fileName : m_fileName + QStringLiteral(".%1").arg(n));
    };
    // Oldest first, each step over a file (or link) of the name, never into a folder; the first
    // step drops the oldest.
    for (int n = kOldFiles - 1; n >= 0; --n) {
        if (::rename(name(n).constData(), name(n + 1).constData()) != 0 && errno != ENOENT)
            return false;
    }
    return true;
}
