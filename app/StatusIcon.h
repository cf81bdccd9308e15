#pragma once

#include "engine/OpenVPNService.h"
#include "ui/MainViewController.h"

#include <QCoreApplication>
#include <QIcon>
#include <QString>

#include <optional>

class QSystemTrayIcon;

namespace quellnet {

// The tray icon's picture and tooltip, following the window's display mode: a grey mark with an
// empty drop when not connected, an amber one filling up while connecting, the full teal mark when
// connected. Each is drawn at the sizes trays ask for (16, 22 and 24 px, and twice that), so a tray
// on a high-density screen gets sharp pixels too. GUI thread only.
class StatusIcon
{
    Q_DECLARE_TR_FUNCTIONS(quellnet::StatusIcon)

public:
    using Mode = MainViewController::DisplayMode;

    explicit StatusIcon(QSystemTrayIcon &item);

    // Shows `mode`; connected, the tooltip reads the tunnel from the VPN service.
    void show(Mode mode);

    static QIcon icon(Mode mode);
    // "Nicht verbunden", "Wird verbunden...", "Verbunden seit HH:MM · <tunnel address>".
    static QString toolTip(Mode mode, const std::optional<VpnTunnel> &tunnel);

private:
    QSystemTrayIcon &m_item;
    std::optional<Mode> m_shown;
};

} // namespace quellnet
