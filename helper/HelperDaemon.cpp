#include "helper/HelperDaemon.h"

#include "base/Error.h"
#include "helper/AllowedUsers.h"
#include "helper/HelperLog.h"
#include "helper/ProfileAllowlist.h"
#include "helper/TrustedPath.h"
#include "helperlink/HelperWire.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

namespace quellnet {

namespace {

// A client that does not read its replies is dropped before it costs more than this.
constexpr qsizetype maxPendingOutput = qsizetype { 1024 } * 1024;

sockaddr_un socketAddress(const QByteArray &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return address;
}

// The peer's supplementary groups when it connected; none when the kernel cannot tell (the
// profile is then read with fewer rights, never with more).
std::vector<gid_t> peerGroups(int fd)
{
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto length = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE)
            break;
        groups.resize(length / sizeof(gid_t) + 1);
    }
    qCDebug(lcHelper) << "the peer's groups cannot be read:" << qt_error_string(errno);
    return {};
}

QString userList(const std::set<uid_t> &users)
{
    QStringList uids;
    for (uid_t uid : users)
        uids.append(QString::number(uid));
    return uids.isEmpty() ? QString() : QStringLiteral(" and uid ") + uids.join(QStringLiteral(", "));
}

std::int64_t millisecondsUntil(HelperDaemon::Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - HelperDaemon::Clock::now());
    return std::max<std::int64_t>(0, left.count());
}

} // namespace

HelperDaemon::HelperDaemon(Settings settings) : m_settings(std::move(settings)) { }

HelperDaemon::~HelperDaemon()
{
    for (auto &entry : m_sessions)
        ::close(entry.second.fd);
    if (m_watchFd >= 0)
        ::close(m_watchFd);
    stopListening();
}

int HelperDaemon::run()
{
    ::umask(077);
    // Nothing is ever read relative to where the helper was started.
    if (::chdir("/") != 0)
        return 1;
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    ::sigemptyset(&signals);
    for (int signal : { SIGTERM, SIGINT, SIGHUP, SIGCHLD })
        ::sigaddset(&signals, signal);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        HelperLog::write(QStringLiteral("cannot watch signals: %1").arg(qt_error_string(errno)));
        return 1;
    }

    QString error;
    if (!loadAllowedUsers(&error)) {
        HelperLog::write(QStringLiteral("refusing to start: allowed users: %1").arg(error));
        ::close(signalFd);
        return 1;
    }
    if (!prepareRuntimeDirectory(&error) || !listen(&error)) {
        HelperLog::write(error);
        ::close(signalFd);
        return 1;
    }
    watchAllowedUsers();
    m_supervisor.emplace(
        m_settings.openvpn, [this](const RunTicket &ticket, std::int32_t status) { onRunEnded(ticket, status); });
    HelperLog::write(QStringLiteral(QUELLNET_HELPER_ID " %1 serving %2 for root%3; openvpn %4, scripts in %5")
                         .arg(QStringLiteral(QUELLNET_VERSION), m_settings.socketPath, userList(m_allowedUsers),
                             m_settings.openvpn.openvpn, m_settings.openvpn.scriptsDir));

    bool stopping = false;
    while (!stopping || !m_supervisor->idle()) {
        std::vector<pollfd> fds;
        std::vector<std::uint64_t> serials;
        fds.push_back({ signalFd, POLLIN, 0 });
        const std::size_t listenIndex = fds.size();
        fds.push_back({ m_listenFd, POLLIN, 0 }); // ignored by poll() once it is -1
        const std::size_t watchIndex = fds.size();
        fds.push_back({ m_watchFd, POLLIN, 0 });
        const std::size_t firstSession = fds.size();
        for (const auto &[serial, session] : m_sessions) {
            const short events = short((stopping ? 0 : POLLIN) | (session.output.isEmpty() ? 0 : POLLOUT));
            fds.push_back({ session.fd, events, 0 });
            serials.push_back(serial);
        }

        std::optional<Clock::time_point> deadline = m_supervisor->nextDeadline();
        if (const std::optional<Clock::time_point> idle = nextIdleDeadline(); idle && !stopping)
            deadline = deadline ? std::min(*deadline, *idle) : *idle;
        const int timeout = deadline ? int(std::min<std::int64_t>(millisecondsUntil(*deadline), 60000)) : -1;
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            HelperLog::write(QStringLiteral("poll failed: %1").arg(qt_error_string(errno)));
            break;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info {};
            while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGCHLD) {
                    m_supervisor->reap();
                } else if (info.ssi_signo == SIGHUP) {
                    HelperLog::write(QStringLiteral("SIGHUP: reading the allowed users again"));
                    reloadAllowedUsers();
                } else if (!stopping) {
                    HelperLog::write(QStringLiteral("stopping on signal %1").arg(info.ssi_signo));
                    stopping = true;
                    stopListening();
                    m_supervisor->kill();
                }
            }
        }
        m_supervisor->onTimer();
        if (fds[watchIndex].fd >= 0 && (fds[watchIndex].revents & POLLIN))
            readWatchEvents();
        if (m_listenFd >= 0 && fds[listenIndex].fd == m_listenFd && (fds[listenIndex].revents & POLLIN))
            acceptClients();

        for (std::size_t i = 0; i < serials.size(); ++i) {
            const short revents = fds[firstSession + i].revents;
            auto it = m_sessions.find(serials[i]);
            if (it == m_sessions.end() || it->second.broken || revents == 0)
                continue;
            if (revents & POLLOUT)
                writeTo(it->second);
            if ((revents & (POLLIN | POLLHUP | POLLERR)) && stopping)
                it->second.broken = true;
            else if (revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(serials[i]);
        }
        if (!stopping)
            closeIdleSessions();
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            const auto next = std::next(it);
            if (it->second.broken)
                closeSession(it->first);
            it = next;
        }
    }

    // Last replies out, as far as the clients take them without waiting.
    for (auto &entry : m_sessions)
        writeTo(entry.second);
    while (!m_sessions.empty())
        closeSession(m_sessions.begin()->first);
    ::close(signalFd);
    m_supervisor.reset();
    HelperLog::write(QStringLiteral("stopped"));
    return 0;
}

bool HelperDaemon::prepareRuntimeDirectory(QString *error)
{
    const QByteArray native = QFile::encodeName(m_settings.openvpn.runtimeDir);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        failWith(
            error, QStringLiteral("cannot create %1: %2").arg(m_settings.openvpn.runtimeDir, qt_error_string(errno)));
        return false;
    }
    struct stat info = {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0
        || (info.st_mode & 077) != 0) {
        failWith(error,
            QStringLiteral("%1 must be a directory that only root can use (mode 0700)")
                .arg(m_settings.openvpn.runtimeDir));
        return false;
    }
    const std::optional<QString> resolved
        = TrustedPath::resolve(m_settings.openvpn.runtimeDir, TrustedPath::Kind::Directory, error);
    if (!resolved)
        return false;
    m_settings.openvpn.runtimeDir = *resolved;

    // Copies and management passwords left by an earlier run that did not end cleanly.
    QDir directory(*resolved);
    const QStringList stale = directory.entryList(
        { QStringLiteral("profile-*.ovpn"), QStringLiteral("management-*.pw") }, QDir::Files | QDir::System);
    for (const QString &name : stale)
        directory.remove(name);
    return true;
}

bool HelperDaemon::loadAllowedUsers(QString *error)
{
    std::set<uid_t> users = m_settings.allowedUsers;
    QStringList skipped;
    if (!m_settings.allowedUsersFile.isEmpty()
        && !AllowedUsers::readFile(m_settings.allowedUsersFile, users, skipped, error))
        return false;
    for (const QString &user : skipped)
        HelperLog::write(QStringLiteral("%1 names no user: %2 is skipped").arg(m_settings.allowedUsersFile, user));
    m_allowedUsers = std::move(users);
    return true;
}

void HelperDaemon::reloadAllowedUsers()
{
    const std::set<uid_t> before = m_allowedUsers;
    QString error;
    if (!loadAllowedUsers(&error)) {
        HelperLog::write(QStringLiteral("the allowed users stay as they were: %1").arg(error));
        return;
    }
    if (m_allowedUsers == before)
        return;
    HelperLog::write(QStringLiteral("now serving root%1").arg(userList(m_allowedUsers)));
    if (m_listenFd >= 0 && !restrictSocket(&error))
        HelperLog::write(error);
    for (auto &[serial, session] : m_sessions) {
        if (session.caller.uid != 0 && !m_allowedUsers.contains(session.caller.uid) && !session.broken) {
            HelperLog::write(
                QStringLiteral("closing the connection of %1: no longer an allowed user").arg(describe(session)));
            session.broken = true;
        }
    }
}

void HelperDaemon::watchAllowedUsers()
{
    if (m_settings.allowedUsersFile.isEmpty())
        return;
    const QString folder = QFileInfo(m_settings.allowedUsersFile).absolutePath();
    m_watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    constexpr std::uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB
        | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (m_watchFd < 0 || ::inotify_add_watch(m_watchFd, QFile::encodeName(folder).constData(), events) < 0) {
        HelperLog::write(QStringLiteral("cannot watch %1 (%2): send SIGHUP after changing the allowed users")
                             .arg(folder, qt_error_string(errno)));
        if (m_watchFd >= 0)
            ::close(m_watchFd);
        m_watchFd = -1;
    }
}

void HelperDaemon::readWatchEvents()
{
    const QByteArray name = QFile::encodeName(QFileInfo(m_settings.allowedUsersFile).fileName());
    bool changed = false;
    bool watchGone = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_watchFd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            const QByteArray eventName(event->name, qsizetype(::strnlen(event->name, event->len)));
            changed = changed || (event->mask & IN_Q_OVERFLOW) || eventName == name;
            watchGone = watchGone || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF));
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (watchGone) {
        HelperLog::write(QStringLiteral("the folder of %1 went away: send SIGHUP after changing the allowed users")
                             .arg(m_settings.allowedUsersFile));
        ::close(m_watchFd);
        m_watchFd = -1;
        changed = true;
    }
    if (changed)
        reloadAllowedUsers();
}

bool HelperDaemon::listen(QString *error)
{
    const QByteArray path = QFile::encodeName(m_settings.socketPath);
    if (!m_settings.socketPath.startsWith(QLatin1Char('/')) || size_t(path.size()) >= sizeof(sockaddr_un::sun_path)) {
        failWith(error, QStringLiteral("%1 cannot be a socket path").arg(m_settings.socketPath));
        return false;
    }
    // Anyone who could replace the socket could pose as the helper to its clients.
    if (!TrustedPath::directoryIsTrusted(QFileInfo(m_settings.socketPath).absolutePath(), error))
        return false;

    const sockaddr_un address = socketAddress(path);
    struct stat existing = {};
    if (::lstat(path.constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            failWith(error, QStringLiteral("%1 exists and is not a socket").arg(m_settings.socketPath));
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool served
            = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (served) {
            failWith(error, QStringLiteral("another helper already serves %1").arg(m_settings.socketPath));
            return false;
        }
        ::unlink(path.constData());
    }

    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        failWith(error, QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, qt_error_string(errno)));
        return false;
    }
    if (!restrictSocket(error))
        return false;
    struct stat bound = {};
    if (::lstat(path.constData(), &bound) != 0 || ::listen(m_listenFd, 64) != 0) {
        failWith(error, QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, qt_error_string(errno)));
        return false;
    }
    m_socketInode = bound.st_ino;
    return true;
}

bool HelperDaemon::restrictSocket(QString *error) const
{
    // Connecting takes write permission on the socket file. Root owns it with mode 0600, and an
    // access control list grants the allowed users the same, so no one else gets as far as a
    // connection. The peer's credentials still decide who is served.
    const QByteArray path = QFile::encodeName(m_settings.socketPath);
    if (::chmod(path.constData(), 0600) != 0) {
        failWith(error, QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, qt_error_string(errno)));
        return false;
    }
    if (m_allowedUsers.empty()) {
        // Users no longer allowed lose the list's entries too.
        if (::removexattr(path.constData(), "system.posix_acl_access") == 0 || errno == ENODATA || errno == EOPNOTSUPP)
            return true;
        failWith(error,
            QStringLiteral("cannot take the access control list off %1: %2")
                .arg(m_settings.socketPath, qt_error_string(errno)));
        return false;
    }

    QByteArray acl;
    auto append32 = [&acl](std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            acl.append(char((value >> shift) & 0xff));
    };
    auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
        append32(tag | std::uint32_t(permissions) << 16); // e_tag and e_perm, little-endian
        append32(id);
    };
    constexpr std::uint16_t readWrite = ACL_READ | ACL_WRITE;
    constexpr auto undefinedId = std::uint32_t(ACL_UNDEFINED_ID);
    // Entries in the kernel's order: by tag, users by uid (std::set is ordered).
    append32(POSIX_ACL_XATTR_VERSION);
    entry(ACL_USER_OBJ, readWrite, undefinedId);
    for (uid_t uid : m_allowedUsers)
        entry(ACL_USER, readWrite, uid);
    entry(ACL_GROUP_OBJ, 0, undefinedId);
    entry(ACL_MASK, readWrite, undefinedId);
    entry(ACL_OTHER, 0, undefinedId);
    if (::setxattr(path.constData(), "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0) == 0)
        return true;
    if (errno != EOPNOTSUPP) {
        failWith(error,
            QStringLiteral("cannot grant the allowed users access to %1: %2")
                .arg(m_settings.socketPath, qt_error_string(errno)));
        return false;
    }
    // A file system without access control lists: anyone may connect, and the peer's credentials
    // alone decide.
    HelperLog::write(QStringLiteral("%1 cannot carry an access control list; any local user may connect, and "
                                    "only root and the allowed users are served")
                         .arg(m_settings.socketPath));
    if (::chmod(path.constData(), 0666) != 0) {
        failWith(error, QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, qt_error_string(errno)));
        return false;
    }
    return true;
}

void HelperDaemon::stopListening()
{
    if (m_listenFd < 0)
        return;
    ::close(m_listenFd);
    m_listenFd = -1;
    // Only our own socket: a newer helper may already serve the path.
    const QByteArray path = QFile::encodeName(m_settings.socketPath);
    struct stat info = {};
    if (::lstat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_ino == m_socketInode)
        ::unlink(path.constData());
}

std::size_t HelperDaemon::connectionsOf(uid_t uid) const
{
    return std::size_t(std::count_if(m_sessions.begin(), m_sessions.end(),
        [uid](const auto &entry) { return entry.second.caller.uid == uid && !entry.second.broken; }));
}

void HelperDaemon::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
                HelperLog::write(QStringLiteral("accept failed: %1").arg(qt_error_string(errno)));
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            HelperLog::write(QStringLiteral("refused a connection: its credentials cannot be read"));
            ::close(fd);
            continue;
        }
        if (peer.uid != 0 && !m_allowedUsers.contains(peer.uid)) {
            HelperLog::write(QStringLiteral("refused a connection from uid %1 (pid %2): not an allowed user")
                                 .arg(peer.uid)
                                 .arg(peer.pid));
            ::close(fd);
            continue;
        }
        // Each user's own limit: no one can take the connections that others need.
        if (peer.uid != 0 && connectionsOf(peer.uid) >= m_settings.connectionsPerUser) {
            if (m_overLimitLogged.insert(peer.uid).second) {
                HelperLog::write(QStringLiteral("refusing connections from uid %1 (pid %2): it holds %3 already")
                                     .arg(peer.uid)
                                     .arg(peer.pid)
                                     .arg(m_settings.connectionsPerUser));
            }
            ::close(fd);
            continue;
        }
        Session session;
        session.fd = fd;
        session.caller.uid = peer.uid;
        session.caller.gid = peer.gid;
        session.caller.groups = peerGroups(fd);
        session.pid = peer.pid;
        session.idleDeadline = Clock::now() + m_settings.idleTimeout;
        const std::uint64_t serial = m_nextSerial++;
        qCDebug(lcHelper) << "connection" << serial << "from" << describe(session);
        m_sessions.emplace(serial, std::move(session));
    }
}

void HelperDaemon::readFrom(std::uint64_t serial)
{
    Session &session = m_sessions.at(serial);
    char buffer[65536];
    const ssize_t n = ::recv(session.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        qCDebug(lcHelper) << "connection" << serial << "closed by" << describe(session);
        session.broken = true;
        return;
    }
    session.input.append(buffer, n);

    qsizetype start = 0;
    for (qsizetype end = session.input.indexOf('\n'); end >= 0; end = session.input.indexOf('\n', start)) {
        // Copied out: handling a line may answer other sessions, which must not move this buffer.
        const QByteArray line = session.input.mid(start, end - start);
        start = end + 1;
        if (!handleLine(serial, line)) {
            m_sessions.at(serial).broken = true;
            return;
        }
        if (m_sessions.at(serial).broken)
            return;
    }
    Session &current = m_sessions.at(serial);
    current.input.remove(0, start);
    if (current.input.size() > HelperWire::maxLineLength) {
        HelperLog::write(QStringLiteral("closing the connection of %1: a line longer than %2 bytes")
                             .arg(describe(current))
                             .arg(HelperWire::maxLineLength));
        current.broken = true;
    }
}

void HelperDaemon::writeTo(Session &session)
{
    while (!session.output.isEmpty() && !session.broken) {
        const ssize_t n = ::send(
            session.fd, session.output.constData(), size_t(session.output.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            session.broken = true;
            return;
        }
        session.output.remove(0, n);
    }
}

bool HelperDaemon::handleLine(std::uint64_t serial, QByteArrayView line)
{
    Session &session = m_sessions.at(serial);
    const HelperDecoded<HelperRequest> decoded = HelperWire::decodeRequest(line);
    if (!decoded.message) {
        if (!decoded.id) {
            HelperLog::write(QStringLiteral("closing the connection of %1: %2").arg(describe(session), decoded.error));
            return false;
        }
        HelperLog::write(
            QStringLiteral("refused request %1 of %2: %3").arg(*decoded.id).arg(describe(session), decoded.error));
        HelperReply error;
        error.id = *decoded.id;
        error.kind = HelperReply::Kind::Error;
        error.text = QStringLiteral("The helper refused the request: %1.").arg(decoded.error);
        reply(serial, error);
        return true;
    }

    session.requested = true;
    const HelperRequest &request = *decoded.message;
    switch (request.operation) {
    case HelperRequest::Operation::GetVersion: {
        HelperReply version;
        version.id = request.id;
        version.kind = HelperReply::Kind::Version;
        version.text = QStringLiteral(QUELLNET_VERSION);
        reply(serial, version);
        break;
    }
    case HelperRequest::Operation::KillOpenVPN:
        handleKill(session);
        break;
    case HelperRequest::Operation::RunOpenVPN:
        handleRun(serial, request);
        break;
    case HelperRequest::Operation::GetRun:
        handleGetRun(serial, request);
        break;
    }
    return true;
}

void HelperDaemon::handleRun(std::uint64_t serial, const HelperRequest &request)
{
    const Session &session = m_sessions.at(serial);
    const QString who = describe(session);
    const CallerIdentity caller = session.caller;
    HelperLog::write(QStringLiteral("run request %1 of %2 for %3").arg(request.id).arg(who, request.config));

    auto refuse = [&](std::int32_t status, const QString &reason) {
        HelperLog::write(QStringLiteral("refused run request %1 of %2: %3").arg(request.id).arg(who, reason));
        HelperReply ended;
        ended.id = request.id;
        ended.kind = HelperReply::Kind::TerminationStatus;
        ended.terminationStatus = status;
        reply(serial, ended);
    };

    // Another user's tunnel stays up; only root may replace it.
    if (caller.uid != 0) {
        for (const RunTicket *run : { m_supervisor->running(), m_supervisor->waiting() }) {
            if (run && run->caller != caller.uid) {
                return refuse(RunStatus::otherUsersRun,
                    QStringLiteral("the openvpn of uid %1 %2")
                        .arg(run->caller)
                        .arg(run == m_supervisor->running() ? QStringLiteral("runs") : QStringLiteral("waits to run")));
            }
        }
    }

    std::int32_t status = 0;
    QString reason;
    const std::optional<QByteArray> profile
        = ProfileIntake::read(request.config, caller, ProfileAllowlist::maxProfileSize, &status, &reason);
    if (!profile)
        return refuse(status, QStringLiteral("%1 %2").arg(request.config, reason));
    const ProfileCheck check = ProfileAllowlist::check(*profile);
    if (!check.accepted)
        return refuse(check.status, QStringLiteral("%1: %2").arg(request.config, check.reason));

    // The request's script paths are never run: openvpn gets the helper's own scripts.
    RunTicket ticket;
    ticket.session = serial;
    ticket.requestId = request.id;
    ticket.caller = caller.uid;
    ticket.profile = check.sanitized;
    ticket.managementPassword = request.managementPassword;
    m_supervisor->requestRun(std::move(ticket));
}

void HelperDaemon::handleKill(const Session &session)
{
    const uid_t caller = session.caller.uid;
    const RunTicket *running = m_supervisor->running();
    const RunTicket *waiting = m_supervisor->waiting();
    if (caller == 0) {
        HelperLog::write(QStringLiteral("%1 asks to end openvpn").arg(describe(session)));
        m_supervisor->kill();
    } else if ((running && running->caller == caller) || (waiting && waiting->caller == caller)) {
        HelperLog::write(QStringLiteral("%1 asks to end its openvpn").arg(describe(session)));
        m_supervisor->kill(caller);
    } else if (running || waiting) {
        HelperLog::write(QStringLiteral("refused the kill request of %1: the openvpn belongs to uid %2")
                             .arg(describe(session))
                             .arg((running ? running : waiting)->caller));
    } else {
        HelperLog::write(QStringLiteral("%1 asks to end openvpn; none runs").arg(describe(session)));
    }
}

void HelperDaemon::handleGetRun(std::uint64_t serial, const HelperRequest &request)
{
    const uid_t caller = m_sessions.at(serial).caller.uid;
    const RunTicket *run = m_supervisor->running() ? m_supervisor->running() : m_supervisor->waiting();
    HelperReply answer;
    answer.id = request.id;
    answer.kind = HelperReply::Kind::Run;
    if (run) {
        HelperRun described;
        described.owner = run->caller;
        if (caller == 0 || caller == run->caller)
            described.managementPassword = run->managementPassword;
        answer.run = std::move(described);
    }
    reply(serial, answer);
}

void HelperDaemon::reply(std::uint64_t serial, const HelperReply &reply)
{
    const auto it = m_sessions.find(serial);
    if (it == m_sessions.end() || it->second.broken) {
        HelperLog::write(QStringLiteral("dropped the reply to request %1: its client has gone").arg(reply.id));
        return;
    }
    Session &session = it->second;
    session.output.append(HelperWire::encode(reply));
    writeTo(session);
    if (session.output.size() > maxPendingOutput) {
        HelperLog::write(
            QStringLiteral("closing the connection of %1: it does not read its replies").arg(describe(session)));
        session.broken = true;
    }
}

void HelperDaemon::closeIdleSessions()
{
    const Clock::time_point now = Clock::now();
    for (auto &[serial, session] : m_sessions) {
        if (session.requested || session.broken || now < session.idleDeadline)
            continue;
        HelperLog::write(QStringLiteral("closing the connection of %1: no request within %2 ms")
                             .arg(describe(session))
                             .arg(m_settings.idleTimeout.count()));
        session.broken = true;
    }
}

std::optional<HelperDaemon::Clock::time_point> HelperDaemon::nextIdleDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const auto &[serial, session] : m_sessions) {
        if (!session.requested && !session.broken && (!next || session.idleDeadline < *next))
            next = session.idleDeadline;
    }
    return next;
}

void HelperDaemon::closeSession(std::uint64_t serial)
{
    const auto it = m_sessions.find(serial);
    if (it == m_sessions.end())
        return;
    const uid_t uid = it->second.caller.uid;
    ::close(it->second.fd);
    m_sessions.erase(it);
    if (connectionsOf(uid) < m_settings.connectionsPerUser)
        m_overLimitLogged.erase(uid);
}

void HelperDaemon::onRunEnded(const RunTicket &ticket, std::int32_t status)
{
    HelperReply ended;
    ended.id = ticket.requestId;
    ended.kind = HelperReply::Kind::TerminationStatus;
    ended.terminationStatus = status;
    reply(ticket.session, ended);
}

QString HelperDaemon::describe(const Session &session) const
{
    return QStringLiteral("uid %1 (pid %2)").arg(session.caller.uid).arg(session.pid);
}

} // namespace quellnet
