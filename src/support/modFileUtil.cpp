#include "modFileUtil.h"

#include "errormessage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Positions in the old path functions were 16-bit.
constexpr qsizetype MaxPathLength = 32767;

QString &programDirectoryOverride()
{
    static QString directory;
    return directory;
}

// Native separators and exactly one separator at the end; a root keeps its single one.
QString withOneTrailingSeparator(const QString &directory)
{
    QString result = QDir::toNativeSeparators(directory);
    while (result.endsWith(DirSeparator()))
        result.chop(1);
    return result + DirSeparator();
}

// Error number for a file that could not be opened or written, from what the file system shows.
int fileErrorNumber(const QString &fileName, QFileDevice::FileError error)
{
    if (fileName.isEmpty())
        return ErrorNumber::BadFileName;
    if (error == QFileDevice::WriteError || error == QFileDevice::ResizeError)
        return ErrorNumber::DeviceIo;
    const QFileInfo file(fileName);
    const QFileInfo directory(file.absolutePath());
    if (!directory.isDir())
        return ErrorNumber::PathNotFound;
    if (file.isDir())
        return ErrorNumber::PathFileAccess;
    if (file.exists() ? !file.isWritable() : !directory.isWritable())
        return ErrorNumber::PermissionDenied;
    return ErrorNumber::PathFileAccess;
}

} // namespace

bool IsSystemDirectory(const QString &directory)
{
#ifdef Q_OS_WIN
    Q_UNUSED(directory);
    return false;
#else
    static const char *const systemRoots[] = {"/usr",   "/bin",   "/sbin", "/lib",
                                              "/lib64", "/lib32", "/opt",  "/snap"};
    const QString clean = QDir::cleanPath(directory);
    for (const char *root : systemRoots) {
        const QString prefix = QString::fromLatin1(root);
        if (clean == prefix || clean.startsWith(prefix + u'/'))
            return true;
    }
    return false;
#endif
}

QChar DirSeparator()
{
#ifdef Q_OS_WIN
    return u'\\';
#else
    return u'/';
#endif
}

QString GetPathPart(const QString &path)
{
    if (path.size() > MaxPathLength) {
        ShowErrorMessage(QStringLiteral("GetPathPart"), ErrorNumber::Overflow,
                         QStringLiteral("Path too long"));
        return {};
    }
    const qsizetype last = path.lastIndexOf(DirSeparator());
    return last < 0 ? QString() : path.left(last + 1);
}

QString GetNamePart(const QString &path)
{
    if (path.size() > MaxPathLength) {
        ShowErrorMessage(QStringLiteral("GetNamePart"), ErrorNumber::Overflow,
                         QStringLiteral("Path too long"));
        return {};
    }
    return path.mid(path.lastIndexOf(DirSeparator()) + 1);
}

QString GetAppFullPath()
{
    if (QCoreApplication::instance() == nullptr)
        return {};
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

bool FileExists(const QString &fileName)
{
    if (fileName.isEmpty())
        return false;
    const QFileInfo info(fileName);
#ifdef Q_OS_WIN
    // The hidden attribute hides a file from the lookup there; a leading dot does not.
    if (info.isHidden())
        return false;
#endif
    return info.exists() && info.isFile();
}

bool AppendToTextFile(const QString &fileName, const QString &text)
{
    const QString title = QStringLiteral("AppendToTextFile");
    try {
        QFile file(fileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            ShowErrorMessage(title, fileErrorNumber(fileName, file.error()), file.errorString());
            return false;
        }
        const QByteArray line = text.toUtf8() + "\r\n";
        if (file.write(line) != line.size() || !file.flush()) {
            const QFileDevice::FileError error =
                file.error() == QFileDevice::NoError ? QFileDevice::WriteError : file.error();
            ShowErrorMessage(title, fileErrorNumber(fileName, error), file.errorString());
            return false;
        }
        file.close();
        if (file.error() != QFileDevice::NoError) {
            ShowErrorMessage(title, fileErrorNumber(fileName, file.error()), file.errorString());
            return false;
        }
        return true;
    } catch (...) {
        ShowCurrentExceptionMessage(title);
        return false;
    }
}

bool KillFile(const QString &fileName)
{
    try {
        if (!fileName.isEmpty())
            QFile::remove(fileName);
    } catch (...) {
    }
    return true;
}

QString ProgramDirectory()
{
    const QString &overridden = programDirectoryOverride();
    if (!overridden.isEmpty())
        return withOneTrailingSeparator(overridden);

    if (QCoreApplication::instance() != nullptr) {
        const QString appDir = QCoreApplication::applicationDirPath();
        const QFileInfo dirInfo(appDir);
        // A settings file already beside the executable keeps being used there.
        if (!appDir.isEmpty() &&
            (QFileInfo(QDir(appDir).filePath(QStringLiteral("RV360.INI"))).isFile() ||
             (dirInfo.isDir() && dirInfo.isWritable() && !IsSystemDirectory(appDir))))
            return withOneTrailingSeparator(appDir);
    }

    const QString configDir =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
        QStringLiteral("/RV360");
    QDir().mkpath(configDir);
    return withOneTrailingSeparator(configDir);
}

void SetProgramDirectoryOverride(const QString &directory)
{
    programDirectoryOverride() = directory;
}

namespace
{

// For a folder that takes no temporary file around a file that may be written. The room is
// reserved first, so that a full disk stops the save before a byte of the old file changes.
bool replaceInPlace(const QString &fileName, const QByteArray &contents, QString &why)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        why = file.errorString();
        return false;
    }
    const int fd = file.handle();
    if (contents.size() > file.size()) {
        if (const int error = ::posix_fallocate(fd, 0, contents.size()); error != 0) {
            why = QString::fromLocal8Bit(std::strerror(error));
            return false;
        }
    }
    if (file.write(contents) != contents.size() || !file.resize(contents.size())) {
        why = file.errorString();
        return false;
    }
    if (::fsync(fd) != 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

bool ReplaceFileAtomically(const QString &fileName, const QByteArray &contents, QString *errorText)
{
    QString why;
    const bool done = [&] {
        const QFileInfo existing(fileName);
        // Read now: the new file keeps the old one's mode (a read-only file written over by root
        // too). The "user" flags say what this process may do: they are not the file's mode.
        const QFile::Permissions mode =
            existing.permissions() &
            ~QFile::Permissions(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        // A FIFO or a device would block or be destroyed by the rename.
        if (existing.exists() && !existing.isFile()) {
            why = QStringLiteral("Not a regular file");
            return false;
        }
        // The rename would replace a read-only file; treat it as the write it is and refuse.
        if (existing.exists() && !existing.isWritable()) {
            why = QStringLiteral("Permission denied");
            return false;
        }
        QSaveFile file(fileName);
        file.setDirectWriteFallback(false);
        // Unbuffered: a write the disk refuses fails here, not silently in commit().
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            // The temporary file's failure often comes without a reason; the directory tells it.
            const QFileInfo directory(existing.absolutePath());
            if (!directory.isDir())
                why = QStringLiteral("Path not found");
            else if (existing.exists())
                return replaceInPlace(fileName, contents, why);
            else if (!directory.isWritable())
                why = QStringLiteral("Permission denied");
            else
                why = file.errorString();
            return false;
        }
        if (file.write(contents) != contents.size() || !file.flush()) {
            why = file.errorString();
            file.cancelWriting();
            return false;
        }
        if (!file.commit()) {
            why = file.errorString();
            return false;
        }
        if (existing.exists())
            QFile::setPermissions(fileName, mode);
        return true;
    }();
    if (!done && errorText != nullptr)
        *errorText = why.isEmpty() ? QStringLiteral("Write error") : why;
    return done;
}
