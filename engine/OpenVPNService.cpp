#include "engine/OpenVPNService.h"

#include "engine/NotificationCenter.h"
#include "engine/OpenVPNManagement.h"
#include "engine/VpnState.h"

namespace quellnet {

const QString &OpenVPNStateDidChange()
{
    static const QString name = QStringLiteral("OpenVPNStateDidChange");
    return name;
}

OpenVPNService &OpenVPNService::shared()
{
    // Never destroyed: the management reader and the helper's replies may still use it while the
    // process exits.
    static auto *service = new OpenVPNService;
    return *service;
}

OpenVPNService::OpenVPNService()
    : m_state(VpnState::noProcess.toString())
    , m_management(std::make_unique<OpenVPNManagement>([this](const QString &name) { updateState(name); }))
{
    m_management->setConnectionLostHandler([this] { onManagementConnectionLost(); });
}

OpenVPNService::~OpenVPNService() = default;

QString OpenVPNService::state() const
{
    std::lock_guard lock(m_stateMutex);
    return m_state;
}

void OpenVPNService::setState(const QString &state)
{
    std::lock_guard lock(m_stateMutex);
    m_state = state;
}

void OpenVPNService::updateState(const QString &name)
{
    std::lock_guard lock(m_stateMutex);
    if (m_state == VpnState::connected && (name == VpnState::assignIp || name == VpnState::addRoutes))
        return;
    m_state = name;
    m_firstReportAwaitedSince.reset();
    // Queued under the lock, so the posts arrive in the order the updates were accepted.
    NotificationCenter::defaultCenter().postOnGuiThread(OpenVPNStateDidChange());
}

std::optional<QString> OpenVPNService::config() const
{
    std::lock_guard lock(m_fieldsMutex);
    return m_config;
}

void OpenVPNService::setConfig(std::optional<QString> path)
{
    std::lock_guard lock(m_fieldsMutex);
    m_config = std::move(path);
}

std::optional<QString> OpenVPNService::username() const
{
    std::lock_guard lock(m_fieldsMutex);
    return m_username;
}

void OpenVPNService::setUsername(std::optional<QString> username)
{
    std::lock_guard lock(m_fieldsMutex);
    m_username = std::move(username);
}

std::optional<QString> OpenVPNService::password() const
{
    std::lock_guard lock(m_fieldsMutex);
    return m_password;
}

void OpenVPNService::setPassword(std::optional<QString> password)
{
    std::lock_guard lock(m_fieldsMutex);
    m_password = std::move(password);
}

OpenVPNManagement &OpenVPNService::management()
{
    return *m_management;
}

// The start and stop of a connection are in OpenVPNServiceStart.cpp.

} // namespace quellnet
