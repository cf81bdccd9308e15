#pragma once

// What the tests of the root helper daemon share: clients that reach it as any uid, the daemon as a
// child process and its openvpn children.

#include "helperlink/HelperWire.h"
#include "tests/support/HelperSocketStandIn.h"
#include "tests/support/ProcFs.h"
#include "tests/support/TestTools.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstring>
#include <optional>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace quellnet::test {

using Op = HelperRequest::Operation;
using Kind = HelperReply::Kind;

inline const QString helperProgram = QStringLiteral(QUELLNET_BUILD_PREFIX "/lib/quellnet/" QUELLNET_HELPER_ID);
// A run's management password as the program makes them: 64 lowercase hex digits.
inline const QString testSecret = QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");

inline bool shell(const QString &directory, const QString &command)
{
    QProcess sh;
    sh.setWorkingDirectory(directory);
    sh.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sh.start(QStringLiteral("/bin/sh"), { QStringLiteral("-ec"), command });
    return sh.waitForFinished(30000) && sh.exitStatus() == QProcess::NormalExit && sh.exitCode() == 0;
}

// In `folder`: a test CA (ca.crt, ca.key) and valid.ovpn (0600), a client profile that openvpn accepts
// and that then waits for a server that never answers, until it is ended.
inline bool makeWaitingProfile(const QString &folder)
{
    return shell(folder,
        QStringLiteral(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=test-ca -keyout ca.key -out ca.crt 2>/dev/null\n"
            "printf 'client\\ndev tun\\nremote 127.0.0.1 9 udp\\nnobind\\nauth-user-pass\\n<ca>\\n' >valid.ovpn\n"
            "(cat ca.crt; echo '</ca>') >>valid.ovpn; chmod 600 valid.ovpn"));
}

// Who a client connects as: the uid, its primary group and its supplementary groups.
struct Identity
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;

    // A local user's identity as a login would give it; a uid without an account gets a group of
    // the same number and no others.
    static Identity of(uid_t uid)
    {
        Identity identity { uid, gid_t(uid), {} };
        if (const passwd *user = ::getpwuid(uid)) {
            identity.gid = user->pw_gid;
            int count = 64;
            identity.groups.resize(size_t(count));
            if (::getgrouplist(user->pw_name, user->pw_gid, identity.groups.data(), &count) < 0) {
                identity.groups.resize(size_t(count));
                ::getgrouplist(user->pw_name, user->pw_gid, identity.groups.data(), &count);
            }
            identity.groups.resize(size_t(count));
        }
        return identity;
    }
};

// A blocking client whose peer credentials, as the kernel reports them, are `identity`'s. With
// Access::DaemonOnly its file system uid stays root's, so the socket file lets it through and only
// the daemon's own check is left; with Access::AsTheUser the socket file's permissions count too.
class Client : public QLocalSocket
{
public:
    enum class Access { DaemonOnly, AsTheUser };

    explicit Client(const QString &path, uid_t uid = 0, Access access = Access::DaemonOnly)
        : Client(path, Identity::of(uid), access)
    { }
    Client(const QString &path, const Identity &identity, Access access)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address { AF_UNIX, {} };
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        // Raw system calls change this thread's credentials only, not the whole process's: the
        // groups and the gid first, while this thread still holds root's capabilities.
        std::vector<gid_t> saved(size_t(std::max(::getgroups(0, nullptr), 0)));
        ::getgroups(int(saved.size()), saved.data());
        ::syscall(SYS_setgroups, identity.groups.size(), identity.groups.data());
        ::syscall(SYS_setresgid, -1, identity.gid, -1);
        ::syscall(SYS_setresuid, -1, identity.uid, -1);
        if (access == Access::DaemonOnly)
            ::syscall(SYS_setfsuid, 0);
        m_connectError = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 0 : errno;
        ::syscall(SYS_setresuid, -1, 0, -1);
        ::syscall(SYS_setresgid, -1, 0, -1);
        ::syscall(SYS_setgroups, saved.size(), saved.data());
        if (m_connectError != 0 || !setSocketDescriptor(fd))
            ::close(fd);
    }
    int connectError() const { return m_connectError; }
    bool send(const QByteArray &bytes) { return write(bytes) == bytes.size() && waitForBytesWritten(5000); }
    bool send(HelperRequest request)
    {
        if (request.operation == HelperRequest::Operation::RunOpenVPN && request.managementPassword.isEmpty())
            request.managementPassword = testSecret;
        return send(HelperWire::encode(request));
    }
    bool send(std::uint64_t id, HelperRequest::Operation operation, const QString &config = {},
        const QString &script = QStringLiteral("/none"))
    {
        return send(HelperRequest { id, operation, config, script, script, {} });
    }
    bool hasLine(int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!canReadLine() && waitForReadyRead(int(deadline.remainingTime()))) { }
        return canReadLine();
    }
    HelperReply reply(int timeoutMs = 5000)
    {
        return hasLine(timeoutMs) ? HelperWire::decodeReply(readLine()).message.value_or(HelperReply {})
                                  : HelperReply {};
    }
    bool closedWithoutReply(int timeoutMs = 5000)
    {
        return !hasLine(timeoutMs) && state() == UnconnectedState && bytesAvailable() == 0;
    }

private:
    int m_connectError = 0;
};

inline HelperReply terminated(std::uint64_t id, int status)
{
    return { id, HelperReply::Kind::TerminationStatus, {}, status, {} };
}

// The children of `parent` that have not ended.
inline QList<pid_t> childrenOf(pid_t parent)
{
    QList<pid_t> children;
    for (const QByteArray &child : ProcFs::read(QStringLiteral("/proc/%1/task/%1/children").arg(parent)).split(' ')) {
        if (parent > 0 && ProcFs::isRunning(child.toInt()))
            children.append(child.toInt());
    }
    return children;
}

// The one openvpn that `daemon` runs, other than `notThisOne`; 0 if none comes.
inline pid_t waitForOpenVPN(pid_t daemon, pid_t notThisOne = 0)
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const QList<pid_t> children = childrenOf(daemon);
        if (children.size() == 1 && children.first() != notThisOne
            && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(children.first())).endsWith(u"/openvpn"))
            return children.first();
        QTest::qWait(50);
    }
    return 0;
}

// The helper daemon as a child of the test, ended with SIGTERM.
class Daemon : public QProcess
{
public:
    Daemon()
    {
        setProcessChannelMode(QProcess::MergedChannels);
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~Daemon() override { stop(); }
    void stop()
    {
        if (state() == Running && ::kill(pid(), SIGTERM) == 0)
            waitForFinished(15000);
    }
    pid_t pid() const { return pid_t(processId()); }
    QString log() { return m_log += QString::fromUtf8(readAll()); }
    bool waitForLog(const QString &fragment, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!log().contains(fragment)) {
            if (deadline.hasExpired() || state() != Running)
                return false;
            waitForReadyRead(50);
        }
        return true;
    }

private:
    QString m_log;
};

} // namespace quellnet::test
