#include "helper/ResolverState.h"

#include "base/Error.h"
#include "helper/HelperLog.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellnet {

namespace {

bool exists(const QByteArray &path)
{
    struct stat info = {};
    return ::lstat(path.constData(), &info) == 0;
}

std::optional<QByteArray> regularFileContent(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info = {};
    QByteArray content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0)
                content.append(buffer, n);
        }
        ::close(fd);
        if (n == 0)
            return content;
        return std::nullopt;
    }
    ::close(fd);
    return std::nullopt;
}

bool writeAll(int fd, const QByteArray &content)
{
    qsizetype written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

// One netlink request that the kernel acknowledges; true on success or when the route was gone.
bool deleteRoute(int fd, QByteArray message, std::uint32_t sequence)
{
    auto *header = reinterpret_cast<nlmsghdr *>(message.data());
    header->nlmsg_type = RTM_DELROUTE;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    header->nlmsg_seq = sequence;
    if (::send(fd, message.constData(), size_t(message.size()), 0) != message.size())
        return false;
    alignas(nlmsghdr) char reply[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < ssize_t(sizeof(nlmsghdr) + sizeof(nlmsgerr)))
            return false;
        const auto *answer = reinterpret_cast<const nlmsghdr *>(reply);
        if (answer->nlmsg_seq != sequence || answer->nlmsg_type != NLMSG_ERROR)
            continue;
        const auto *result = reinterpret_cast<const nlmsgerr *>(reply + NLMSG_HDRLEN);
        return result->error == 0 || result->error == -ESRCH;
    }
}

// A device name as client.up checks it: nothing a program could take for an option or a path.
bool isDeviceName(const QByteArray &name)
{
    if (name.isEmpty() || name.size() > 15 || name.startsWith('-'))
        return false;
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.'
                || c == '-'))
            return false;
    }
    return true;
}

// Waits up to `timeoutMs` for the child without spinning (a pidfd where the kernel has them), then
// kills it. Its exit status, or -1.
int awaitChild(pid_t pid, int timeoutMs)
{
    int status = 0;
#ifdef SYS_pidfd_open
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd ended = { pidfd, POLLIN, 0 };
        while (::poll(&ended, 1, timeoutMs) < 0 && errno == EINTR) { }
        ::close(pidfd);
    }
#endif
    for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= timeoutMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

ResolverState::ResolverState(QString stateDir, QString resolvConf, QString resolvconf)
    : m_stateDir(std::move(stateDir)), m_resolvConf(std::move(resolvConf)), m_resolvconf(std::move(resolvconf))
{
    if (m_resolvconf.isEmpty()) {
        for (const char *candidate : { "/usr/sbin/resolvconf", "/sbin/resolvconf", "/usr/bin/resolvconf" }) {
            if (::access(candidate, X_OK) == 0) {
                m_resolvconf = QString::fromLatin1(candidate);
                break;
            }
        }
    }
}

void ResolverState::restoreLeftovers() const
{
    QString error;
    if (!restoreResolvConf(&error))
        HelperLog::write(error);
    if (!dropResolvconfRecord(&error))
        HelperLog::write(error);
    const int removed = removeIpv6Guard(&error);
    if (removed < 0)
        HelperLog::write(QStringLiteral("cannot lift the IPv6 block of the tunnel: %1").arg(error));
    else if (removed > 0)
        HelperLog::write(QStringLiteral("lifted the IPv6 block the tunnel left (%1 routes)").arg(removed));
    QFile::remove(m_stateDir + QStringLiteral("/dns-method"));
}

bool ResolverState::dropResolvconfRecord(QString *error) const
{
    QFile record(m_stateDir + QStringLiteral("/dns-method"));
    if (!record.open(QIODevice::ReadOnly))
        return true;
    const QList<QByteArray> words = record.readLine(64).trimmed().split(' ');
    if (words.value(0) != "resolvconf")
        return true;
    const QByteArray device = words.value(1);
    if (!isDeviceName(device))
        return failWith(error, QStringLiteral("the resolvconf record's device is not a device name"));
    if (m_resolvconf.isEmpty())
        return failWith(
            error, QStringLiteral("resolvconf is gone; the record of %1 stays").arg(QString::fromLatin1(device)));

    const QByteArray program = QFile::encodeName(m_resolvconf);
    QByteArray name = device + ".quellnet";
    char option[] = "-d";
    char *argv[] = { const_cast<char *>(program.constData()), option, name.data(), nullptr };
    static char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = { path, nullptr };
    posix_spawn_file_actions_t files;
    ::posix_spawn_file_actions_init(&files);
    ::posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&files, STDERR_FILENO, STDOUT_FILENO);
    // The daemon's blocked and ignored signals are its own, not resolvconf's.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none, pipe;
    ::sigemptyset(&none);
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &pipe);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, program.constData(), &files, &attributes, argv, envp);
    ::posix_spawn_file_actions_destroy(&files);
    ::posix_spawnattr_destroy(&attributes);
    if (spawnError != 0)
        return failWith(error, QStringLiteral("cannot run %1: %2").arg(m_resolvconf, qt_error_string(spawnError)));
    // resolvconf rewrites a file or two; anything longer is stuck.
    const int status = awaitChild(pid, 3000);
    if (status != 0)
        return failWith(error,
            QStringLiteral("%1 -d %2 failed (status %3)").arg(m_resolvconf, QString::fromLatin1(name)).arg(status));
    HelperLog::write(QStringLiteral("deleted the resolvconf record %1 the tunnel left").arg(QString::fromLatin1(name)));
    return true;
}

bool ResolverState::restoreResolvConf(QString *error) const
{
    const QByteArray backup = QFile::encodeName(m_stateDir + QStringLiteral("/resolv.conf.backup"));
    const QByteArray ours = QFile::encodeName(m_stateDir + QStringLiteral("/resolv.conf.ours"));
    const QByteArray absent = QFile::encodeName(m_stateDir + QStringLiteral("/resolv.conf.absent"));
    const QByteArray target = QFile::encodeName(m_resolvConf);
    auto forget = [&] {
        ::unlink(backup.constData());
        ::unlink(ours.constData());
        ::unlink(absent.constData());
    };

    const bool hadNoFile = exists(absent);
    if (!exists(backup) && !hadNoFile) {
        ::unlink(ours.constData());
        return true;
    }
    const std::optional<QByteArray> current = regularFileContent(target);
    const std::optional<QByteArray> written = regularFileContent(ours);
    if (!current || !written || *current != *written) {
        HelperLog::write(
            QStringLiteral("%1 was replaced by someone else while the tunnel was up; theirs stays").arg(m_resolvConf));
        forget();
        return true;
    }
    if (hadNoFile) {
        ::unlink(target.constData());
        HelperLog::write(QStringLiteral("removed %1 again, as before the tunnel").arg(m_resolvConf));
        forget();
        return true;
    }

    // A new entry beside the file, renamed over it: readers see the old file or the new one.
    const QByteArray temporary = QFile::encodeName(
        QFileInfo(m_resolvConf).absolutePath() + QStringLiteral("/.resolv.conf.quellnet.%1").arg(::getpid()));
    ::unlink(temporary.constData());
    struct stat info = {};
    if (::lstat(backup.constData(), &info) != 0)
        return failWith(
            error, QStringLiteral("cannot read the backup of %1: %2").arg(m_resolvConf, qt_error_string(errno)));
    std::optional<QByteArray> original;
    if (S_ISLNK(info.st_mode)) {
        QByteArray link(4096, Qt::Uninitialized);
        const ssize_t length = ::readlink(backup.constData(), link.data(), size_t(link.size()));
        if (length <= 0 || length >= link.size()
            || ::symlink(link.left(length).constData(), temporary.constData()) != 0)
            return failWith(
                error, QStringLiteral("cannot restore the link %1: %2").arg(m_resolvConf, qt_error_string(errno)));
    } else {
        original = regularFileContent(backup);
        if (!original)
            return failWith(error, QStringLiteral("cannot read the backup of %1").arg(m_resolvConf));
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        const bool ok = fd >= 0 && ::fchmod(fd, 0644) == 0 && writeAll(fd, *original) && ::fsync(fd) == 0;
        const int writeError = errno;
        if (fd >= 0)
            ::close(fd);
        if (!ok) {
            ::unlink(temporary.constData());
            return failWith(error,
                QStringLiteral("cannot write %1: %2").arg(QFile::decodeName(temporary), qt_error_string(writeError)));
        }
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.constData());
        // A path that cannot be renamed over (a bind mount) gets its content back in place.
        const int fd = original ? ::open(target.constData(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC) : -1;
        const bool ok = fd >= 0 && writeAll(fd, *original);
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return failWith(error,
                QStringLiteral("cannot put %1 back (the original stays in %2): %3")
                    .arg(m_resolvConf, QFile::decodeName(backup), qt_error_string(renameError)));
    }
    HelperLog::write(QStringLiteral("restored %1, which the tunnel had replaced").arg(m_resolvConf));
    forget();
    return true;
}

int ResolverState::removeIpv6Guard(QString *error)
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        failWith(error, qt_error_string(errno));
        return -1;
    }
    struct
    {
        nlmsghdr header;
        rtmsg route;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = AF_INET6;

    std::vector<QByteArray> guardRoutes;
    bool complete = ::send(fd, &request, sizeof request, 0) == ssize_t(sizeof request);
    bool done = !complete;
    alignas(nlmsghdr) static char buffer[65536];
    while (!done) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            complete = false;
            break;
        }
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer); n >= ssize_t(sizeof(nlmsghdr))
             && header->nlmsg_len >= sizeof(nlmsghdr) && ssize_t(header->nlmsg_len) <= n;) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                complete = header->nlmsg_type == NLMSG_DONE;
                done = true;
                break;
            }
            if (header->nlmsg_type == RTM_NEWROUTE && header->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) {
                const auto *route
                    = reinterpret_cast<const rtmsg *>(reinterpret_cast<const char *>(header) + NLMSG_HDRLEN);
                if (route->rtm_protocol == ipv6GuardProtocol && route->rtm_table == RT_TABLE_MAIN)
                    guardRoutes.emplace_back(reinterpret_cast<const char *>(header), qsizetype(header->nlmsg_len));
            }
            const std::uint32_t step = NLMSG_ALIGN(header->nlmsg_len);
            n -= ssize_t(step);
            header = reinterpret_cast<nlmsghdr *>(reinterpret_cast<char *>(header) + step);
        }
    }
    int removed = 0;
    std::uint32_t sequence = 2;
    for (const QByteArray &route : guardRoutes) {
        if (deleteRoute(fd, route, sequence++))
            ++removed;
        else
            complete = false;
    }
    ::close(fd);
    if (!complete) {
        failWith(error,
            QStringLiteral("the kernel did not list or delete every route of protocol %1").arg(ipv6GuardProtocol));
        return -1;
    }
    return removed;
}

} // namespace quellnet
