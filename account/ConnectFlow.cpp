#include "account/ConnectFlow.h"

#include "account/AccountLog.h"
#include "account/ConfigurationFile.h"
#include "account/Constant.h"
#include "account/CredentialStore.h"
#include "base/AsyncTask.h"
#include "base/SystemLog.h"
#include "engine/OpenVPNManagement.h"
#include "engine/OpenVPNService.h"
#include "engine/VpnState.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslSocket>

#include <algorithm>

namespace quellnet {

namespace {

// A line break or any other control character would break the management command that carries
// the value to openvpn, or be dropped by it silently.
bool holdsControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

} // namespace

ConnectFlow::ConnectFlow(LoginForm &form, QObject *parent)
    : QObject(parent)
    , m_form(form)
    , m_loginURL(Constant::loginURL())
    , m_profileURL(Constant::profileURL())
{ }

ConnectFlow::~ConnectFlow() = default;

void ConnectFlow::loadTlsThen(std::function<void()> next)
{
    if (m_tlsLoaded) {
        next();
        return;
    }
    // The first request of a run loads the TLS library (Qt's TLS plugin and OpenSSL) and reads the
    // build's extra CA: 10 to 20 ms of work, which would freeze the window right after the click. It
    // is done off the GUI thread; the request goes out once it is done. Not done at launch: the TLS
    // library is 5 MB of resident memory that a program nobody signs in with does not need.
    AsyncTask::runThenCallback(
        [caPath = Constant::extraCACertificate()] {
            QSslSocket::supportsSsl();
            return caPath.isEmpty() ? QList<QSslCertificate>() : QSslCertificate::fromPath(caPath);
        },
        this,
        [this, next = std::move(next)](const QList<QSslCertificate> &certificates) {
            trustLoadedTls(certificates);
            next();
        });
}

void ConnectFlow::trustLoadedTls(const QList<QSslCertificate> &extraCertificates)
{
    if (m_tlsLoaded)
        return;
    m_tlsLoaded = true;
    if (!extraCertificates.isEmpty())
        m_client.addCaCertificates(extraCertificates);
}

void ConnectFlow::setBaseURLForTesting(const QString &baseURL)
{
    m_loginURL = baseURL + QStringLiteral("login");
    m_profileURL = baseURL + QStringLiteral("profile");
}

QString ConnectFlow::configPath()
{
    return ConfigurationFile::path();
}

bool ConnectFlow::isSignInUnderWay() const
{
    // Between the start and openvpn's first report the state still reads idle: a click then
    // would sign in a second time and have the helper replace the openvpn coming up.
    const OpenVPNService &service = OpenVPNService::shared();
    return m_requestInFlight || service.isStarting() || service.isAwaitingFirstReport();
}

void ConnectFlow::toggleConnection()
{
    if (isSignInUnderWay())
        return;
    // Ending a tunnel needs no credentials: after a relaunch the form may be empty while the
    // tunnel an earlier launch left up runs on.
    OpenVPNService &service = OpenVPNService::shared();
    if (VpnState::classOf(service.state()) != VpnState::Class::Idle) {
        service.stopOpenVPN();
        return;
    }

    const QString email = m_form.emailText();
    if (email.isEmpty()) {
        m_form.showErrorSheet(tr("Email should not be empty!"));
        return;
    }
    const QString password = m_form.passwordText();
    if (password.isEmpty()) {
        m_form.showErrorSheet(tr("Password should not be empty!"));
        return;
    }
    if (holdsControlCharacter(email)) {
        m_form.showErrorSheet(tr("Email must not contain control characters!"));
        return;
    }
    if (holdsControlCharacter(password)) {
        m_form.showErrorSheet(tr("Password must not contain control characters!"));
        return;
    }

    requestLogin(email, password);
}

void ConnectFlow::requestLogin(const QString &email, const QString &password)
{
    m_form.showConnecting();
    m_requestInFlight = true;
    loadTlsThen([this, email, password] {
        const QJsonObject parameters{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
        m_client.postJson(m_loginURL, parameters, [this, email, password](const ReplyRecord &reply) {
            handleLoginResponse(reply, email, password);
        });
    });
}

void ConnectFlow::handleLoginResponse(const ReplyRecord &reply, const QString &email, const QString &password)
{
    qCDebug(lcAccount) << "login reply, status" << reply.status;
    if (!reply.success) {
        failSignIn(messageForFailed(reply));
        return;
    }

    rememberCredentials(email, password);

    const QJsonDocument document = QJsonDocument::fromJson(reply.body);
    const QJsonValue token = document.isObject() ? document.object().value(QStringLiteral("access_token")) : QJsonValue();
    if (!token.isString()) {
        failSignIn(tr("Unknown error"));
        return;
    }
    requestProfile(QStringLiteral("Bearer ") + token.toString());
}

void ConnectFlow::requestProfile(const QString &authorization)
{
    m_requestInFlight = true;
    // Always after a login reply, so the TLS library is loaded and the build's CA trusted.
    m_client.getWithAuthorization(m_profileURL + QStringLiteral("?country_code=CH"), authorization,
                                  [this](const ReplyRecord &reply) { handleProfileResponse(reply); });
}

void ConnectFlow::handleProfileResponse(const ReplyRecord &reply)
{
    qCDebug(lcAccount) << "profile reply, status" << reply.status;
    // The sign-in's last request. What the connection to the account service leaves behind in Qt's
    // HTTP thread (TLS contexts with every session ticket the service sent, among others) would
    // otherwise add up over the sign-ins of a long-running program.
    m_client.closeIdleConnections();
    if (!reply.success) {
        failSignIn(messageForFailed(reply));
        return;
    }

    const QJsonDocument document = QJsonDocument::fromJson(reply.body);
    if (document.isNull()) {
        failSignIn(tr("Unknown error"));
        return;
    }
    m_profile = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());

    const QJsonValue config = document.isObject() ? document.object().value(QStringLiteral("config")) : QJsonValue();
    if (!config.isString()) {
        failSignIn(tr("Unknown error"));
        return;
    }
    startWithConfig(config.toString());
}

void ConnectFlow::rememberCredentials(const QString &email, const QString &password)
{
    if (m_form.rememberChecked())
        CredentialStore::remember(email, password);
    else
        CredentialStore::forget();
}

void ConnectFlow::startWithConfig(const QString &config)
{
    // Writing may block (a full disk, a slow file system); it is done off the GUI thread, and the
    // sign-in counts as under way until it is done.
    m_requestInFlight = true;
    struct Written
    {
        bool ok = false;
        QString problem;
    };
    AsyncTask::runThenCallback(
        [text = config.toUtf8()] {
            Written written;
            written.ok = ConfigurationFile::write(text, &written.problem);
            return written;
        },
        this,
        [this](const Written &written) {
            m_requestInFlight = false;
            if (!written.ok) {
                // Starting anyway would run whatever the file held before, or what someone put there.
                SystemLog::write(written.problem);
                failSignIn(tr("Could not write the VPN configuration"));
                return;
            }
            OpenVPNService &service = OpenVPNService::shared();
            service.setConfig(configPath());
            service.setUsername(m_form.emailText());
            service.setPassword(m_form.passwordText());
            service.startOpenVPN();
        });
}

QString ConnectFlow::messageForFailed(const ReplyRecord &reply)
{
    if (!reply.hasResponse)
        return tr("Network connection failed");
    // A refusal of the credentials says they are wrong, and so, as always, does a 2xx reply whose
    // body cannot be read; a service that is down, overloaded or answers otherwise must not send
    // the person to their password.
    const bool accepted = reply.status >= 200 && reply.status < 300;
    if (reply.status == 401 || reply.status == 403 || accepted)
        return tr("Falsche E-Mail Adresse oder Passwort");
    qCInfo(lcAccount) << "the account service answered with status" << reply.status;
    return tr("Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen.");
}

void ConnectFlow::failSignIn(const QString &message)
{
    m_requestInFlight = false;
    m_client.closeIdleConnections();
    m_form.showDisconnected();
    m_form.reportFailure(message);
}

} // namespace quellnet
