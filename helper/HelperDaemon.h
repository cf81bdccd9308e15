#pragma once

#include "helper/OpenVPNSupervisor.h"
#include "helper/ProfileIntake.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include <sys/types.h>

namespace quellnet {

struct HelperRequest;
struct HelperReply;

// The root helper daemon's service: serves the Unix socket, checks every caller and request, and
// hands the run and kill requests to the OpenVPNSupervisor.
//
// Only root and the allowed users can connect to the socket (mode 0600 and an access control list
// naming them), and callers are identified by the kernel (SO_PEERCRED, SO_PEERGROUPS): root and
// the allowed users are served, anyone else is logged and disconnected. The allowed users are
// those of the command line and of the allowed-users file, which is watched: a change takes effect
// at once, the socket's access control list included, without a restart (SIGHUP reads it again
// as well).
//
// Nobody can lock the helper: each user besides root may hold a few connections at a time, and a
// connection that sends no request within the idle time-out is closed. Lines that cannot be read
// get an error reply when they carry an id; otherwise, and for lines over the limit, the
// connection is closed. All sockets are non-blocking and served from one poll() loop, so a slow or
// stuck client holds up no one else. A reply for a client that has gone is logged and dropped;
// its openvpn keeps running.
//
// Every run belongs to the user who asked for it. Only that user or root may end it or replace
// it: a run request from anyone else while it runs or waits to run is refused with
// RunStatus::otherUsersRun, and their kill request is refused. The run's management password
// goes to its owner and to root only (getRun). The profile is read with the caller's own file
// system identity (ProfileIntake).
//
// SIGTERM or SIGINT ends the daemon: openvpn is stopped (SIGTERM, then SIGKILL), its termination
// reply sent, and the socket removed.
class HelperDaemon
{
public:
    using Clock = OpenVPNSupervisor::Clock;

    struct Settings
    {
        QString socketPath;
        std::set<uid_t> allowedUsers; // besides root, from the command line
        QString allowedUsersFile; // more of them; may be missing
        OpenVPNSupervisor::Settings openvpn;
        std::chrono::milliseconds idleTimeout { 10000 };
        std::size_t connectionsPerUser = 16; // root has no limit
    };

    explicit HelperDaemon(Settings settings);
    ~HelperDaemon();

    HelperDaemon(const HelperDaemon &) = delete;
    HelperDaemon &operator=(const HelperDaemon &) = delete;

    // Serves until asked to stop; returns the process's exit code.
    int run();

private:
    struct Session
    {
        int fd = -1;
        CallerIdentity caller;
        pid_t pid = 0;
        QByteArray input;
        QByteArray output;
        bool broken = false; // to be closed once the current round is over
        bool requested = false; // has sent a request that could be read
        Clock::time_point idleDeadline;
    };

    bool prepareRuntimeDirectory(QString *error = nullptr);
    bool loadAllowedUsers(QString *error = nullptr);
    void reloadAllowedUsers();
    void watchAllowedUsers();
    void readWatchEvents();
    bool listen(QString *error = nullptr);
    bool restrictSocket(QString *error = nullptr) const;
    void stopListening();
    void acceptClients();
    std::size_t connectionsOf(uid_t uid) const;
    void readFrom(std::uint64_t serial);
    void writeTo(Session &session);
    bool handleLine(std::uint64_t serial, QByteArrayView line);
    void handleRun(std::uint64_t serial, const HelperRequest &request);
    void handleKill(const Session &session);
    void handleGetRun(std::uint64_t serial, const HelperRequest &request);
    void reply(std::uint64_t serial, const HelperReply &reply);
    void closeIdleSessions();
    std::optional<Clock::time_point> nextIdleDeadline() const;
    void closeSession(std::uint64_t serial);
    void onRunEnded(const RunTicket &ticket, std::int32_t status);
    QString describe(const Session &session) const;

    Settings m_settings;
    std::set<uid_t> m_allowedUsers; // besides root: the command line's and the file's
    std::optional<OpenVPNSupervisor> m_supervisor; // made once the runtime directory is ready
    int m_listenFd = -1;
    ino_t m_socketInode = 0;
    int m_watchFd = -1; // inotify on the allowed-users file's folder
    std::uint64_t m_nextSerial = 1;
    std::map<std::uint64_t, Session> m_sessions;
    std::set<uid_t> m_overLimitLogged; // users told about once until they are below the limit again
};

} // namespace quellnet
