// The sign-in against a real HTTPS stand-in with a test CA, and a form that records what it showed.
#include "account/ConnectFlow.h"
#include "account/CredentialStore.h"
#include "account/LoginForm.h"
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "tests/support/AccountStandIn.h"
#include "tests/support/TestPki.h"
#include "tests/support/TestTools.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;
using Endpoint = AccountStandIn::Endpoint;
using Failure = AccountStandIn::Failure;

namespace {

const QString kEmail = u"anna@example.ch"_s;
const QString kPassword = u"  pass wörd \" \\  "_s;
const QString kProfile = u"client\ndev tun\nremote 10.203.0.2 1194\n"_s;
const QString wrongCredentials = u"Falsche E-Mail Adresse oder Passwort"_s;
const QString noNetwork = u"Network connection failed"_s;
const QString unknown = u"Unknown error"_s;
const QString unavailable = u"Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen."_s;

class FakeLoginForm final : public LoginForm
{
public:
    QString email = kEmail;
    QString password = kPassword;
    bool remember = false;
    QStringList modes;
    QStringList sheets;

    QString emailText() const override { return email; }
    QString passwordText() const override { return password; }
    bool rememberChecked() const override { return remember; }
    void showConnecting() override { modes << u"connecting"_s; }
    void showDisconnected() override { modes << u"disconnected"_s; }
    void showErrorSheet(const QString &message) override { sheets << message; }
};

} // namespace

Q_DECLARE_METATYPE(Endpoint)
Q_DECLARE_METATYPE(Failure)

class TestConnectFlow : public QObject
{
    Q_OBJECT

    TestPki m_pki;
    AccountStandIn m_standIn;
    std::unique_ptr<ConnectFlow> flowFor(FakeLoginForm &form, bool trustStandIn = true)
    {
        auto flow = std::make_unique<ConnectFlow>(form);
        flow->setBaseURLForTesting(m_standIn.baseUrl().toString());
        if (trustStandIn)
            flow->accountClient().addCaCertificates({ m_pki.caCertificate() });
        return flow;
    }

private Q_SLOTS:
    void initTestCase()
    {
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(m_pki.isValid(), qPrintable(m_pki.errorString()));
        QString error;
        QVERIFY2(
            m_standIn.listen(m_pki.standInCertificatePath(), m_pki.standInKeyPath(), 0, &error), qPrintable(error));
        m_standIn.addAccount(kEmail, kPassword);
        m_standIn.setProfile(kProfile);
    }

    void init()
    {
        m_standIn.clearFailures();
        m_standIn.clearRequests();
        CredentialStore::forget();
        QFile::remove(ConnectFlow::configPath());
        OpenVPNService::shared().setState(u"NOPROCESS"_s);
    }

    void cleanup()
    {
        QFile::remove(ConnectFlow::configPath());
        QTRY_VERIFY_WITH_TIMEOUT(!OpenVPNService::shared().isStarting(), 30000);
    }

    // No answer is a network failure; a refusal of the credentials (401, 403) or a 2xx answer that does not
    // read says they are wrong; any other status says the service is not available, so that nobody is sent
    // to their password when the service is down. Credentials are remembered once the login's answer reads
    // as JSON. An untrusted server is never sent anything.
    void signInFailures_data()
    {
        QTest::addColumn<Endpoint>("endpoint");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<bool>("remembered");
        QTest::addColumn<bool>("trusted");
        const auto row = [](const char *name, Endpoint endpoint, Failure failure, const QString &sheet, bool remembered,
                             int status = 0, const QByteArray &body = {}, bool trusted = true) {
            QTest::newRow(name) << endpoint << failure << status << body << sheet << remembered << trusted;
        };
        const Endpoint login = Endpoint::Login;
        const Endpoint profile = Endpoint::Profile;
        row("login refused (401)", login, Failure::Status, wrongCredentials, false, 401, R"({"error":"nope"})");
        row("login forbidden (403)", login, Failure::Status, wrongCredentials, false, 403, R"({"error":"nope"})");
        row("login unavailable (503)", login, Failure::Status, unavailable, false, 503, R"({"error":"later"})");
        row("login too many requests (429)", login, Failure::Status, unavailable, false, 429, "{}");
        row("login not found (404)", login, Failure::Status, unavailable, false, 404, "{}");
        row("login 200, empty body", login, Failure::EmptyBody, wrongCredentials, false);
        // A body that closes the array the lenient reader wraps it in must not read as JSON.
        row("login 200, two values", login, Failure::Status, wrongCredentials, false, 200, "1],[2");
        row("login 200, body over 4 MiB", login, Failure::Oversized, wrongCredentials, false);
        row("login 200, JSON string", login, Failure::JsonScalar, unknown, true);
        row("login 200, no access_token", login, Failure::MissingMember, unknown, true);
        row("login 200, numeric access_token", login, Failure::NonStringMember, unknown, true);
        row("login never answered", login, Failure::NoAnswer, noNetwork, false);
        row("profile server error (500)", profile, Failure::Status, unavailable, true, 500, R"({"error":"nope"})");
        row("profile token refused (401)", profile, Failure::Status, wrongCredentials, true, 401, "{}");
        row("profile 200, not JSON", profile, Failure::NotJson, wrongCredentials, true);
        row("profile 200, no config", profile, Failure::MissingMember, unknown, true);
        row("profile never answered", profile, Failure::NoAnswer, noNetwork, true);
        row("certificate of an unknown CA", login, Failure::Status, noNetwork, false, 0, {}, false);
    }

    void signInFailures()
    {
        QFETCH(Endpoint, endpoint);
        QFETCH(Failure, failure);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, sheet);
        QFETCH(bool, remembered);
        QFETCH(bool, trusted);
        CredentialStore::remember(u"old@example.ch"_s, u"old"_s);
        if (status != 0)
            m_standIn.setFailureReply(endpoint, status, body);
        else if (trusted)
            m_standIn.setFailure(endpoint, failure);
        FakeLoginForm form;
        form.remember = true;
        const auto flow = flowFor(form, trusted);
        flow->accountClient().setTimeoutForTesting(1500);
        flow->toggleConnection();
        QTRY_VERIFY_WITH_TIMEOUT(!form.sheets.isEmpty(), 15000);
        QCOMPARE(form.sheets, QStringList { sheet });
        QCOMPARE(form.modes, (QStringList { u"connecting"_s, u"disconnected"_s }));
        QVERIFY(!QFile::exists(ConnectFlow::configPath()));
        QVERIFY(!OpenVPNService::shared().isStarting());
        QVERIFY(!flow->isSignInUnderWay());
        QCOMPARE(m_standIn.requests(Endpoint::Login).isEmpty(), !trusted);
        QCOMPARE(m_standIn.requests(Endpoint::Profile).isEmpty(), endpoint == Endpoint::Login);
        QCOMPARE(CredentialStore::rememberedEmail(), remembered ? kEmail : u"old@example.ch"_s);
        QTRY_COMPARE(CredentialStore::passwordInSettings(), remembered ? kPassword : u"old"_s);
    }

    // The service starts with the served profile and the form's credentials as typed, blanks around
    // the password included. Waits for the service, not for the file: a test beside this one may
    // write the same runtime folder.
    void successfulSignIn()
    {
        FakeLoginForm form;
        const auto flow = flowFor(form);
        flow->toggleConnection();
        const OpenVPNService &service = OpenVPNService::shared();
        QTRY_COMPARE_WITH_TIMEOUT(service.config(), std::optional(ConnectFlow::configPath()), 15000);
        QTRY_COMPARE(readFile(ConnectFlow::configPath()), kProfile.toUtf8());
        QCOMPARE(service.username(), std::optional(kEmail));
        QCOMPARE(service.password(), std::optional(kPassword));
        QVERIFY(form.sheets.isEmpty());
    }

    // Checked before a sign-in sends anything; not when the click ends a tunnel (after a relaunch the
    // form may be empty then).
    void formChecks_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("sheet");
        QTest::newRow("both empty") << QString() << QString() << u"Email should not be empty!"_s;
        QTest::newRow("password empty") << kEmail << QString() << u"Password should not be empty!"_s;
        QTest::newRow("line feed in e-mail")
            << u"a@b.ch\nstate off"_s << kPassword << u"Email must not contain control characters!"_s;
        QTest::newRow("carriage return in password")
            << kEmail << u"pw\rsignal SIGTERM"_s << u"Password must not contain control characters!"_s;
        QTest::newRow("NUL in password") << kEmail << u"pw"_s + QChar(0) + u"x"_s
                                         << u"Password must not contain control characters!"_s;
    }

    void formChecks()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(QString, sheet);
        for (const QString &state : { u"NOPROCESS"_s, u"CONNECTED"_s }) {
            OpenVPNService::shared().setState(state);
            FakeLoginForm form;
            form.email = email;
            form.password = password;
            flowFor(form)->toggleConnection();
            QCOMPARE(form.sheets, state == u"NOPROCESS" ? QStringList { sheet } : QStringList());
            QVERIFY(form.modes.isEmpty());
        }
        QTest::qWait(100);
        QVERIFY(m_standIn.requests().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConnectFlow)
#include "tst_connectflow.moc"
