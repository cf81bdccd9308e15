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
    uid_t caller = 0;
    QByteArray profile; // the checked, rewritten profile
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
// sent SIGTERM if the helper dies. It gets the management interface on 127.0.0.1:1337 and the
// helper's own scripts: client.up once the routes are in place, client.down before the device goes.
// What client.up changed is taken back through ResolverState when openvpn ends without client.down.
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
    // Ends the running openvpn and drops a waiting request.
    void kill();
    // Collects ended children; call after SIGCHLD.
    void reap();
    void onTimer();
    std::optional<Clock::time_point> nextDeadline() const;

    bool idle() const { return !m_running && !m_waiting; }
    pid_t runningPid() const { return m_running ? m_running->pid : 0; }

    // The command line openvpn is started with, for `profileCopy`.
    QList<QByteArray> commandLine(const QString &profileCopy) const;

private:
    struct Running
    {
        pid_t pid = 0;
        RunTicket ticket;
        QString profileCopy;
        std::optional<Clock::time_point> terminateAt;
        std::optional<Clock::time_point> killAt;
    };

    void startWaiting();
    pid_t spawn(const QString &profileCopy, QString &problem);
    QString writeCopy(const QByteArray &profile, QString &problem);
    void terminate();
    void complete(const RunTicket &ticket, std::int32_t status);

    Settings m_settings;
    Completion m_completion;
    std::optional<Running> m_running;
    std::optional<RunTicket> m_waiting;
    std::uint64_t m_copySerial = 0;
    ResolverState m_resolverState;
};

} // namespace quellnet
