#include "helper/ProfileIntake.h"

#include "base/Error.h"
#include "helper/HelperLog.h"
#include "helperlink/HelperWire.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quellnet {

namespace {

std::nullopt_t refused(std::int32_t *status, QString *error, std::int32_t code, const QString &reason)
{
    if (status)
        *status = code;
    failWith(error, reason);
    return std::nullopt;
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

// The calling thread's file system identity becomes the caller's while this lives. The raw
// system calls act on this thread alone (glibc's wrappers would change every thread's
// credentials). While the file system uid is not 0, the kernel also takes the file capabilities
// (DAC_OVERRIDE, DAC_READ_SEARCH and the like) out of effect, and puts them back on return.
class CallerFileSystemIdentity
{
public:
    explicit CallerFileSystemIdentity(const CallerIdentity &caller)
    {
        const int count = ::getgroups(0, nullptr);
        m_savedGroups.resize(size_t(std::max(count, 0)));
        if (count < 0 || ::getgroups(count, m_savedGroups.data()) != count)
            return;
        // Order: groups and gid first, while the helper still holds root's identity.
        if (::syscall(SYS_setgroups, caller.groups.size(), caller.groups.data()) != 0)
            return;
        m_switched = true;
        ::syscall(SYS_setfsgid, caller.gid);
        ::syscall(SYS_setfsuid, caller.uid);
        // setfsuid() and setfsgid() report the previous value, never a failure: ask again.
        m_ok = uid_t(::syscall(SYS_setfsuid, uid_t(-1))) == caller.uid
            && gid_t(::syscall(SYS_setfsgid, gid_t(-1))) == caller.gid;
    }
    ~CallerFileSystemIdentity()
    {
        if (!m_switched)
            return;
        ::syscall(SYS_setfsuid, 0);
        ::syscall(SYS_setfsgid, 0);
        const bool restored = ::syscall(SYS_setgroups, m_savedGroups.size(), m_savedGroups.data()) == 0
            && ::syscall(SYS_setfsuid, uid_t(-1)) == 0 && ::syscall(SYS_setfsgid, gid_t(-1)) == 0;
        if (!restored) {
            // Serving on with another user's identity would be worse than not serving at all.
            HelperLog::write(QStringLiteral("cannot take back root's identity after reading a profile; stopping"));
            std::abort();
        }
    }
    CallerFileSystemIdentity(const CallerFileSystemIdentity &) = delete;
    CallerFileSystemIdentity &operator=(const CallerFileSystemIdentity &) = delete;

    bool ok() const { return m_ok; }

private:
    std::vector<gid_t> m_savedGroups;
    bool m_switched = false;
    bool m_ok = false;
};

} // namespace

std::optional<QByteArray> ProfileIntake::read(
    const QString &path, const CallerIdentity &caller, qsizetype maxSize, std::int32_t *status, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (!path.startsWith(QLatin1Char('/')) || native.contains('\0') || native.size() >= PATH_MAX)
        return refused(status, error, RunStatus::profileNotTrusted, QStringLiteral("not an absolute path"));

    std::optional<CallerFileSystemIdentity> identity;
    if (caller.uid != 0) {
        identity.emplace(caller);
        if (!identity->ok()) {
            return refused(status, error, RunStatus::helperFailure,
                QStringLiteral("cannot take on the caller's identity: %1").arg(qt_error_string(errno)));
        }
    }

    // O_NONBLOCK: a FIFO or a device must not hold the helper up before fstat() turns it away.
    const FileDescriptor fd(::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        const int openError = errno;
        if (openError == ELOOP)
            return refused(status, error, RunStatus::profileNotTrusted, QStringLiteral("is a symbolic link"));
        return refused(status, error, RunStatus::profileMissing,
            QStringLiteral("cannot be opened: %1").arg(qt_error_string(openError)));
    }

    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0)
        return refused(status, error, RunStatus::profileMissing, QStringLiteral("cannot be examined"));
    if (!S_ISREG(info.st_mode))
        return refused(status, error, RunStatus::profileNotTrusted, QStringLiteral("is not a regular file"));
    if (info.st_uid != caller.uid) {
        return refused(status, error, RunStatus::profileNotTrusted,
            QStringLiteral("is owned by uid %1, not by the caller").arg(info.st_uid));
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return refused(status, error, RunStatus::profileNotTrusted, QStringLiteral("is writable by group or others"));
    if (info.st_size > maxSize)
        return refused(
            status, error, RunStatus::profileRefused, QStringLiteral("is larger than %1 bytes").arg(maxSize));

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
            return refused(status, error, RunStatus::profileMissing,
                QStringLiteral("cannot be read: %1").arg(qt_error_string(errno)));
        }
        if (n == 0)
            break;
        total += n;
    }
    if (total > maxSize)
        return refused(
            status, error, RunStatus::profileRefused, QStringLiteral("is larger than %1 bytes").arg(maxSize));
    content.truncate(total);
    return content;
}

} // namespace quellnet
