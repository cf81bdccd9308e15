#include "app/StatusMenu.h"

#include <QAction>
#include <QMenu>

namespace quellnet {

StatusMenu::StatusMenu(QObject *parent) : QObject(parent), m_menu(std::make_unique<QMenu>())
{
    m_connectItem = m_menu->addAction(tr("Verbinden"));
    m_menu->addSeparator();
    m_showWindowItem = m_menu->addAction(tr("Fenster öffnen"));
    m_autostartItem = m_menu->addAction(tr("Beim Anmelden starten"));
    m_autostartItem->setCheckable(true);
    m_quitItem = m_menu->addAction(tr("Beenden"));

    connect(m_connectItem, &QAction::triggered, this, &StatusMenu::connectRequested);
    connect(m_showWindowItem, &QAction::triggered, this, &StatusMenu::showWindowRequested);
    connect(m_autostartItem, &QAction::triggered, this, &StatusMenu::autostartToggled);
    connect(m_quitItem, &QAction::triggered, this, &StatusMenu::quitRequested);
}

StatusMenu::~StatusMenu() = default;

} // namespace quellnet
