#pragma once

#include "account/LoginForm.h"

#include <QJsonValue>
#include <QWidget>

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
// Created by the application delegate after the delegate is registered, and takes it at creation.
// Everything runs on the GUI thread; state changes arrive there through the notification centre,
// and a destroyed view receives none.
class MainViewController : public QWidget, public LoginForm
{
    Q_OBJECT

public:
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

public Q_SLOTS:
    void toggleConnection();
    void onConnectButtonClick();
    void onSignUpButtonClick();
    void onHelpButtonClick();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void viewDidLoad();
    void viewDidAppear();
    void describeForAssistiveTechnology();
    void setConnectButtonImage(const QString &imageName);
    void setConnectItemTitle(const QString &title);

    std::unique_ptr<Ui::MainView> m_ui;
    ApplicationDelegate *const m_appDelegate;
    ConnectFlow *m_connectFlow = nullptr;
};

} // namespace quellnet
