#include "app/StatusMenu.h"

#include <QAction>
#include <QMenu>

namespace quellnet {

StatusMenu::StatusMenu(QObject *parent) : QObject(parent), m_menu(std::make_unique<QMenu>())
{
    m_connectItem = m_menu->addAction(QStringLiteral("Verbinden"));
    m_menu->addSeparator();
    m_showWindowItem = m_menu->addAction(QStringLiteral("Fenster öffnen"));
    m_quitItem = m_menu->addAction(QStringLiteral("Beenden"));

    connect(m_connectItem, &QAction::triggered, this, &StatusMenu::connectRequested);
    connect(m_showWindowItem, &QAction::triggered, this, &StatusMenu::showWindowRequested);
    connect(m_quitItem, &QAction::triggered, this, &StatusMenu::quitRequested);
}

StatusMenu::~StatusMenu() = default;

} // namespace quellnet
