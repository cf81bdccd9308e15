#pragma once

#include "account/LoginForm.h"

#include <QJsonValue>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace Ui {
class MainView;
}

namespace quellnet {

class ApplicationDelegate;
class ConnectFlow;
class FlatButton;

// The login view: the content of the main window. It shows the sign-in form (e-mail, password,
// "Angemeldet bleiben"), the connect button and the links to the pricing and support pages, in a
// fixed dark scheme. It fills the form from the remembered credentials, follows every VPN state
// change with one of three display modes (disconnected, connecting, connected), which also
// retitle the status menu's connect item, and forwards the connect action to its ConnectFlow.
//
// Connected, it shows the tunnel below the button: its address, the server, the time connected
// (ticking each second while the window is on screen, with no timer otherwise) and the bytes
// received and sent. A connect that has not arrived after 30 s is said to be slow, once. Why a
// connect or a tunnel ended is reported on the window when the person connected from there and
// the window is in view, and as a desktop notification otherwise (a dropped tunnel always gets
// one).
//
// Created by the application delegate after the delegate is registered, and takes it at creation.
// Everything runs on the GUI thread; state changes arrive there through the notification centre,
// and a destroyed view receives none.
class MainViewController : public QWidget, public LoginForm
{
    Q_OBJECT

public:
    enum class DisplayMode { Disconnected, Connecting, Connected };

    explicit MainViewController(QWidget *parent = nullptr);
    ~MainViewController() override;

    // The controls, owned by the view.
    FlatButton *connectButton() const;
    QLineEdit *emailEdit() const;
    QWidget *emailLine() const;
    QLineEdit *passwordEdit() const;
    QWidget *passwordLine() const;
    QCheckBox *rememberCheck() const;
    FlatButton *signupButton() const;
    QLabel *rememberText() const;
    FlatButton *helpButton() const;

    ApplicationDelegate *appDelegate() const { return m_appDelegate; }
    ConnectFlow *connectFlow() const { return m_connectFlow; }
    // The last profile reply of the account service; JSON null until one arrived.
    QJsonValue profile() const;

    // Reads the VPN state, logs its name and applies the matching display mode; any name it does
    // not know leaves the view as it is.
    void openVPNStateDidChange();

    void showDisconnected() override;
    void showConnecting() override;
    void showConnected();
    // The look shared by the connecting and connected modes: the button's title in `titleColor`
    // (0xRRGGBB) over the image `imageName`, the form locked.
    void showSessionActive(std::uint32_t titleColor, const QString &title, const QString &imageName);

    QString emailText() const override;
    QString passwordText() const override;
    bool rememberChecked() const override;
    void showErrorSheet(const QString &message) override;
    void reportFailure(const QString &message) override;

    // Reads why the latest run ended and reports it.
    void openVPNConnectionDidFail();

    // How long a connect may take before the view says it is slow.
    static constexpr int slowConnectMs = 30000;
    // Tests: a shorter wait.
    void setSlowConnectIntervalForTesting(int milliseconds) { m_slowConnect.setInterval(milliseconds); }
    // Whether the time connected is being counted on screen.
    bool isTicking() const { return m_tick.isActive(); }

    // The mode the view shows now.
    DisplayMode displayMode() const { return m_displayMode; }

Q_SIGNALS:
    // Each time a display mode is applied, also again.
    void displayModeChanged(quellnet::MainViewController::DisplayMode mode);

public Q_SLOTS:
    // The tray's connect item.
    void toggleConnection();
    // The window's connect button (or Return in a field).
    void onConnectButtonClick();
    void onSignUpButtonClick();
    void onHelpButtonClick();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void viewDidLoad();
    void viewDidAppear();
    void describeForAssistiveTechnology();
    void setConnectButtonImage(const QString &imageName);
    void setConnectItemTitle(const QString &title);
    void toggleFrom(bool fromWindow);
    // Whether the person connected from the window and it is in view, so a sheet reaches them.
    bool sheetReachesThePerson() const;
    // A sheet, a notification, or both; a notification nobody delivered becomes a sheet.
    void report(const QString &summary, const QString &message, bool alwaysNotify);
    void styleTunnelPanel();
    std::array<QLabel *, 5> tunnelValues() const;
    void showTunnel(bool shown);
    // Counts the time connected on screen only: while connected, shown and not minimised.
    void followTunnelOnScreen();
    void refreshTunnel();
    void connectIsSlow();
    void endConnectingPhase();

    std::unique_ptr<Ui::MainView> m_ui;
    ApplicationDelegate *const m_appDelegate;
    ConnectFlow *m_connectFlow = nullptr;
    bool m_connectedFromWindow = false;
    DisplayMode m_displayMode = DisplayMode::Disconnected;
    bool m_watchingWindow = false;
    QTimer m_tick; // the time connected, while connected and on screen
    QTimer m_slowConnect; // from the start of a connect until it arrives or ends
};

} // namespace quellnet
