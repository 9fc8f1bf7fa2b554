#include "socketpath.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// A folder that is the user's own, not a link, with no access for group or others: nobody else
// can put a socket there.
bool privateFolder(const QString &path)
{
    struct stat info = {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}
} // namespace

QString DefaultSocketPath()
{
    // The runtime folder only when it is private: another user's, or an open one, would let an
    // impostor answer the user's scripts.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (privateFolder(runtime))
        return runtime + QStringLiteral("/rv360.sock");
    const QString folder = QDir::tempPath() + QStringLiteral("/rv360-%1").arg(::getuid());
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // A folder that someone else made there is no private folder: no default then.
    return privateFolder(folder) ? folder + QStringLiteral("/rv360.sock") : QString();
}
