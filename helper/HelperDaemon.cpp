#include "helper/HelperDaemon.h"

#include "helper/HelperLog.h"
#include "helper/ProfileAllowlist.h"
#include "helper/ProfileIntake.h"
#include "helper/RunStatus.h"
#include "helper/TrustedPath.h"
#include "helperlink/HelperWire.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHelper, "quellnet.helper", QtInfoMsg)

namespace quellnet {

namespace {

// More clients than the program and a few tools would ever open at once.
constexpr std::size_t maxSessions = 64;
// A client that does not read its replies is dropped before it costs more than this.
constexpr qsizetype maxPendingOutput = qsizetype { 1024 } * 1024;

QString errnoText(int error)
{
    return qt_error_string(error);
}

sockaddr_un socketAddress(const QByteArray &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return address;
}

} // namespace

HelperDaemon::HelperDaemon(Settings settings) : m_settings(std::move(settings)) { }

HelperDaemon::~HelperDaemon()
{
    for (auto &entry : m_sessions)
        ::close(entry.second.fd);
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
        HelperLog::write(QStringLiteral("cannot watch signals: %1").arg(errnoText(errno)));
        return 1;
    }

    QString problem;
    if (!prepareRuntimeDirectory(problem) || !listen(problem)) {
        HelperLog::write(problem);
        ::close(signalFd);
        return 1;
    }
    m_supervisor.emplace(
        m_settings.openvpn, [this](const RunTicket &ticket, std::int32_t status) { onRunEnded(ticket, status); });
    QStringList users;
    for (uid_t uid : m_settings.allowedUsers)
        users.append(QString::number(uid));
    HelperLog::write(
        QStringLiteral(QUELLNET_HELPER_ID " %1 serving %2 for root%3; openvpn %4, scripts in %5")
            .arg(QStringLiteral(QUELLNET_VERSION), m_settings.socketPath,
                users.isEmpty() ? QString() : QStringLiteral(" and uid ") + users.join(QStringLiteral(", ")),
                m_settings.openvpn.openvpn, m_settings.openvpn.scriptsDir));

    bool stopping = false;
    while (!stopping || !m_supervisor->idle()) {
        std::vector<pollfd> fds;
        std::vector<std::uint64_t> serials;
        fds.push_back({ signalFd, POLLIN, 0 });
        if (m_listenFd >= 0)
            fds.push_back({ m_listenFd, POLLIN, 0 });
        const std::size_t firstSession = fds.size();
        for (const auto &[serial, session] : m_sessions) {
            const short events = short((stopping ? 0 : POLLIN) | (session.output.isEmpty() ? 0 : POLLOUT));
            fds.push_back({ session.fd, events, 0 });
            serials.push_back(serial);
        }

        int timeout = -1;
        if (const auto deadline = m_supervisor->nextDeadline()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - OpenVPNSupervisor::Clock::now());
            timeout = int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            HelperLog::write(QStringLiteral("poll failed: %1").arg(errnoText(errno)));
            break;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info {};
            while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGCHLD) {
                    m_supervisor->reap();
                } else if (info.ssi_signo == SIGHUP) {
                    HelperLog::write(QStringLiteral("SIGHUP ignored; restart the helper to change its settings"));
                } else if (!stopping) {
                    HelperLog::write(QStringLiteral("stopping on signal %1").arg(info.ssi_signo));
                    stopping = true;
                    stopListening();
                    m_supervisor->kill();
                }
            }
        }
        m_supervisor->onTimer();
        if (m_listenFd >= 0 && (fds[1].revents & POLLIN))
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

bool HelperDaemon::prepareRuntimeDirectory(QString &problem)
{
    const QByteArray native = QFile::encodeName(m_settings.openvpn.runtimeDir);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        problem = QStringLiteral("cannot create %1: %2").arg(m_settings.openvpn.runtimeDir, errnoText(errno));
        return false;
    }
    struct stat info = {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0
        || (info.st_mode & 077) != 0) {
        problem = QStringLiteral("%1 must be a directory that only root can use (mode 0700)")
                      .arg(m_settings.openvpn.runtimeDir);
        return false;
    }
    const QString resolved = TrustedPath::resolve(m_settings.openvpn.runtimeDir, TrustedPath::Kind::Directory, problem);
    if (resolved.isEmpty())
        return false;
    m_settings.openvpn.runtimeDir = resolved;

    // Copies left by an earlier run that did not end cleanly.
    QDir directory(resolved);
    for (const QString &stale : directory.entryList({ QStringLiteral("profile-*.ovpn") }, QDir::Files | QDir::System))
        directory.remove(stale);
    return true;
}

bool HelperDaemon::listen(QString &problem)
{
    const QByteArray path = QFile::encodeName(m_settings.socketPath);
    if (!m_settings.socketPath.startsWith(QLatin1Char('/')) || size_t(path.size()) >= sizeof(sockaddr_un::sun_path)) {
        problem = QStringLiteral("%1 cannot be a socket path").arg(m_settings.socketPath);
        return false;
    }
    // Anyone who could replace the socket could pose as the helper to its clients.
    if (!TrustedPath::directoryIsTrusted(QFileInfo(m_settings.socketPath).absolutePath(), problem))
        return false;

    const sockaddr_un address = socketAddress(path);
    struct stat existing = {};
    if (::lstat(path.constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            problem = QStringLiteral("%1 exists and is not a socket").arg(m_settings.socketPath);
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool served
            = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (served) {
            problem = QStringLiteral("another helper already serves %1").arg(m_settings.socketPath);
            return false;
        }
        ::unlink(path.constData());
    }

    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        problem = QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, errnoText(errno));
        return false;
    }
    if (!restrictSocket(path, problem))
        return false;
    struct stat bound = {};
    if (::lstat(path.constData(), &bound) != 0 || ::listen(m_listenFd, 64) != 0) {
        problem = QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, errnoText(errno));
        return false;
    }
    m_socketInode = bound.st_ino;
    return true;
}

bool HelperDaemon::restrictSocket(const QByteArray &path, QString &problem) const
{
    // Connecting takes write permission on the socket file. Root owns it with mode 0600, and an
    // access control list grants the allowed users the same, so no one else gets as far as a
    // connection. The peer's credentials still decide who is served.
    if (::chmod(path.constData(), 0600) != 0) {
        problem = QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, errnoText(errno));
        return false;
    }
    if (m_settings.allowedUsers.empty())
        return true;

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
    for (uid_t uid : m_settings.allowedUsers)
        entry(ACL_USER, readWrite, uid);
    entry(ACL_GROUP_OBJ, 0, undefinedId);
    entry(ACL_MASK, readWrite, undefinedId);
    entry(ACL_OTHER, 0, undefinedId);
    if (::setxattr(path.constData(), "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0) == 0)
        return true;
    if (errno != EOPNOTSUPP) {
        problem = QStringLiteral("cannot grant the allowed users access to %1: %2")
                      .arg(m_settings.socketPath, errnoText(errno));
        return false;
    }
    // A file system without access control lists: anyone may connect, and the peer's credentials
    // alone decide.
    HelperLog::write(QStringLiteral("%1 cannot carry an access control list; any local user may connect, and "
                                    "only root and the allowed users are served")
                         .arg(m_settings.socketPath));
    if (::chmod(path.constData(), 0666) != 0) {
        problem = QStringLiteral("cannot serve %1: %2").arg(m_settings.socketPath, errnoText(errno));
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

void HelperDaemon::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
                HelperLog::write(QStringLiteral("accept failed: %1").arg(errnoText(errno)));
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
        if (peer.uid != 0 && !m_settings.allowedUsers.contains(peer.uid)) {
            HelperLog::write(QStringLiteral("refused a connection from uid %1 (pid %2): not an allowed user")
                                 .arg(peer.uid)
                                 .arg(peer.pid));
            ::close(fd);
            continue;
        }
        if (m_sessions.size() >= maxSessions) {
            HelperLog::write(QStringLiteral("refused a connection from uid %1 (pid %2): too many connections")
                                 .arg(peer.uid)
                                 .arg(peer.pid));
            ::close(fd);
            continue;
        }
        Session session;
        session.fd = fd;
        session.uid = peer.uid;
        session.pid = peer.pid;
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
    const Session &session = m_sessions.at(serial);
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
        HelperLog::write(QStringLiteral("%1 asks to end openvpn").arg(describe(session)));
        m_supervisor->kill();
        break;
    case HelperRequest::Operation::RunOpenVPN:
        handleRun(serial, request);
        break;
    }
    return true;
}

void HelperDaemon::handleRun(std::uint64_t serial, const HelperRequest &request)
{
    const Session &session = m_sessions.at(serial);
    const QString who = describe(session);
    const uid_t caller = session.uid;
    HelperLog::write(QStringLiteral("run request %1 of %2 for %3").arg(request.id).arg(who, request.config));

    auto refuse = [&](std::int32_t status, const QString &reason) {
        HelperLog::write(QStringLiteral("refused run request %1 of %2: %3").arg(request.id).arg(who, reason));
        HelperReply ended;
        ended.id = request.id;
        ended.kind = HelperReply::Kind::TerminationStatus;
        ended.terminationStatus = status;
        reply(serial, ended);
    };

    const ProfileIntake::Result intake = ProfileIntake::read(request.config, caller, ProfileAllowlist::maxProfileSize);
    if (!intake.ok)
        return refuse(intake.status, QStringLiteral("%1 %2").arg(request.config, intake.reason));
    const ProfileCheck check = ProfileAllowlist::check(intake.content);
    if (!check.accepted)
        return refuse(RunStatus::profileRefused, QStringLiteral("%1: %2").arg(request.config, check.reason));

    // The request's script paths are never run: openvpn gets the helper's own scripts.
    RunTicket ticket;
    ticket.session = serial;
    ticket.requestId = request.id;
    ticket.caller = caller;
    ticket.profile = check.sanitized;
    m_supervisor->requestRun(std::move(ticket));
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

void HelperDaemon::closeSession(std::uint64_t serial)
{
    const auto it = m_sessions.find(serial);
    if (it == m_sessions.end())
        return;
    ::close(it->second.fd);
    m_sessions.erase(it);
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
    return QStringLiteral("uid %1 (pid %2)").arg(session.uid).arg(session.pid);
}

} // namespace quellnet
