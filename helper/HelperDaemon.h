#pragma once

#include "helper/OpenVPNSupervisor.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

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
// naming them), and callers are identified by the kernel (SO_PEERCRED): root and the allowed users
// are served, anyone else is logged and disconnected. Lines that cannot be read get an error reply when they
// carry an id; otherwise, and for lines over the limit, the connection is closed. All sockets are
// non-blocking and served from one poll() loop, so a slow or stuck client holds up no one else.
// A reply for a client that has gone is logged and dropped; its openvpn keeps running.
//
// SIGTERM or SIGINT ends the daemon: openvpn is stopped (SIGTERM, then SIGKILL), its termination
// reply sent, and the socket removed.
class HelperDaemon
{
public:
    struct Settings
    {
        QString socketPath;
        std::set<uid_t> allowedUsers; // besides root
        OpenVPNSupervisor::Settings openvpn;
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
        uid_t uid = 0;
        pid_t pid = 0;
        QByteArray input;
        QByteArray output;
        bool broken = false; // to be closed once the current round is over
    };

    bool prepareRuntimeDirectory(QString &problem);
    bool listen(QString &problem);
    bool restrictSocket(const QByteArray &path, QString &problem) const;
    void stopListening();
    void acceptClients();
    void readFrom(std::uint64_t serial);
    void writeTo(Session &session);
    bool handleLine(std::uint64_t serial, QByteArrayView line);
    void handleRun(std::uint64_t serial, const HelperRequest &request);
    void reply(std::uint64_t serial, const HelperReply &reply);
    void closeSession(std::uint64_t serial);
    void onRunEnded(const RunTicket &ticket, std::int32_t status);
    QString describe(const Session &session) const;

    Settings m_settings;
    std::optional<OpenVPNSupervisor> m_supervisor; // made once the runtime directory is ready
    int m_listenFd = -1;
    ino_t m_socketInode = 0;
    std::uint64_t m_nextSerial = 1;
    std::map<std::uint64_t, Session> m_sessions;
};

} // namespace quellnet
