#include "app/StatusNotices.h"

#include "app/StatusIcon.h"
#include "engine/NotificationCenter.h"
#include "engine/OpenVPNService.h"

namespace quellnet {

StatusNotices::StatusNotices(Show show, QObject *parent) : QObject(parent), m_show(std::move(show))
{
    m_deferred.setSingleShot(true);
    connect(&m_deferred, &QTimer::timeout, this, &StatusNotices::showDeferred);
    m_previous = VpnState::classOf(OpenVPNService::shared().state());
    NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] { openVPNStateDidChange(); });
}

void StatusNotices::openVPNStateDidChange()
{
    const VpnState::Class now = VpnState::classOf(OpenVPNService::shared().state());
    if (now == VpnState::Class::Other)
        return;
    if (now == VpnState::Class::Connected && m_previous != VpnState::Class::Connected)
        post(Notice::Connected);
    else if (now == VpnState::Class::InProgress && m_previous == VpnState::Class::Connected)
        post(Notice::Interrupted);
    else if (now == VpnState::Class::Idle)
        startAfresh();
    m_previous = now;
}

void StatusNotices::post(Notice notice)
{
    if (!m_sinceShown.isValid() || m_sinceShown.elapsed() >= m_interval) {
        m_deferred.stop();
        m_waiting.reset();
        // The tunnel is back as the last notice left it: what came between was never told.
        if (notice != m_lastShown)
            showNow(notice);
        return;
    }
    m_waiting = notice;
    if (!m_deferred.isActive())
        m_deferred.start(int(std::max<qint64>(0, m_interval - m_sinceShown.elapsed())));
}

void StatusNotices::showDeferred()
{
    const std::optional<Notice> notice = std::exchange(m_waiting, std::nullopt);
    if (notice && notice != m_lastShown)
        showNow(*notice);
}

void StatusNotices::showNow(Notice notice)
{
    m_sinceShown.start();
    m_lastShown = notice;
    if (notice == Notice::Connected)
        m_show(tr("Verbunden"),
            StatusIcon::toolTip(MainViewController::DisplayMode::Connected, OpenVPNService::shared().tunnel()));
    else
        m_show(tr("Verbindung unterbrochen"), tr("Quellnet stellt die VPN-Verbindung wieder her."));
}

void StatusNotices::startAfresh()
{
    m_deferred.stop();
    m_waiting.reset();
    m_lastShown.reset();
    m_sinceShown.invalidate();
}

} // namespace quellnet
