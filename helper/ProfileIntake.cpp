#include "helper/ProfileIntake.h"

#include "helper/RunStatus.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellnet {

namespace {

ProfileIntake::Result refused(std::int32_t status, const QString &reason)
{
    ProfileIntake::Result result;
    result.status = status;
    result.reason = reason;
    return result;
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) { }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

ProfileIntake::Result ProfileIntake::read(const QString &path, uid_t caller, qsizetype maxSize)
{
    const QByteArray native = QFile::encodeName(path);
    if (!path.startsWith(QLatin1Char('/')) || native.contains('\0') || native.size() >= PATH_MAX)
        return refused(RunStatus::profileNotTrusted, QStringLiteral("not an absolute path"));

    // O_NONBLOCK: a FIFO or a device must not hold the helper up before fstat() turns it away.
    const FileDescriptor fd(::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ELOOP)
            return refused(RunStatus::profileNotTrusted, QStringLiteral("is a symbolic link"));
        return refused(RunStatus::profileMissing, QStringLiteral("cannot be opened: %1").arg(qt_error_string(error)));
    }

    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0)
        return refused(RunStatus::profileMissing, QStringLiteral("cannot be examined"));
    if (!S_ISREG(info.st_mode))
        return refused(RunStatus::profileNotTrusted, QStringLiteral("is not a regular file"));
    if (info.st_uid != caller) {
        return refused(
            RunStatus::profileNotTrusted, QStringLiteral("is owned by uid %1, not by the caller").arg(info.st_uid));
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return refused(RunStatus::profileNotTrusted, QStringLiteral("is writable by group or others"));
    if (info.st_size > maxSize)
        return refused(RunStatus::profileRefused, QStringLiteral("is larger than %1 bytes").arg(maxSize));

    // Read to the end, not to st_size: the owner may still be writing. Whatever is read is what
    // gets checked and copied.
    QByteArray content;
    content.resize(maxSize + 1);
    qsizetype total = 0;
    while (total <= maxSize) {
        const ssize_t n = ::read(fd.get(), content.data() + total, size_t(maxSize + 1 - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            return refused(RunStatus::profileMissing, QStringLiteral("cannot be read: %1").arg(qt_error_string(errno)));
        }
        if (n == 0)
            break;
        total += n;
    }
    if (total > maxSize)
        return refused(RunStatus::profileRefused, QStringLiteral("is larger than %1 bytes").arg(maxSize));
    content.truncate(total);

    Result result;
    result.ok = true;
    result.content = std::move(content);
    return result;
}

} // namespace quellnet
