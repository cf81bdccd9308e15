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
#include <optional>
#include <vector>

namespace quellnet {

class HelperConnection;
class OpenVPNManagement;

// The VPN service's way from a run request to a management connection that holds the credentials,
// and back to the run that an earlier launch of the program left running. Starts are taken one after
// the other, never two at once, on a worker thread of its own. A start (Kind::Run):
//   1. asks the helper for its run; one of this user that this process did not ask for (an earlier
//      launch's) is ended at once with a kill request: the helper would otherwise leave it a few
//      seconds to end by itself before the new openvpn may start, and it holds the port meanwhile;
//   2. sends the run request and waits until the openvpn of every earlier start sent through the
//      same helper connection has ended (runEnded() came for it), and the earlier launch's one is
//      no longer the helper's run, for at most earlierOpenVPNEndTimeout after the request: the
//      helper starts the new openvpn only after the old one has gone, and until then the port
//      belongs to the old one;
//   3. connects the management client: at most connectAttempts attempts, each waiting up to
//      attemptTimeoutSeconds and followed by pauseAfterFailedAttempt when it fails; once the helper
//      has reported the end of the start's run (it refused the request, or its openvpn exited) the
//      attempts stop, as there is no openvpn of this start left to reach. A pause before a further
//      attempt ends early when root starts to listen on the port: openvpn opens it some milliseconds
//      after the run request, and waiting out the whole pause would keep it waiting for its
//      credentials. A port that never opens still takes every attempt and every pause;
//   4. makes sure that root holds the management port, within the attempt: a port held by another
//      user ends the start at once, before that listener could see the run's management password;
//   5. answers openvpn's password prompt with the run's management password, within the attempt and
//      its time-out: an openvpn that does not take it (an earlier run's, still ending, or another
//      user's) is not this run's, so the connection is closed and the attempt counts as failed;
//   6. hands over: sends the opening commands ("state on", "bytecount 1", "log on") and the
//      credentials, and starts the reader.
// A reattachment (Kind::Reattach) asks the helper for its run and, when that belongs to this user,
// connects to it with the run's password as in 3 to 5, takes its current state ("state on", then
// "state"), sends "bytecount 1" and "log on" and starts the reader; it sends no credentials, and an
// openvpn still waiting for them (nobody is left to give them) is asked to quit. Without such a run
// it does nothing.
// A start that was refused beforehand, or that fails a step, ends in the give-up handler instead,
// which learns which of these it was.
//
// start(), runEnded() and the other public functions may be called from any thread; the handlers
// and the job's requestRun run on the worker thread.
class ManagementStart
{
public:
    static constexpr int connectAttempts = 8;
    static constexpr int attemptTimeoutSeconds = 3;
    static constexpr std::chrono::milliseconds pauseAfterFailedAttempt { 300 };
    // How often a pause looks for a new listener of root's on the management port. The kernel tells
    // nobody when a socket starts to listen, so its socket table is read again.
    static constexpr std::chrono::milliseconds portWatchInterval { 10 };
    // The helper ends an earlier openvpn within 10 s of a new request (SIGTERM after 5 s, SIGKILL
    // after 10 s); one more second lets its termination reply arrive.
    static constexpr std::chrono::seconds earlierOpenVPNEndTimeout { 11 };
    // openvpn takes a command parameter of at most 256 bytes and rejects the whole command otherwise.
    static constexpr qsizetype maxCredentialBytes = 256;

    // How long the helper may take to answer a question about its run.
    static constexpr std::chrono::seconds helperAnswerTimeout { 3 };
    // How often the helper is asked whether the earlier launch's openvpn has gone.
    static constexpr std::chrono::milliseconds runEndPollInterval { 100 };
    // Why a start did not go ahead.
    enum class GiveUp {
        Refused, // the job carried a refusal
        PortNotRoot, // another user held the management port
        NoAnswer, // no attempt reached this run's openvpn
    };

    struct Job
    {
        enum class Kind { Run, Reattach };

        Kind kind = Kind::Run;
        std::uint64_t generation = 0; // each start's number, counting up
        QString refusal; // why the start cannot go ahead, for the system log; empty when it can
        QString username;
        QString password;
        QString managementPassword; // this run's, never traced or logged
        std::weak_ptr<HelperConnection> connection; // the one its requests go through; none: no helper
        // Sends the run request; empty when there is no helper to send it to.
        std::function<void()> requestRun;
        std::chrono::steady_clock::time_point requestedAt; // set when the run request goes out
        bool runRequested = false;
    };

    // `giveUp` ends a start that cannot go ahead; `handingOver` runs right before the management
    // connection is handed over, with whether it is a reattachment (whose openvpn's end no
    // termination reply will report).
    ManagementStart(OpenVPNManagement &management, std::function<void(GiveUp why)> giveUp,
        std::function<void(bool reattached)> handingOver);
    ~ManagementStart();

    ManagementStart(const ManagementStart &) = delete;
    ManagementStart &operator=(const ManagementStart &) = delete;

    // Returns at once.
    void start(Job job);
    // Whether a start is still on its way; a reattachment from the moment it found a run to take over.
    bool isStarting() const;

    enum class RunEnd {
        Reported, // the helper's termination reply came: it refused the request, or its openvpn exited
        RequestFailed, // the request never got its answer (the connection to the helper failed)
    };
    // The run request of start `generation` has ended. Until then its openvpn may be alive.
    void runEnded(std::uint64_t generation, RunEnd how);

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
        QString managementPassword;
    };

    void runWorker();
    void run(Job &job);
    void reattach(Job &job);
    void requestRun(Job &job);
    std::optional<QString> endEarlierLaunchsRun(const Job &job);
    void waitForEndOf(const QString &managementPassword, const Job &job);
    void waitForEarlierOpenVPN(const Job &job);
    bool runHasEnded(const Job &job) const; // call with m_runsMutex held
    bool connectManagement(const Job &job, GiveUp *why);
    std::vector<quint64> managementPortListeners() const;
    void pauseAfterFailure(const Job &job, const std::vector<quint64> &listenersBefore, bool untilPortOpens);
    bool peerBelongsToRoot();
    bool authenticate(const QString &managementPassword, QString *error = nullptr);
    void handOver(const Job &job);

    OpenVPNManagement &m_management;
    const std::function<void(GiveUp why)> m_giveUp;
    const std::function<void(bool reattached)> m_handingOver;

    std::atomic<int> m_pending { 0 };
    std::mutex m_queueMutex; // guards the queue and the worker
    std::condition_variable m_queued;
    std::deque<Job> m_queue;
    bool m_workerRunning = false;

    std::mutex m_runsMutex;
    std::condition_variable m_runEnded;
    std::vector<RunInFlight> m_runsInFlight;
    std::uint64_t m_currentGeneration = 0; // the start the worker is on
    bool m_currentRunReportedEnded = false; // the helper reported the end of its run
};

} // namespace quellnet
