#pragma once

#include "account/AccountClient.h"
#include "account/LoginForm.h"

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <functional>

namespace quellnet {

// The road from the connect action to a tunnel, and back. A click on the login view's connect
// button (or the tray's connect item) checks the form; with no tunnel it signs in to the account
// service (login, then the profile with the subscriber's openvpn configuration), remembers or
// forgets the credentials, writes the configuration file and starts the VPN service; while a
// tunnel exists or is coming up, it asks openvpn to stop.
//
// Owned by the login view; everything runs on the GUI thread, except that the first sign-in of a
// run loads the TLS library off the GUI thread before its first request. Failures end in the
// view's disconnected mode with a report of the failure (a sheet, or a desktop notification while
// the window is not in view), never in an exception or a return value. The form's checks always
// answer with a sheet.
class ConnectFlow : public QObject
{
    Q_OBJECT

public:
    explicit ConnectFlow(LoginForm &form, QObject *parent = nullptr);
    ~ConnectFlow() override;

    // Where the profile is written for openvpn: ConfigurationFile.
    static QString configPath();

    void toggleConnection();

    void requestLogin(const QString &email, const QString &password);
    void handleLoginResponse(const ReplyRecord &reply, const QString &email, const QString &password);
    void requestProfile(const QString &authorization);
    void handleProfileResponse(const ReplyRecord &reply);

    void rememberCredentials(const QString &email, const QString &password);
    // Writes the configuration file (off the GUI thread) and starts the VPN service with it; a file
    // that cannot be written ends the sign-in with its sheet, and nothing starts.
    void startWithConfig(const QString &config);

    // The last profile reply that read as JSON; null until then.
    const QJsonValue &profile() const { return m_profile; }

    // True from a sign-in's first request until it failed, or until openvpn has reported its
    // first state (or the VPN service's start ended without one); clicks meanwhile are ignored.
    bool isSignInUnderWay() const;
    // What the person reads about a reply that failed: no answer at all, credentials the service
    // refused (401, 403, or a 2xx reply that cannot be read), or a service that is not available
    // (any other status: 5xx, 429, ...).
    static QString messageForFailed(const ReplyRecord &reply);

    // True while a sign-in waits for the account service or writes the configuration file, before
    // anything is started.
    bool isTalkingToAccountService() const { return m_requestInFlight; }

    AccountClient &accountClient() { return m_client; }
    // Tests talk to a stand-in of the account service on a port of their own.
    void setBaseURLForTesting(const QString &baseURL);

private:
    void failSignIn(const QString &message);
    // Runs `next` once the TLS library is loaded and the build's extra CA trusted: at once after
    // the first time, otherwise on the GUI thread when the loading is done.
    void loadTlsThen(std::function<void()> next);
    void trustLoadedTls(const QList<QSslCertificate> &extraCertificates);

    LoginForm &m_form;
    AccountClient m_client;
    QString m_loginURL;
    QString m_profileURL;
    QJsonValue m_profile;
    bool m_requestInFlight = false;
    bool m_tlsLoaded = false;
};

} // namespace quellnet
