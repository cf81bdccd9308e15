#pragma once

#include "engine/ManagementParser.h"
#include "engine/RunOutcome.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quellnet {

class ManagementStart;
class OpenVPNManagement;

// Name of the notification posted on the GUI thread for every accepted VPN state change. It
// carries nothing: observers read OpenVPNService::shared().state().
const QString &OpenVPNStateDidChange();
// Name of the notification posted on the GUI thread once for each run that ended in a failure,
// right after the state notification of its end. It carries nothing: observers read
// OpenVPNService::shared().failureReason().
const QString &OpenVPNConnectionDidFail();

// The tunnel as openvpn's CONNECTED report describes it.
struct VpnTunnel
{
    QString address; // the tunnel's IPv4 address
    QString address6; // the tunnel's IPv6 address, if any
    QString server; // the VPN server's address
    QString serverPort;
    QDateTime since; // when openvpn reported CONNECTED

    // The address to show: IPv4, else IPv6.
    QString anyAddress() const { return address.isEmpty() ? address6 : address; }
};

// The bytes openvpn received and sent since it started, as it last reported them.
struct VpnTraffic
{
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
};

// The one VPN connection of the program. It holds the VPN state (an openvpn state name such as
// "CONNECTED", or "NOPROCESS" when there is no openvpn process to talk to), the configuration path
// and credentials handed over by the connect flow, and the management client.
//
// The state may be read and updated from any thread; every accepted update posts
// OpenVPNStateDidChange on the GUI thread, in the order the updates were accepted.
// startOpenVPN() and stopOpenVPN() are called on the GUI thread and never block it.
//
// A start asks the root helper to run openvpn with a fresh management password; ManagementStart, on a
// worker thread, sends that request once it has ended what an earlier launch left running, waits for
// the openvpn of an earlier start to end, connects the management client, makes sure the management
// port belongs to root, answers openvpn's password prompt (an openvpn that does not take this run's
// password is not this run's), sends the opening commands and the credentials, and starts the reader
// (the order, the attempts and the time-outs are given there). A reattachment takes over the run an
// earlier launch left running in the same way, without credentials. Starts run one after the other,
// never two at once. A start that cannot go ahead (no management connection, a missing field or
// resource, credentials that openvpn cannot take, a management port held by another user, a run
// request that the helper refused or that ended before its management connection was made) writes
// "error while starting mgmt interface" and ends in "NOPROCESS". The state also becomes "NOPROCESS"
// when openvpn closes the management connection without having reported an idle state first (or
// anything at all), or at all when the run was taken over, and when the helper reports that the
// latest start's openvpn has exited (applied after openvpn's last reports); the exit of an earlier
// start's openvpn changes nothing.
//
// A run lasts from startOpenVPN() (or a reattachment's hand-over) until the state next becomes idle.
// Beside the state the service works out why a run ended (failureReason()) from what openvpn, the
// helper and the start report; a run that ended in a failure is announced with
// OpenVPNConnectionDidFail, one the person stopped is not. It also keeps what the CONNECTED report
// said about the tunnel and openvpn's byte counts.
class OpenVPNService : public ManagementObserver
{
public:
    // Created on first use, never destroyed.
    static OpenVPNService &shared();

    OpenVPNService(const OpenVPNService &) = delete;
    OpenVPNService &operator=(const OpenVPNService &) = delete;

    QString state() const { return readLocked(m_stateMutex, m_state); }
    // Stores a state without announcing it. The program itself always goes through updateState().
    void setState(const QString &state) { writeLocked(m_stateMutex, m_state, state); }
    // Stores `name` and posts OpenVPNStateDidChange, unless the state is "CONNECTED" and `name` is
    // "ASSIGN_IP" or "ADD_ROUTES": openvpn repeats those while connected, and they are dropped.
    // Off the GUI thread it first waits until the GUI thread has delivered the previous state's
    // notification, at most stateDeliveryTimeout: observers read the state when their notification
    // arrives, and openvpn reports its states within a few milliseconds of each other.
    void updateState(const QString &name);
    static constexpr std::chrono::milliseconds stateDeliveryTimeout { 100 };

    // Why the latest run that ended did so; None when it ended as asked (or none ended yet).
    FailureReason failureReason() const { return readLocked(m_stateMutex, m_failureReason); }
    // The tunnel while the state is CONNECTED and openvpn described it; nothing otherwise.
    std::optional<VpnTunnel> tunnel() const { return readLocked(m_stateMutex, m_tunnel); }
    // The latest run's byte counts; zero until openvpn reports some.
    VpnTraffic traffic() const { return readLocked(m_stateMutex, m_traffic); }

    std::optional<QString> config() const { return readLocked(m_fieldsMutex, m_config); }
    void setConfig(std::optional<QString> path) { writeLocked(m_fieldsMutex, m_config, std::move(path)); }
    std::optional<QString> username() const { return readLocked(m_fieldsMutex, m_username); }
    void setUsername(std::optional<QString> username) { writeLocked(m_fieldsMutex, m_username, std::move(username)); }
    std::optional<QString> password() const { return readLocked(m_fieldsMutex, m_password); }
    void setPassword(std::optional<QString> password) { writeLocked(m_fieldsMutex, m_password, std::move(password)); }

    OpenVPNManagement &management();

    // Returns at once; the connection is set up (or given up) on the service's worker thread.
    // Preconditions: config, username and password are set (the connect flow sets them first).
    void startOpenVPN();
    // Takes over the openvpn run of this user that an earlier launch of the program left running, if
    // the helper has one: connects to its management interface with the run's password and takes
    // its state, as a start would, but sends no credentials. Returns at once; counts as a start
    // once the helper has named such a run, and does nothing when there is none.
    void reattach();
    // Asks openvpn to quit ("signal SIGINT") over the management connection. The run then ends
    // without a failure.
    void stopOpenVPN();
    // Whether a start is still setting up its management connection.
    bool isStarting() const;
    // Whether the latest start has handed openvpn the credentials and openvpn has neither reported
    // a state nor closed the connection since; for a few seconds at most. Until then the state
    // still reads as before the start, idle.
    bool isAwaitingFirstReport() const;

    // Whether `name` is an idle state (VpnState): no tunnel, and none on its way.
    static bool isIdleState(const QString &name);

    // What the management reader reports besides the state (ManagementObserver); any thread.
    void stateReported(const StateReport &report) override;
    void byteCountReported(std::uint64_t received, std::uint64_t sent) override;
    void verificationFailed() override;
    void fatalReported(const QString &message) override;

private:
    OpenVPNService();
    ~OpenVPNService() override;

    // A new run: forgets the outcome and the traffic of the last. Call with m_stateMutex held.
    void beginRun();
    // Runs `note` on the outcome if `generation` is the latest start's and its run has not ended.
    void noteForRun(std::uint64_t generation, const std::function<void(RunOutcome &)> &note);
    // `why` is None when the start was refused: startOpenVPN() noted the reason then.
    void giveUpStart(FailureReason why);
    void onOpenVPNExited(std::uint64_t generation, std::int32_t terminationStatus);
    void onManagementConnectionLost();
    // A copy of `field`, taken under `mutex`; and `field` replaced under it.
    template<typename T> static T readLocked(std::mutex &mutex, const T &field)
    {
        std::lock_guard lock(mutex);
        return field;
    }
    template<typename T> static void writeLocked(std::mutex &mutex, T &field, T value)
    {
        std::lock_guard lock(mutex);
        field = std::move(value);
    }

    mutable std::mutex m_stateMutex; // guards the state and everything about the run
    QString m_state;
    std::optional<std::chrono::steady_clock::time_point> m_firstReportAwaitedSince;
    // The management connection is one to a run that an earlier launch asked for.
    bool m_reattached = false;
    bool m_runLive = false; // a run started and has not ended yet
    RunOutcome m_outcome;
    FailureReason m_failureReason = FailureReason::None;
    std::optional<StateReport> m_lastReport; // the report whose name goes to updateState() next
    std::optional<VpnTunnel> m_tunnel;
    VpnTraffic m_traffic;
    // State notifications queued for the GUI thread and not yet delivered.
    int m_statePostsPending = 0;
    std::condition_variable m_statePostDelivered;

    mutable std::mutex m_fieldsMutex; // guards the three fields below
    std::optional<QString> m_config;
    std::optional<QString> m_username;
    std::optional<QString> m_password;

    std::unique_ptr<OpenVPNManagement> m_management;
    std::unique_ptr<ManagementStart> m_start;

    // Each start gets the next number, so the reply about an openvpn process of an earlier start
    // can be told from the latest one's.
    std::atomic<std::uint64_t> m_generation { 0 };
};

} // namespace quellnet
