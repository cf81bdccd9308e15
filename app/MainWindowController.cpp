#include "app/MainWindowController.h"

#include "ui_MainWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace quellnet {

MainWindowController::MainWindowController(QObject *parent)
    : QObject(parent), m_ui(std::make_unique<Ui::MainWindow>()), m_window(std::make_unique<QWidget>())
{
    m_ui->setupUi(m_window.get());
}

MainWindowController::~MainWindowController() = default;

std::unique_ptr<QWidget> MainWindowController::takeWindow()
{
    return std::move(m_window);
}

void MainWindowController::setContentViewController(QWidget *view)
{
    if (m_window == nullptr || view == nullptr)
        return;
    m_ui->contentLayout->addWidget(view);
    m_window->adjustSize();
}

void MainWindowController::showWindow()
{
    if (m_window == nullptr)
        return;
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

} // namespace quellnet
