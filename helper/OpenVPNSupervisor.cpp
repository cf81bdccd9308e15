#include "helper/OpenVPNSupervisor.h"

#include "base/Error.h"
#include "helper/HelperLog.h"
#include "helperlink/HelperWire.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace quellnet {

namespace {

// Marks every descriptor from 3 up close-on-exec. Runs in the forked child: system calls only.
void closeOnExecFrom3()
{
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (limit > 0 ? limit : 1024); ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

std::int32_t statusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return RunStatus::signalled(WTERMSIG(waitStatus));
    return RunStatus::helperFailure;
}

} // namespace

OpenVPNSupervisor::OpenVPNSupervisor(Settings settings, Completion completion)
    : m_settings(std::move(settings)), m_completion(std::move(completion)), m_resolverState(m_settings.runtimeDir)
{
    // Name resolution and IPv6 as an earlier helper's tunnel left them, if it died with one up.
    m_resolverState.restoreLeftovers();
}

OpenVPNSupervisor::~OpenVPNSupervisor()
{
    // The daemon waits for idle() before it goes; this is the last resort.
    if (m_running) {
        ::kill(-m_running->pid, SIGKILL);
        ::kill(m_running->pid, SIGKILL);
        ::waitpid(m_running->pid, nullptr, 0);
        QFile::remove(m_running->profileCopy);
        QFile::remove(m_running->passwordFile);
    }
}

void OpenVPNSupervisor::requestRun(RunTicket ticket)
{
    if (m_waiting) {
        HelperLog::write(
            QStringLiteral("run request %1 is dropped: a newer one came before it started").arg(m_waiting->requestId));
        complete(*m_waiting, RunStatus::superseded);
    }
    m_waiting = std::move(ticket);
    if (!m_running) {
        startWaiting();
        return;
    }
    // The earlier openvpn normally ends by itself (the client stops it first); give it a while.
    if (!m_running->terminateAt && !m_running->killAt)
        m_running->terminateAt = Clock::now() + m_settings.grace;
}

void OpenVPNSupervisor::kill(std::optional<uid_t> owner)
{
    if (m_waiting && (!owner || m_waiting->caller == *owner)) {
        HelperLog::write(
            QStringLiteral("run request %1 is dropped: openvpn was asked to end").arg(m_waiting->requestId));
        const RunTicket dropped = std::move(*m_waiting);
        m_waiting.reset();
        complete(dropped, RunStatus::superseded);
    }
    if (m_running && !m_running->killAt && (!owner || m_running->ticket.caller == *owner))
        terminate();
}

void OpenVPNSupervisor::terminate()
{
    HelperLog::write(QStringLiteral("sending SIGTERM to openvpn (pid %1)").arg(m_running->pid));
    ::kill(m_running->pid, SIGTERM);
    m_running->terminateAt.reset();
    m_running->killAt = Clock::now() + m_settings.grace;
}

void OpenVPNSupervisor::onTimer()
{
    if (!m_running)
        return;
    const Clock::time_point now = Clock::now();
    if (m_running->terminateAt && now >= *m_running->terminateAt) {
        terminate();
    } else if (m_running->killAt && now >= *m_running->killAt) {
        HelperLog::write(QStringLiteral("openvpn (pid %1) outlived SIGTERM; sending SIGKILL").arg(m_running->pid));
        // The whole session, so that a script it is waiting for goes as well.
        ::kill(-m_running->pid, SIGKILL);
        ::kill(m_running->pid, SIGKILL);
        m_running->killAt.reset();
    }
}

std::optional<OpenVPNSupervisor::Clock::time_point> OpenVPNSupervisor::nextDeadline() const
{
    if (!m_running)
        return std::nullopt;
    return m_running->terminateAt ? m_running->terminateAt : m_running->killAt;
}

void OpenVPNSupervisor::reap()
{
    for (;;) {
        int waitStatus = 0;
        const pid_t pid = ::waitpid(-1, &waitStatus, WNOHANG);
        if (pid <= 0)
            return;
        if (!m_running || pid != m_running->pid)
            continue;
        const std::int32_t status = statusOf(waitStatus);
        HelperLog::write(QStringLiteral("openvpn (pid %1) ended with status %2").arg(pid).arg(status));
        QFile::remove(m_running->profileCopy);
        QFile::remove(m_running->passwordFile);
        // Run end: what client.up changed, when openvpn went without running client.down.
        m_resolverState.restoreLeftovers();
        const RunTicket ticket = std::move(m_running->ticket);
        m_running.reset();
        complete(ticket, status);
        if (m_waiting)
            startWaiting();
    }
}

void OpenVPNSupervisor::startWaiting()
{
    while (m_waiting && !m_running) {
        RunTicket ticket = std::move(*m_waiting);
        m_waiting.reset();

        QString problem;
        const QString name = QStringLiteral("%1-%2").arg(::getpid()).arg(++m_fileSerial);
        const std::optional<QString> copy
            = writePrivateFile(QStringLiteral("profile-%1.ovpn").arg(name), ticket.profile, &problem);
        ticket.profile.clear();
        // openvpn takes the first line of the file as the password.
        const std::optional<QString> passwordFile = copy
            ? writePrivateFile(
                QStringLiteral("management-%1.pw").arg(name), ticket.managementPassword.toLatin1() + '\n', &problem)
            : std::nullopt;
        pid_t pid = 0;
        if (passwordFile)
            pid = spawn(*copy, *passwordFile, &problem);
        if (pid <= 0) {
            for (const std::optional<QString> &file : { copy, passwordFile }) {
                if (file)
                    QFile::remove(*file);
            }
            HelperLog::write(QStringLiteral("run request %1 failed: %2").arg(ticket.requestId).arg(problem));
            complete(ticket, RunStatus::helperFailure);
            continue;
        }
        HelperLog::write(QStringLiteral("started openvpn (pid %1) for run request %2 of uid %3")
                             .arg(pid)
                             .arg(ticket.requestId)
                             .arg(ticket.caller));
        Running running;
        running.pid = pid;
        running.ticket = std::move(ticket);
        running.profileCopy = *copy;
        running.passwordFile = *passwordFile;
        m_running = std::move(running);
    }
}

std::optional<QString> OpenVPNSupervisor::writePrivateFile(
    const QString &name, const QByteArray &content, QString *error)
{
    const QString path = m_settings.runtimeDir + QLatin1Char('/') + name;
    const QByteArray native = QFile::encodeName(path);
    const auto fail = [&](const QString &what, int errorNumber) {
        failWith(error, QStringLiteral("cannot %1 %2: %3").arg(what, path, qt_error_string(errorNumber)));
        return std::nullopt;
    };
    ::unlink(native.constData());
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(QStringLiteral("create"), errno);
    qsizetype written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int writeError = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(native.constData());
            return fail(QStringLiteral("write"), writeError);
        }
        written += n;
    }
    if (::close(fd) != 0) {
        const int closeError = errno;
        ::unlink(native.constData());
        return fail(QStringLiteral("write"), closeError);
    }
    return path;
}

QList<QByteArray> OpenVPNSupervisor::commandLine(const QString &profileCopy, const QString &passwordFile) const
{
    const QByteArray scripts = QFile::encodeName(m_settings.scriptsDir);
    // Where the scripts keep what they must undo; openvpn appends its own arguments after it.
    const QByteArray state = ' ' + QFile::encodeName(m_settings.runtimeDir);
    // The profile comes first, so that nothing in it can override what follows (the allowlist
    // refuses such directives anyway). No local port: root listens on nothing but the management
    // interface, and that asks for the run's password.
    return { QFile::encodeName(m_settings.openvpn), "--config", QFile::encodeName(profileCopy), "--nobind",
        "--management", "127.0.0.1", "1337", QFile::encodeName(passwordFile), "--management-query-passwords",
        "--auth-retry", "none", "--script-security", "2",
        // Name resolution and the IPv6 block follow the routes: client.up needs them in place to
        // see whether the tunnel carries everything.
        "--route-up", scripts + "/client.up" + state, "--down", scripts + "/client.down" + state,
        // The DNS settings go while the tun device still exists.
        "--down-pre" };
}

pid_t OpenVPNSupervisor::spawn(const QString &profileCopy, const QString &passwordFile, QString *error)
{
    // Everything the child needs is prepared here: after fork() it makes system calls only.
    const QList<QByteArray> arguments = commandLine(profileCopy, passwordFile);
    std::vector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    static char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = { path, nullptr };

    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int execFailure[2];
    if (devNull < 0 || ::pipe2(execFailure, O_CLOEXEC) != 0) {
        failWith(error, QStringLiteral("cannot prepare openvpn's start: %1").arg(qt_error_string(errno)));
        if (devNull >= 0)
            ::close(devNull);
        return -1;
    }

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(RunStatus::helperFailure);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        closeOnExecFrom3();
        ::umask(022);
        ::execve(argv[0], argv.data(), envp);
        const int execError = errno;
        [[maybe_unused]] const ssize_t ignored = ::write(execFailure[1], &execError, sizeof execError);
        ::_exit(RunStatus::cannotExecute);
    }
    const int forkError = errno;
    ::close(devNull);
    ::close(execFailure[1]);
    if (pid < 0) {
        ::close(execFailure[0]);
        failWith(error, QStringLiteral("cannot fork: %1").arg(qt_error_string(forkError)));
        return -1;
    }
    // The pipe closes on a successful exec; otherwise it carries errno. The child is still reaped
    // (exit status 127) and reported like any other end.
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(execFailure[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(execFailure[0]);
    if (got == ssize_t(sizeof execError))
        HelperLog::write(QStringLiteral("cannot execute %1: %2").arg(m_settings.openvpn, qt_error_string(execError)));
    return pid;
}

void OpenVPNSupervisor::complete(const RunTicket &ticket, std::int32_t status)
{
    if (m_completion)
        m_completion(ticket, status);
}

} // namespace quellnet
