#pragma once

#include "helperlink/HelperConnectionCache.h"
#include "helperlink/PrivilegeStep.h"
#include "ui/ApplicationDelegate.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace quellnet {

class DesktopNotifications;
class HelperInstallation;
class MainViewController;
class StatusIcon;
class StatusMenu;
class StatusNotices;

// The application delegate: it launches the program's interface (the main window with the login
// view, the tray icon with its menu), brings the window back when asked, and holds what lives for
// the whole run: the window, the login view, the tray icon and the cached connection to the
// helper daemon. The VPN service reaches it through HelperConnectionProvider, the login view
// through ApplicationDelegate; instance() gives the one registered delegate. The launch ends with
// the check that the installed helper is the one shipped with the program; it does not wait for
// the answer, and installs the shipped helper (which may end the program) when it is not.
//
// Created once by the program's main function, on the GUI thread, where all of it runs. Closing
// the window keeps the program in the tray; where the desktop has no tray, the window is the
// whole interface and closing it ends the program. Quitting sends nothing to openvpn or to the
// helper: a running tunnel is left to them, and the next launch takes it over once the helper check
// has found the helper current (or installed it), so that the window shows it and "Trennen" ends it.
//
// The tray icon shows the window's display mode, and the desktop's notifications say when the
// tunnel comes up, when it is lost, and (for the login view) why a connect or a tunnel ended.
class AppDelegate : public QObject, public HelperConnectionCache, public ApplicationDelegate
{
    Q_OBJECT

public:
    // `helperConnections` makes the helper connections, by default ones to the installed helper;
    // `privilegeStep` gives the helper's install step root, by default through pkexec.
    explicit AppDelegate(HelperConnectionCache::Factory helperConnections = {},
        std::unique_ptr<PrivilegeStep> privilegeStep = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    static AppDelegate *instance();

    // The launch: the window with the login view, shown; then the tray icon with its menu; then
    // the helper check. Launched at login (from the autostart entry) the window stays hidden when
    // the desktop has a tray, where the program waits.
    void applicationDidFinishLaunching();
    void setLaunchedAtLogin(bool atLogin) { m_launchedAtLogin = atLogin; }
    // Brings the same window to the front as the active window. Always true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    // The helper check: `callback` gets true, once, when the installed helper reports exactly the
    // shipped helper's version. It runs on the helper connection's thread, or at once when the
    // shipped helper cannot be read.
    void shouldInstallHelper(std::function<void(bool current)> callback);
    // Installs the shipped helper with the administrator's authorisation; returns at once. Quits
    // the program when the authorisation or the installation fails.
    void installHelper();

    QMenu *statusMemu() const;
    StatusMenu *statusMenu() const { return m_statusMenuObject; }
    QAction *connectItem() const override;
    void notify(const QString &summary, const QString &body, std::function<void()> undelivered) override;
    QWidget *window() const;
    MainViewController *mainViewController() const;
    QSystemTrayIcon *statusItem() const;

    // Tests: decide whether the desktop has a tray instead of asking it.
    void setSystemTrayProbeForTesting(std::function<bool()> probe);
    // Tests: the shortest time between two notices of one run (StatusNotices).
    void setNoticeIntervalForTesting(int milliseconds);

public Q_SLOTS:
    // A request to see the window: the tray icon clicked, "Fenster öffnen", a second launch.
    void reopenWindow();
    // The tray's connect item: the same action as the login view's connect button.
    void onConnectButtonClick();
    // The tray's "Beim Anmelden starten": writes or removes the autostart entry.
    void onAutostartToggled(bool enabled);
    // The installed helper is the shipped one: a tunnel of this user that an earlier launch left
    // running is taken over, unless a sign-in is already under way (its start replaces that tunnel).
    void onHelperReady();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateQuitOnClose();

    StatusMenu *m_statusMenuObject = nullptr;
    std::function<bool()> m_systemTrayAvailable;
    bool m_launchedAtLogin = false;

    QPointer<QMenu> m_statusMemu;
    QPointer<QAction> m_connectItem;
    std::unique_ptr<QWidget> m_window;
    QPointer<MainViewController> m_mainViewController;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<StatusIcon> m_statusIcon;
    DesktopNotifications *m_notifications = nullptr;
    StatusNotices *m_statusNotices = nullptr;
    std::unique_ptr<HelperInstallation> m_helperInstallation; // uses the cache: goes before it
};

} // namespace quellnet
