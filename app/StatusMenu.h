#pragma once

#include <QObject>

#include <memory>

class QAction;
class QMenu;

namespace quellnet {

// The tray's menu: the connect item (its title follows the login view's display modes),
// "Fenster öffnen", the check item "Beim Anmelden starten" and "Beenden". It turns a choice into an intent and leaves the doing to its
// owner, the application delegate. GUI thread only.
class StatusMenu : public QObject
{
    Q_OBJECT

public:
    explicit StatusMenu(QObject *parent = nullptr);
    ~StatusMenu() override;

    QMenu *menu() const { return m_menu.get(); }
    QAction *connectItem() const { return m_connectItem; }
    QAction *showWindowItem() const { return m_showWindowItem; }
    QAction *autostartItem() const { return m_autostartItem; }
    QAction *quitItem() const { return m_quitItem; }

Q_SIGNALS:
    void connectRequested();
    void showWindowRequested();
    // The autostart item was ticked (true) or unticked (false).
    void autostartToggled(bool enabled);
    void quitRequested();

private:
    std::unique_ptr<QMenu> m_menu;
    QAction *m_connectItem = nullptr;
    QAction *m_showWindowItem = nullptr;
    QAction *m_autostartItem = nullptr;
    QAction *m_quitItem = nullptr;
};

} // namespace quellnet
