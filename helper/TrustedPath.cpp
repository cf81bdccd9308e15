#include "helper/TrustedPath.h"

#include "base/Error.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace quellnet {

namespace {

// `path` is absolute and resolved. Checks it and each directory above it.
bool chainIsRootOnly(const QByteArray &path, QString *error)
{
    QByteArray current = path;
    for (;;) {
        struct stat info = {};
        if (::lstat(current.constData(), &info) != 0) {
            failWith(error, QStringLiteral("%1: %2").arg(QFile::decodeName(current), qt_error_string(errno)));
            return false;
        }
        const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX);
        if (info.st_uid != 0) {
            failWith(error, QStringLiteral("%1 is not owned by root").arg(QFile::decodeName(current)));
            return false;
        }
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !sticky) {
            failWith(error, QStringLiteral("%1 is writable by group or others").arg(QFile::decodeName(current)));
            return false;
        }
        if (current == "/")
            return true;
        const qsizetype slash = current.lastIndexOf('/');
        current = slash <= 0 ? QByteArray("/") : current.left(slash);
    }
}

} // namespace

std::optional<QString> TrustedPath::resolve(const QString &path, Kind kind, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (!path.startsWith(QLatin1Char('/')) || native.contains('\0')) {
        failWith(error, QStringLiteral("%1 is not an absolute path").arg(path));
        return std::nullopt;
    }
    char resolvedBuffer[PATH_MAX];
    if (::realpath(native.constData(), resolvedBuffer) == nullptr) {
        failWith(error, QStringLiteral("%1: %2").arg(path, qt_error_string(errno)));
        return std::nullopt;
    }
    const QByteArray resolved(resolvedBuffer);

    struct stat info = {};
    if (::stat(resolved.constData(), &info) != 0) {
        failWith(error, QStringLiteral("%1: %2").arg(path, qt_error_string(errno)));
        return std::nullopt;
    }
    const bool isDirectory = S_ISDIR(info.st_mode);
    if (kind == Kind::Directory ? !isDirectory : !S_ISREG(info.st_mode)) {
        failWith(error,
            QStringLiteral("%1 is not a %2")
                .arg(path, kind == Kind::Directory ? QStringLiteral("directory") : QStringLiteral("regular file")));
        return std::nullopt;
    }
    if (kind == Kind::Executable && !(info.st_mode & S_IXUSR)) {
        failWith(error, QStringLiteral("%1 is not executable").arg(path));
        return std::nullopt;
    }
    if (!chainIsRootOnly(resolved, error))
        return std::nullopt;
    return QFile::decodeName(resolved);
}

bool TrustedPath::directoryIsTrusted(const QString &directory, QString *error)
{
    return resolve(directory, Kind::Directory, error).has_value();
}

} // namespace quellnet
