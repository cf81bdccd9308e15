#pragma once

#include "base/AppPaths.h"
#include "engine/ManagementParser.h"
#include "engine/OpenVPNService.h"
#include "ui/Appearance.h"
#include "ui/ApplicationDelegate.h"

#include <QAction>

#include <QApplication>
#include <QEvent>
#include <QTemporaryDir>

namespace quellnet::test {

// Points the settings (and the remembered credentials) at a private folder, finds the staged
// images, and gives the application its real look. Call before anything opens the settings.
inline void setUpGuiTest(const QTemporaryDir &config)
{
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    Appearance::applyTo(qApp);
}

// The application delegate of a widget test without the program's window and tray: the tray's connect
// item on its own, and the notifications, as "summary: body"; delivered unless told otherwise.
class TestApplicationDelegate : public ApplicationDelegate
{
public:
    QAction *connectItem() const override { return &m_item; }
    void notify(const QString &summary, const QString &body, std::function<void()> undelivered) override
    {
        notifications << summary + QStringLiteral(": ") + body;
        if (!delivering && undelivered)
            undelivered();
    }
    QStringList notifications;
    bool delivering = true;

private:
    mutable QAction m_item { QStringLiteral("Verbinden") };
};

// Changes the VPN state the way the engine does and lets the queued notification arrive.
inline void deliverState(const QString &name)
{
    OpenVPNService::shared().updateState(name);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

// openvpn's report of the tunnel it brought up at `since` (seconds since the epoch).
inline QString connectedReport(qint64 since)
{
    return QStringLiteral(">STATE:%1,CONNECTED,SUCCESS,10.204.0.2,10.203.0.2,1194,,").arg(since);
}

// One line of openvpn's management output ("\r\n" left out) through the parser the program uses,
// into the shared VPN service; the queued notifications arrive.
inline void deliverLine(const QString &line)
{
    ManagementParser().handleLine(line);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

} // namespace quellnet::test
