#include "app/AppDelegate.h"

#include "account/ConnectFlow.h"
#include "app/Autostart.h"
#include "app/DesktopNotifications.h"
#include "app/MainWindowController.h"
#include "app/StatusIcon.h"
#include "app/StatusMenu.h"
#include "app/StatusNotices.h"
#include "base/SystemLog.h"
#include "engine/OpenVPNService.h"
#include "helperlink/HelperInstallation.h"
#include "ui/MainViewController.h"

#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QWidget>

namespace quellnet {

AppDelegate::AppDelegate(
    HelperConnectionCache::Factory helperConnections, std::unique_ptr<PrivilegeStep> privilegeStep, QObject *parent)
    : QObject(parent)
    , HelperConnectionCache(std::move(helperConnections))
    , m_statusMenuObject(new StatusMenu(this))
    , m_systemTrayAvailable(&QSystemTrayIcon::isSystemTrayAvailable)
    , m_notifications(new DesktopNotifications(this))
    , m_helperInstallation(std::make_unique<HelperInstallation>(*this, std::move(privilegeStep)))
{
    m_statusMemu = m_statusMenuObject->menu();
    m_connectItem = m_statusMenuObject->connectItem();
    connect(m_statusMenuObject, &StatusMenu::connectRequested, this, &AppDelegate::onConnectButtonClick);
    connect(m_statusMenuObject, &StatusMenu::showWindowRequested, this, &AppDelegate::reopenWindow);
    connect(m_statusMenuObject, &StatusMenu::autostartToggled, this, &AppDelegate::onAutostartToggled);
    // The entry may also be changed in the desktop's own settings: the item shows the file as it is.
    QAction *autostartItem = m_statusMenuObject->autostartItem();
    autostartItem->setChecked(Autostart::isEnabled());
    connect(m_statusMemu, &QMenu::aboutToShow, autostartItem, [autostartItem] {
        const QSignalBlocker quiet(autostartItem);
        autostartItem->setChecked(Autostart::isEnabled());
    });
    connect(m_statusMenuObject, &StatusMenu::quitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(m_helperInstallation.get(), &HelperInstallation::helperReady, this, &AppDelegate::onHelperReady);

    ApplicationDelegate::setCurrent(this);
    HelperConnectionProvider::setApplicationDelegate(this);
}

AppDelegate::~AppDelegate()
{
    // The window goes after the tray icon, which its display modes must no longer reach.
    if (m_mainViewController != nullptr)
        disconnect(m_mainViewController, nullptr, this, nullptr);
    if (HelperConnectionProvider::applicationDelegate() == this)
        HelperConnectionProvider::setApplicationDelegate(nullptr);
    if (ApplicationDelegate::current() == this)
        ApplicationDelegate::setCurrent(nullptr);
    m_statusItem.reset();
    m_window.reset();
}

AppDelegate *AppDelegate::instance()
{
    return dynamic_cast<AppDelegate *>(ApplicationDelegate::current());
}

void AppDelegate::applicationDidFinishLaunching()
{
    MainWindowController windowController;
    m_mainViewController = new MainViewController;
    windowController.setContentViewController(m_mainViewController);
    // Started at login, the program waits in the tray; with nowhere to wait it shows its window.
    if (!m_launchedAtLogin || !m_systemTrayAvailable())
        windowController.showWindow();
    m_window = windowController.takeWindow();
    m_window->installEventFilter(this);

    m_statusItem = std::make_unique<QSystemTrayIcon>();
    m_statusIcon = std::make_unique<StatusIcon>(*m_statusItem);
    m_statusIcon->show(m_mainViewController->displayMode());
    connect(m_mainViewController, &MainViewController::displayModeChanged, this,
        [this](MainViewController::DisplayMode mode) { m_statusIcon->show(mode); });
    m_statusItem->setContextMenu(m_statusMemu);
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            reopenWindow();
    });
    m_statusItem->show();
    updateQuitOnClose();
    m_statusNotices = new StatusNotices(
        [this](const QString &summary, const QString &body) { m_notifications->show(summary, body); }, this);

    shouldInstallHelper(m_helperInstallation->startUpCallback());
}

void AppDelegate::shouldInstallHelper(std::function<void(bool current)> callback)
{
    m_helperInstallation->shouldInstallHelper(std::move(callback));
}

void AppDelegate::installHelper()
{
    m_helperInstallation->installHelper();
}

bool AppDelegate::applicationShouldHandleReopen(bool)
{
    if (m_window != nullptr) {
        m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    }
    return true;
}

void AppDelegate::reopenWindow()
{
    applicationShouldHandleReopen(m_window != nullptr && m_window->isVisible());
}

void AppDelegate::onConnectButtonClick()
{
    if (m_mainViewController != nullptr)
        m_mainViewController->toggleConnection();
}

void AppDelegate::onHelperReady()
{
    const ConnectFlow *flow = m_mainViewController != nullptr ? m_mainViewController->connectFlow() : nullptr;
    OpenVPNService &service = OpenVPNService::shared();
    if ((flow != nullptr && flow->isSignInUnderWay()) || !OpenVPNService::isIdleState(service.state()))
        return;
    service.reattach();
}

void AppDelegate::onAutostartToggled(bool enabled)
{
    QString error;
    if (!Autostart::setEnabled(enabled, &error))
        SystemLog::write(QStringLiteral("Autostart could not be changed: ") + error);
    QAction *item = m_statusMenuObject->autostartItem();
    const QSignalBlocker quiet(item);
    item->setChecked(Autostart::isEnabled());
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window.get() && event->type() == QEvent::Close)
        updateQuitOnClose();
    return QObject::eventFilter(watched, event);
}

void AppDelegate::updateQuitOnClose()
{
    // With a tray icon the program lives on in the tray after its window is closed. Without a
    // tray the window is the whole interface, so closing it ends the program like closing any
    // ordinary application window, rather than leaving a process nobody can see. Asked at every
    // close, since a panel with a tray may come or go while the program runs.
    QGuiApplication::setQuitOnLastWindowClosed(!m_systemTrayAvailable());
}

QMenu *AppDelegate::statusMemu() const
{
    return m_statusMemu;
}

QAction *AppDelegate::connectItem() const
{
    return m_connectItem;
}

void AppDelegate::notify(const QString &summary, const QString &body, std::function<void()> undelivered)
{
    m_notifications->show(summary, body, [undelivered = std::move(undelivered)](bool delivered) {
        if (!delivered && undelivered)
            undelivered();
    });
}

void AppDelegate::setNoticeIntervalForTesting(int milliseconds)
{
    if (m_statusNotices != nullptr)
        m_statusNotices->setMinimumIntervalForTesting(milliseconds);
}

QWidget *AppDelegate::window() const
{
    return m_window.get();
}

MainViewController *AppDelegate::mainViewController() const
{
    return m_mainViewController;
}

QSystemTrayIcon *AppDelegate::statusItem() const
{
    return m_statusItem.get();
}

void AppDelegate::setSystemTrayProbeForTesting(std::function<bool()> probe)
{
    m_systemTrayAvailable = std::move(probe);
    updateQuitOnClose();
}

} // namespace quellnet
