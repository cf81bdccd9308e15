#include "helper/TrustedPath.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace quellnet {

namespace {

QString errnoText()
{
    return qt_error_string(errno);
}

// `path` is absolute and resolved. Checks it and each directory above it.
bool chainIsRootOnly(const QByteArray &path, QString &problem)
{
    QByteArray current = path;
    for (;;) {
        struct stat info = {};
        if (::lstat(current.constData(), &info) != 0) {
            problem = QStringLiteral("%1: %2").arg(QFile::decodeName(current), errnoText());
            return false;
        }
        const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX);
        if (info.st_uid != 0) {
            problem = QStringLiteral("%1 is not owned by root").arg(QFile::decodeName(current));
            return false;
        }
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !sticky) {
            problem = QStringLiteral("%1 is writable by group or others").arg(QFile::decodeName(current));
            return false;
        }
        if (current == "/")
            return true;
        const qsizetype slash = current.lastIndexOf('/');
        current = slash <= 0 ? QByteArray("/") : current.left(slash);
    }
}

} // namespace

QString TrustedPath::resolve(const QString &path, Kind kind, QString &problem)
{
    const QByteArray native = QFile::encodeName(path);
    if (!path.startsWith(QLatin1Char('/')) || native.contains('\0')) {
        problem = QStringLiteral("%1 is not an absolute path").arg(path);
        return {};
    }
    char resolvedBuffer[PATH_MAX];
    if (::realpath(native.constData(), resolvedBuffer) == nullptr) {
        problem = QStringLiteral("%1: %2").arg(path, errnoText());
        return {};
    }
    const QByteArray resolved(resolvedBuffer);

    struct stat info = {};
    if (::stat(resolved.constData(), &info) != 0) {
        problem = QStringLiteral("%1: %2").arg(path, errnoText());
        return {};
    }
    const bool isDirectory = S_ISDIR(info.st_mode);
    if (kind == Kind::Directory ? !isDirectory : !S_ISREG(info.st_mode)) {
        problem
            = QStringLiteral("%1 is not a %2")
                  .arg(path, kind == Kind::Directory ? QStringLiteral("directory") : QStringLiteral("regular file"));
        return {};
    }
    if (kind == Kind::Executable && !(info.st_mode & S_IXUSR)) {
        problem = QStringLiteral("%1 is not executable").arg(path);
        return {};
    }
    if (!chainIsRootOnly(resolved, problem))
        return {};
    return QFile::decodeName(resolved);
}

bool TrustedPath::directoryIsTrusted(const QString &directory, QString &problem)
{
    return !resolve(directory, Kind::Directory, problem).isEmpty();
}

} // namespace quellnet
