#include "socketpath.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const QString kName = QStringLiteral("/rv360.sock");

// A folder that is the user's own, not a link, with no access for group or others: nobody else
// can put a socket there.
bool privateFolder(const QString &path)
{
    struct stat info = {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

QString fallbackFolder()
{
    return QDir::tempPath() + QStringLiteral("/rv360-%1").arg(::getuid());
}
} // namespace

QStringList SocketPathCandidates()
{
    // A runtime folder only when it is private: another user's, or an open one, would let an
    // impostor answer the user's scripts.
    const QString userRuntime = qEnvironmentVariableIsSet("RV360_USER_RUNTIME_DIR")
                                    ? qEnvironmentVariable("RV360_USER_RUNTIME_DIR")
                                    : QStringLiteral("/run/user/%1").arg(::getuid());
    QStringList paths;
    for (const QString &folder :
         {qEnvironmentVariable("XDG_RUNTIME_DIR"), userRuntime, fallbackFolder()}) {
        if (privateFolder(folder) && !paths.contains(QDir::cleanPath(folder) + kName))
            paths << QDir::cleanPath(folder) + kName;
    }
    return paths;
}

QString DefaultSocketPath()
{
    const QStringList candidates = SocketPathCandidates();
    if (!candidates.isEmpty())
        return candidates.first();
    const QString folder = fallbackFolder();
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // A folder that someone else made there is no private folder: no default then.
    return privateFolder(folder) ? folder + kName : QString();
}
