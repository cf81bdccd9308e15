#pragma once

#include <QObject>

#include <memory>

class QWidget;

namespace Ui {
class MainWindow;
}

namespace quellnet {

// Loads the main window from its interface file, gives it its content view and shows it. The
// launch sequence uses it once and keeps only the window, which it takes over with takeWindow().
// GUI thread only.
class MainWindowController : public QObject
{
    Q_OBJECT

public:
    explicit MainWindowController(QObject *parent = nullptr);
    ~MainWindowController() override;

    QWidget *window() const { return m_window.get(); }
    std::unique_ptr<QWidget> takeWindow();

    // Puts `view` into the window, which takes ownership of it and fits its size to it.
    void setContentViewController(QWidget *view);
    // Shows the window centred on the screen, in front and active.
    void showWindow();

private:
    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<QWidget> m_window;
};

} // namespace quellnet
