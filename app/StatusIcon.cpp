#include "app/StatusIcon.h"

#include "base/AppPaths.h"

#include <QSystemTrayIcon>

namespace quellnet {

StatusIcon::StatusIcon(QSystemTrayIcon &item) : m_item(item) { }

QIcon StatusIcon::icon(Mode mode)
{
    const QString name = mode == Mode::Connected ? QStringLiteral("connected")
        : mode == Mode::Connecting               ? QStringLiteral("connecting")
                                                 : QStringLiteral("disconnected");
    QIcon icon;
    for (int size : { 16, 22, 24, 32, 44, 48 })
        icon.addFile(AppPaths::resource(QStringLiteral("ic_status_%1_%2.png").arg(name).arg(size)), QSize(size, size));
    if (mode == Mode::Connected)
        icon.addFile(AppPaths::resource(QStringLiteral("ic_status.png")), QSize(64, 64));
    return icon;
}

QString StatusIcon::toolTip(Mode mode, const std::optional<VpnTunnel> &tunnel)
{
    switch (mode) {
    case Mode::Disconnected:
        return tr("Nicht verbunden");
    case Mode::Connecting:
        return tr("Wird verbunden...");
    case Mode::Connected:
        break;
    }
    if (!tunnel || !tunnel->since.isValid())
        return tr("Verbunden");
    const QString since = tunnel->since.toString(QStringLiteral("HH:mm"));
    const QString address = tunnel->anyAddress();
    return address.isEmpty() ? tr("Verbunden seit %1").arg(since) : tr("Verbunden seit %1 · %2").arg(since, address);
}

void StatusIcon::show(Mode mode)
{
    // The picture only changes with the mode; the tooltip also with a new tunnel.
    if (m_shown != mode)
        m_item.setIcon(icon(mode));
    m_shown = mode;
    m_item.setToolTip(toolTip(mode, OpenVPNService::shared().tunnel()));
}

} // namespace quellnet
