#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace quellnet {

class OpenVPNManagement;

// Name of the notification posted on the GUI thread for every accepted VPN state change. It
// carries nothing: observers read OpenVPNService::shared().state().
const QString &OpenVPNStateDidChange();

// The one VPN connection of the program. It holds the VPN state (an openvpn state name such as
// "CONNECTED", or "NOPROCESS" when there is no openvpn process to talk to), the configuration path
// and credentials handed over by the connect flow, and the management client.
//
// The state may be read and updated from any thread; every accepted update posts
// OpenVPNStateDidChange on the GUI thread, in the order the updates were accepted.
// startOpenVPN() and stopOpenVPN() are called on the GUI thread and never block it.
class OpenVPNService
{
public:
    // Created on first use, never destroyed.
    static OpenVPNService &shared();

    OpenVPNService(const OpenVPNService &) = delete;
    OpenVPNService &operator=(const OpenVPNService &) = delete;

    QString state() const;
    // Stores a state without announcing it. The program itself always goes through updateState().
    void setState(const QString &state);
    // Stores `name` and posts OpenVPNStateDidChange, unless the state is "CONNECTED" and `name` is
    // "ASSIGN_IP" or "ADD_ROUTES": openvpn repeats those while connected, and they are dropped.
    void updateState(const QString &name);

    std::optional<QString> config() const;
    void setConfig(std::optional<QString> path);
    std::optional<QString> username() const;
    void setUsername(std::optional<QString> username);
    std::optional<QString> password() const;
    void setPassword(std::optional<QString> password);

    OpenVPNManagement &management();

    void startOpenVPN();
    void stopOpenVPN();

private:
    OpenVPNService();
    ~OpenVPNService();

    mutable std::mutex m_stateMutex;
    QString m_state;

    mutable std::mutex m_fieldsMutex;
    std::optional<QString> m_config;
    std::optional<QString> m_username;
    std::optional<QString> m_password;

    std::unique_ptr<OpenVPNManagement> m_management;
};

} // namespace quellnet
