#include "account/ConfigurationFile.h"

#include "base/Error.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellnet {

namespace {

constexpr const char *fileName = "quellnet.ovpn";
constexpr int writeAttempts = 16; // names for the new file, should one be taken

// What only the user can reach: a folder (not a link to one), theirs, closed to group and others.
bool isPrivateFolder(const struct stat &info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// The runtime folder the session gives the user, if it is what it should be: an absolute path to a
// folder of theirs that nobody else may enter.
std::optional<QByteArray> runtimeFolder()
{
    const QByteArray folder = qgetenv("XDG_RUNTIME_DIR");
    struct stat info
    {
    };
    if (!folder.startsWith('/') || ::stat(folder.constData(), &info) != 0 || !isPrivateFolder(info))
        return std::nullopt;
    return folder;
}

std::mutex temporaryMutex;
QByteArray temporaryFolder; // made once, when there is no runtime folder

void removeTemporaryFolder()
{
    std::lock_guard lock(temporaryMutex);
    if (temporaryFolder.isEmpty())
        return;
    ::unlink((temporaryFolder + '/' + fileName).constData());
    ::rmdir(temporaryFolder.constData());
}

// The folder that holds the file: <runtime folder>/quellnet, or the process's own temporary folder.
std::optional<QByteArray> folder(QString *error)
{
    if (const std::optional<QByteArray> runtime = runtimeFolder())
        return *runtime + "/quellnet";
    std::lock_guard lock(temporaryMutex);
    if (temporaryFolder.isEmpty()) {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/quellnet-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            failWith(error,
                QStringLiteral("cannot make a private folder in %1: %2").arg(QDir::tempPath(), qt_error_string(errno)));
            return std::nullopt;
        }
        temporaryFolder = pattern;
        std::atexit(removeTemporaryFolder);
    }
    return temporaryFolder;
}

// Makes `path` a private folder of the user's, or finds it one.
bool makePrivateFolder(const QByteArray &path, QString *error)
{
    const QString name = QFile::decodeName(path);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return failWith(error, QStringLiteral("cannot make %1: %2").arg(name, qt_error_string(errno)));
    struct stat info
    {
    };
    if (::lstat(path.constData(), &info) != 0)
        return failWith(error, QStringLiteral("%1: %2").arg(name, qt_error_string(errno)));
    if (S_ISLNK(info.st_mode))
        return failWith(error, QStringLiteral("%1 is a symbolic link").arg(name));
    if (!S_ISDIR(info.st_mode))
        return failWith(error, QStringLiteral("%1 is not a folder").arg(name));
    if (info.st_uid != ::geteuid())
        return failWith(error, QStringLiteral("%1 belongs to another user").arg(name));
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0)
        return failWith(error, QStringLiteral("cannot close %1 to others: %2").arg(name, qt_error_string(errno)));
    return true;
}

// Whatever is at the file's path may be replaced only when it is a regular file of the user's own.
bool mayReplace(int folder, const QString &path, QString *error)
{
    struct stat info
    {
    };
    if (::fstatat(folder, fileName, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || failWith(error, QStringLiteral("%1: %2").arg(path, qt_error_string(errno)));
    if (S_ISLNK(info.st_mode))
        return failWith(error, QStringLiteral("%1 is a symbolic link").arg(path));
    if (!S_ISREG(info.st_mode))
        return failWith(error, QStringLiteral("%1 is not a regular file").arg(path));
    if (info.st_uid != ::geteuid())
        return failWith(error, QStringLiteral("%1 belongs to another user").arg(path));
    return true;
}

bool writeAll(int fd, const QByteArray &text, QString *error)
{
    for (qsizetype written = 0; written < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + written, static_cast<size_t>(text.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failWith(error, qt_error_string(errno));
        written += n;
    }
    return true;
}

// Writes `text` into a new file in `folder` and renames it to the file's name: the file is replaced
// whole, and never opened itself.
bool replaceIn(int folder, const QString &path, const QByteArray &text, QString *error)
{
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < writeAttempts; ++attempt) {
        temporary = QByteArray(".") + fileName + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd = ::openat(folder, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return failWith(error, QStringLiteral("cannot write beside %1: %2").arg(path, qt_error_string(errno)));
    QString problem;
    bool written = writeAll(fd, text, &problem);
    if (written && ::fchmod(fd, 0600) != 0) {
        problem = qt_error_string(errno);
        written = false;
    }
    if (::close(fd) != 0 && written) {
        problem = qt_error_string(errno);
        written = false;
    }
    if (written && ::renameat(folder, temporary.constData(), folder, fileName) != 0) {
        problem = qt_error_string(errno);
        written = false;
    }
    if (!written) {
        ::unlinkat(folder, temporary.constData(), 0);
        return failWith(error, QStringLiteral("%1: %2").arg(path, problem));
    }
    return true;
}

} // namespace

QString ConfigurationFile::path()
{
    const std::optional<QByteArray> where = folder(nullptr);
    return where ? QFile::decodeName(*where + '/' + fileName) : QString();
}

bool ConfigurationFile::write(const QByteArray &text, QString *error)
{
    const std::optional<QByteArray> where = folder(error);
    if (!where || !makePrivateFolder(*where, error))
        return false;
    const QString path = QFile::decodeName(*where + '/' + fileName);
    const int fd = ::open(where->constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return failWith(error, QStringLiteral("%1: %2").arg(QFile::decodeName(*where), qt_error_string(errno)));
    // The checks and the rename go through the folder that was checked, whatever its path leads to later.
    struct stat info
    {
    };
    bool ok = ::fstat(fd, &info) == 0 && isPrivateFolder(info);
    if (!ok)
        failWith(error, QStringLiteral("%1 is not a private folder").arg(QFile::decodeName(*where)));
    ok = ok && mayReplace(fd, path, error) && replaceIn(fd, path, text, error);
    ::close(fd);
    return ok;
}

} // namespace quellnet
