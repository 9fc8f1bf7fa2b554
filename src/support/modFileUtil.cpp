#include "modFileUtil.h"

#include "errormessage.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
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
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        ShowErrorMessage(title, fileErrorNumber(fileName, file.error()), file.errorString());
        return false;
    }
    const QByteArray line = text.toUtf8() + "\r\n";
    // Closed once written: a network file system may say only then that the line was lost. Left
    // open when the write failed, so that its error is the one told.
    if (file.write(line) == line.size() && file.flush())
        file.close();
    if (file.isOpen() || file.error() != QFileDevice::NoError) {
        const QFileDevice::FileError error =
            file.error() == QFileDevice::NoError ? QFileDevice::WriteError : file.error();
        ShowErrorMessage(title, fileErrorNumber(fileName, error), file.errorString());
        return false;
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

// Files written over in place are small (settings, layouts): a larger one is not copied.
constexpr qint64 kMaxKeptCopy = 16 << 20;

// For a folder that takes no temporary file around a file that may be written. A copy of the old
// contents is kept, whole and synced, until the new ones are (a crash in between leaves it for
// RestoreKeptCopy). The room is reserved first, so that a full disk stops the save before a byte
// of the old file changes.
bool replaceInPlace(const QString &fileName, const QByteArray &contents, QString &why)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        why = file.errorString();
        return false;
    }
    // A copy kept already is the last whole version (the file is what a cut write left).
    const QString kept = KeptCopyPath(fileName);
    const QByteArray old = file.read(kMaxKeptCopy + 1);
    const bool made = !QFileInfo::exists(kept);
    if (made && (old.size() > kMaxKeptCopy || !QDir().mkpath(QFileInfo(kept).path()) ||
                 !ReplaceFileAtomically(kept, old, &why))) {
        why = QStringLiteral("no copy of the old contents can be kept (%1)").arg(why);
        return false;
    }
    const int fd = file.handle();
    if (contents.size() > old.size()) {
        if (const int error = ::posix_fallocate(fd, 0, contents.size()); error != 0) {
            why = QString::fromLocal8Bit(std::strerror(error));
            if (made)
                QFile::remove(kept);
            return false;
        }
    }
    if (!file.seek(0) || file.write(contents) != contents.size() || !file.resize(contents.size()) ||
        ::fsync(fd) != 0) {
        why = file.error() != QFileDevice::NoError ? file.errorString()
                                                   : QString::fromLocal8Bit(std::strerror(errno));
        // The old contents back at once where the disk takes them; else the copy stays for the
        // next read.
        if (made && file.seek(0) && file.write(old) == old.size() && file.resize(old.size()) &&
            ::fsync(fd) == 0)
            QFile::remove(kept);
        return false;
    }
    QFile::remove(kept);
    return true;
}

} // namespace

QString KeptCopyPath(const QString &fileName)
{
    const QString path = QFileInfo(fileName).absoluteFilePath();
    const QByteArray id =
        QCryptographicHash::hash(QFile::encodeName(path), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/RV360/kept/") + QFileInfo(path).fileName() + u'.' +
           QString::fromLatin1(id);
}

bool RestoreKeptCopy(const QString &fileName)
{
    const QString kept = KeptCopyPath(fileName);
    QFile copy(kept);
    if (!copy.open(QIODevice::ReadOnly))
        return false;
    const QByteArray old = copy.read(kMaxKeptCopy);
    QString why;
    if (!ReplaceFileAtomically(fileName, old, &why)) {
        std::fprintf(stderr, "rv360: %s was cut while being written; its old contents are in %s\n",
                     qPrintable(fileName), qPrintable(kept));
        return false;
    }
    std::fprintf(stderr, "rv360: %s was cut while being written; its old contents are back\n",
                 qPrintable(fileName));
    return true;
}

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
        // A copy left by a cut in-place write is stale now.
        QFile::remove(KeptCopyPath(fileName));
        return true;
    }();
    if (!done && errorText != nullptr)
        *errorText = why.isEmpty() ? QStringLiteral("Write error") : why;
    return done;
}
