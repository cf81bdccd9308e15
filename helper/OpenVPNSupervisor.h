#pragma once

#include "helper/ResolverState.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <sys/types.h>

namespace quellnet {

// A run request that passed every check: whom to answer, and the profile to run.
struct RunTicket
{
    std::uint64_t session = 0; // the client connection that asked
    std::uint64_t requestId = 0;
    uid_t caller = 0; // the run's owner
    QByteArray profile; // the checked, rewritten profile
    QString managementPassword; // what openvpn's management interface asks for
};

// Runs openvpn for the helper, one process at a time, and reports how each run request ended.
//
// A run request starts its openvpn only once the previous one has ended. If that has not happened
// `grace` after the new request, the previous openvpn gets SIGTERM, and SIGKILL another `grace`
// later. A request that is still waiting when a newer one (or a kill request) comes is dropped.
// Every ticket is completed exactly once, through the completion callback, with a RunStatus.
//
// openvpn runs on a root-only private copy of the profile in the runtime directory, with a minimal
// environment, no inherited descriptors besides standard error, in a session of its own, and it is
// sent SIGTERM if the helper dies. It gets the management interface on 127.0.0.1:1337 behind the
// run's password (given in a root-only file beside the copy, removed with it when the run ends),
// binds no local port, and runs the helper's own scripts: client.up once the routes are in place,
// client.down before the device goes. What client.up changed is taken back through ResolverState
// when openvpn ends without client.down. Who may ask for what is the daemon's business; the
// supervisor only remembers each run's owner.
//
// Single-threaded: the daemon's loop calls everything, including reap() after SIGCHLD and
// onTimer() at nextDeadline().
class OpenVPNSupervisor
{
public:
    using Clock = std::chrono::steady_clock;
    using Completion = std::function<void(const RunTicket &ticket, std::int32_t status)>;

    struct Settings
    {
        QString openvpn; // trusted path of the openvpn program
        QString scriptsDir; // trusted directory holding client.up and client.down
        QString runtimeDir; // root-only directory for the private copies
        std::chrono::milliseconds grace { 5000 };
    };

    OpenVPNSupervisor(Settings settings, Completion completion);
    ~OpenVPNSupervisor();

    OpenVPNSupervisor(const OpenVPNSupervisor &) = delete;
    OpenVPNSupervisor &operator=(const OpenVPNSupervisor &) = delete;

    void requestRun(RunTicket ticket);
    // Ends the running openvpn and drops a waiting request; with `owner`, only those of that uid.
    void kill(std::optional<uid_t> owner = std::nullopt);
    // Collects ended children; call after SIGCHLD.
    void reap();
    void onTimer();
    std::optional<Clock::time_point> nextDeadline() const;

    bool idle() const { return !m_running && !m_waiting; }
    pid_t runningPid() const { return m_running ? m_running->pid : 0; }
    // The run whose openvpn runs, and the one waiting to start; null when there is none. The
    // running one's profile is gone by then.
    const RunTicket *running() const { return m_running ? &m_running->ticket : nullptr; }
    const RunTicket *waiting() const { return m_waiting ? &*m_waiting : nullptr; }

    // The command line openvpn is started with, for `profileCopy` and the file that holds the
    // management password.
    QList<QByteArray> commandLine(const QString &profileCopy, const QString &passwordFile) const;

private:
    struct Running
    {
        pid_t pid = 0;
        RunTicket ticket;
        QString profileCopy;
        QString passwordFile;
        std::optional<Clock::time_point> terminateAt;
        std::optional<Clock::time_point> killAt;
    };

    void startWaiting();
    pid_t spawn(const QString &profileCopy, const QString &passwordFile, QString *error);
    std::optional<QString> writePrivateFile(const QString &name, const QByteArray &content, QString *error);
    void terminate();
    void complete(const RunTicket &ticket, std::int32_t status);

    Settings m_settings;
    Completion m_completion;
    std::optional<Running> m_running;
    std::optional<RunTicket> m_waiting;
    std::uint64_t m_fileSerial = 0;
    ResolverState m_resolverState;
};

} // namespace quellnet
