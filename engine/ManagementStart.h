#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quellnet {

class HelperConnection;
class OpenVPNManagement;

// The VPN service's way from a run request to a management connection that holds the credentials.
// Starts are taken one after the other, never two at once, on a worker thread of its own; each:
//   1. waits until the openvpn of every earlier start sent through the same helper connection has
//      ended (runEnded() came for it), for at most earlierOpenVPNEndTimeout after its request: the
//      helper starts the new openvpn only after the old one has gone, and until then the port
//      belongs to the old one, which would take the credentials with it;
//   2. connects the management client: at most connectAttempts attempts, each waiting up to
//      attemptTimeoutSeconds and followed by pauseAfterFailedAttempt when it fails;
//   3. makes sure that root holds the management port, within the attempt: a port held by another
//      user ends the start at once, before that listener could see the run's management password;
//   4. answers openvpn's password prompt with the run's management password, within the attempt and
//      its time-out: an openvpn that does not take it (an earlier run's, still ending, or another
//      user's) is not this run's, so the connection is closed and the attempt counts as failed;
//   5. hands over: sends the opening commands ("state on", "bytecount 1", "log on") and the
//      credentials, and starts the reader.
// A start that was refused beforehand, or that fails a step, ends in the give-up handler instead,
// which learns which of these it was.
//
// start(), runRequested() and runEnded() may be called from any thread; the handlers run on the
// worker thread.
class ManagementStart
{
public:
    static constexpr int connectAttempts = 8;
    static constexpr int attemptTimeoutSeconds = 3;
    static constexpr std::chrono::milliseconds pauseAfterFailedAttempt { 300 };
    // The helper ends an earlier openvpn within 10 s of a new request (SIGTERM after 5 s, SIGKILL
    // after 10 s); one more second lets its termination reply arrive.
    static constexpr std::chrono::seconds earlierOpenVPNEndTimeout { 11 };
    // openvpn takes a command parameter of at most 256 bytes and rejects the whole command otherwise.
    static constexpr qsizetype maxCredentialBytes = 256;

    // Why a start did not go ahead.
    enum class GiveUp {
        Refused, // the job carried a refusal
        PortNotRoot, // another user held the management port
        NoAnswer, // no attempt reached this run's openvpn
    };

    struct Job
    {
        std::uint64_t generation = 0; // each start's number, counting up
        QString refusal; // why the start cannot go ahead, for the system log; empty when it can
        QString username;
        QString password;
        QString managementPassword; // this run's, never traced or logged
        std::weak_ptr<HelperConnection> connection; // the one its run request went through
        std::chrono::steady_clock::time_point requestedAt;
    };

    // `giveUp` ends a start that cannot go ahead; `handingOver` runs right before the credentials go out.
    ManagementStart(
        OpenVPNManagement &management, std::function<void(GiveUp why)> giveUp, std::function<void()> handingOver);
    ~ManagementStart();

    ManagementStart(const ManagementStart &) = delete;
    ManagementStart &operator=(const ManagementStart &) = delete;

    // Returns at once.
    void start(Job job);
    // Whether a start is still on its way.
    bool isStarting() const;

    // A run request of start `generation` went out through `connection`: its openvpn may be alive
    // until runEnded() (its termination reply came, or the request failed).
    void runRequested(std::uint64_t generation, const std::weak_ptr<HelperConnection> &connection);
    void runEnded(std::uint64_t generation);

    // Whether openvpn can take `value` as a credential; if not, `error` says why ("holds a control
    // character"). openvpn's management parser drops control characters silently, and a line feed
    // would end the command and start another.
    static bool acceptsCredential(const QString &value, QString *error = nullptr);

private:
    // A run request whose openvpn may still be alive.
    struct RunInFlight
    {
        std::uint64_t generation = 0;
        std::weak_ptr<HelperConnection> connection;
    };

    void runWorker();
    void run(const Job &job);
    void waitForEarlierOpenVPN(const Job &job);
    bool connectManagement(const Job &job, GiveUp *why);
    bool peerBelongsToRoot();
    bool authenticate(const QString &managementPassword, QString *error = nullptr);
    void handOver(const Job &job);

    OpenVPNManagement &m_management;
    const std::function<void(GiveUp why)> m_giveUp;
    const std::function<void()> m_handingOver;

    std::atomic<int> m_pending { 0 };
    std::mutex m_queueMutex; // guards the queue and the worker
    std::condition_variable m_queued;
    std::deque<Job> m_queue;
    bool m_workerRunning = false;

    std::mutex m_runsMutex;
    std::condition_variable m_runEnded;
    std::vector<RunInFlight> m_runsInFlight;
};

} // namespace quellnet
