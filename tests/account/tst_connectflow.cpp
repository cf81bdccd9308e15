// The sign-in as the account service sees it and as the user sees it: a real HTTPS stand-in with a
// test CA, the real flow, and a form that records what it was told to show.

#include "AccountStandIn.h"
#include "AppPaths.h"
#include "ConnectFlow.h"
#include "CredentialStore.h"
#include "FakeLoginForm.h"
#include "OpenVPNService.h"
#include "SystemLog.h"
#include "TestPki.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quellnet;
using Endpoint = AccountStandIn::Endpoint;
using Failure = AccountStandIn::Failure;

namespace {

const QString kEmail = QStringLiteral("anna@example.ch");
const QString kPassword = QStringLiteral("  pass wörd \" \\  ");
const QString kProfile = QStringLiteral("client\ndev tun\nremote 10.203.0.2 1194\n");

const QString kWrongCredentials = QStringLiteral("Falsche E-Mail Adresse oder Passwort");
const QString kNoNetwork = QStringLiteral("Network connection failed");
const QString kUnknown = QStringLiteral("Unknown error");

enum class Remembered { Untouched, Stored };

// The permission bits as the kernel holds them.
int fileMode(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}

} // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(Remembered)

class TestConnectFlow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void signInFailures_data();
    void signInFailures();
    void serverUnreachable_data();
    void serverUnreachable();
    void requestsAsTheServiceSeesThem();
    void successfulSignInWritesProfileAndStarts();
    void rememberCheckDecidesWhatIsKept_data();
    void rememberCheckDecidesWhatIsKept();
    void formChecks_data();
    void formChecks();
    void clicksDuringASignInAreIgnored();
    void configFileIsNeverWrittenThroughSomeoneElsesFile_data();
    void configFileIsNeverWrittenThroughSomeoneElsesFile();

private:
    void startFlow(FakeLoginForm &form, ConnectFlow &flow);
    void waitForSheet(const FakeLoginForm &form);

    TestPki m_pki;
    AccountStandIn m_standIn;
    QStringList m_log;
};

void TestConnectFlow::initTestCase()
{
    AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(m_pki.isValid(), qPrintable(m_pki.errorString()));
    QVERIFY2(m_standIn.listen(m_pki.standInCertificate(), m_pki.standInKey()), qPrintable(m_standIn.errorString()));
    m_standIn.addAccount(kEmail, kPassword);
    m_standIn.setProfile(kProfile);
    SystemLog::setSinkForTesting([this](const QString &line) { m_log << line; });
}

void TestConnectFlow::init()
{
    m_standIn.clearFailures();
    m_standIn.clearRequests();
    m_log.clear();
    QSettings(QStringLiteral("quellnet"), QStringLiteral("quellnet")).clear();
    QFile::remove(ConnectFlow::configPath());
    OpenVPNService::shared().setState(QStringLiteral("NOPROCESS"));
}

void TestConnectFlow::cleanup()
{
    QFile::remove(ConnectFlow::configPath());
    // A start that reached the VPN service gives up on the management interface by itself;
    // wait for it so the next test starts from rest.
    QTRY_VERIFY_WITH_TIMEOUT(!OpenVPNService::shared().isStarting(), 30000);
}

void TestConnectFlow::startFlow(FakeLoginForm &form, ConnectFlow &flow)
{
    flow.setBaseURLForTesting(m_standIn.baseUrl().toString());
    flow.accountClient().addCaCertificates({m_pki.caCertificate()});
    form.email = kEmail;
    form.password = kPassword;
}

void TestConnectFlow::waitForSheet(const FakeLoginForm &form)
{
    QTRY_VERIFY_WITH_TIMEOUT(!form.sheets.isEmpty(), 15000);
}

void TestConnectFlow::signInFailures_data()
{
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<Remembered>("remembered");

    // The message depends only on whether an HTTP answer came back, never on its status.
    QTest::newRow("login refused (401)") << Endpoint::Login << Failure::Status << 401 << kWrongCredentials << Remembered::Untouched;
    QTest::newRow("login server error (503)") << Endpoint::Login << Failure::Status << 503 << kWrongCredentials << Remembered::Untouched;
    QTest::newRow("login 200, empty body") << Endpoint::Login << Failure::EmptyBody << 0 << kWrongCredentials << Remembered::Untouched;
    QTest::newRow("login 200, not JSON") << Endpoint::Login << Failure::NotJson << 0 << kWrongCredentials << Remembered::Untouched;
    QTest::newRow("login 200, body over 4 MiB") << Endpoint::Login << Failure::Oversized << 0 << kWrongCredentials << Remembered::Untouched;
    QTest::newRow("login 200, JSON string") << Endpoint::Login << Failure::JsonScalar << 0 << kUnknown << Remembered::Stored;
    QTest::newRow("login 200, no access_token") << Endpoint::Login << Failure::MissingMember << 0 << kUnknown << Remembered::Stored;
    QTest::newRow("login 200, numeric access_token") << Endpoint::Login << Failure::NonStringMember << 0 << kUnknown << Remembered::Stored;
    QTest::newRow("login connection closed mid-reply") << Endpoint::Login << Failure::CloseMidReply << 0 << kNoNetwork << Remembered::Untouched;
    QTest::newRow("login never answered") << Endpoint::Login << Failure::NoAnswer << 0 << kNoNetwork << Remembered::Untouched;

    QTest::newRow("profile server error (500)") << Endpoint::Profile << Failure::Status << 500 << kWrongCredentials << Remembered::Stored;
    QTest::newRow("profile 200, empty body") << Endpoint::Profile << Failure::EmptyBody << 0 << kWrongCredentials << Remembered::Stored;
    QTest::newRow("profile 200, not JSON") << Endpoint::Profile << Failure::NotJson << 0 << kWrongCredentials << Remembered::Stored;
    QTest::newRow("profile 200, JSON string") << Endpoint::Profile << Failure::JsonScalar << 0 << kUnknown << Remembered::Stored;
    QTest::newRow("profile 200, no config") << Endpoint::Profile << Failure::MissingMember << 0 << kUnknown << Remembered::Stored;
    QTest::newRow("profile 200, numeric config") << Endpoint::Profile << Failure::NonStringMember << 0 << kUnknown << Remembered::Stored;
    QTest::newRow("profile never answered") << Endpoint::Profile << Failure::NoAnswer << 0 << kNoNetwork << Remembered::Stored;
}

void TestConnectFlow::signInFailures()
{
    QFETCH(Endpoint, endpoint);
    QFETCH(Failure, failure);
    QFETCH(int, status);
    QFETCH(QString, sheet);
    QFETCH(Remembered, remembered);

    CredentialStore::remember(QStringLiteral("old@example.ch"), QStringLiteral("old"));
    if (failure == Failure::Status)
        m_standIn.setFailureReply(endpoint, status, QByteArrayLiteral("{\"error\":\"nope\"}"));
    else
        m_standIn.setFailure(endpoint, failure);

    FakeLoginForm form;
    form.remember = true;
    ConnectFlow flow(form);
    startFlow(form, flow);
    flow.accountClient().setTimeoutForTesting(1500);

    flow.toggleConnection();
    waitForSheet(form);

    QCOMPARE(form.sheets, QStringList{sheet});
    QCOMPARE(form.modes, (QStringList{QStringLiteral("connecting"), QStringLiteral("disconnected")}));
    if (endpoint == Endpoint::Login)
        QCOMPARE(m_standIn.requests(Endpoint::Profile).size(), 0);
    switch (remembered) {
    case Remembered::Untouched:
        QCOMPARE(CredentialStore::rememberedEmail(), QStringLiteral("old@example.ch"));
        QCOMPARE(CredentialStore::rememberedPassword(), QStringLiteral("old"));
        break;
    case Remembered::Stored:
        QCOMPARE(CredentialStore::rememberedEmail(), kEmail);
        QCOMPARE(CredentialStore::rememberedPassword(), kPassword);
        break;
    }
    // Nothing was started and nothing was written.
    QVERIFY(!QFile::exists(ConnectFlow::configPath()));
    QVERIFY(!OpenVPNService::shared().isStarting());
    QVERIFY(!flow.isSignInUnderWay());
}

void TestConnectFlow::serverUnreachable_data()
{
    QTest::addColumn<bool>("refuseTls");
    QTest::newRow("nothing listening") << false;
    QTest::newRow("TLS handshake refused") << true;
}

void TestConnectFlow::serverUnreachable()
{
    QFETCH(bool, refuseTls);

    FakeLoginForm form;
    ConnectFlow flow(form);
    startFlow(form, flow);

    QTcpServer closedPort;
    if (refuseTls) {
        m_standIn.setRefuseTls(true);
    } else {
        // A port that was free a moment ago: connecting is refused.
        QVERIFY(closedPort.listen(QHostAddress::LocalHost));
        const quint16 port = closedPort.serverPort();
        closedPort.close();
        flow.setBaseURLForTesting(QStringLiteral("https://127.0.0.1:%1/api/").arg(port));
    }

    flow.toggleConnection();
    waitForSheet(form);
    QCOMPARE(form.sheets, QStringList{kNoNetwork});
    QCOMPARE(form.modes.last(), QStringLiteral("disconnected"));
}

void TestConnectFlow::requestsAsTheServiceSeesThem()
{
    FakeLoginForm form;
    ConnectFlow flow(form);
    startFlow(form, flow);

    flow.toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requests(Endpoint::Profile).size(), 1, 15000);

    const AccountStandIn::Request login = m_standIn.requests(Endpoint::Login).constFirst();
    QCOMPARE(login.method, QByteArrayLiteral("POST"));
    QCOMPARE(login.target, QByteArrayLiteral("/api/login"));
    QCOMPARE(login.header("Content-Type"), QByteArrayLiteral("application/json"));
    // Compact JSON with the password exactly as typed, blanks, quote and backslash included.
    QCOMPARE(login.body, QJsonDocument(QJsonObject{{QStringLiteral("email"), kEmail},
                                                   {QStringLiteral("password"), kPassword}})
                             .toJson(QJsonDocument::Compact));
    QCOMPARE(QJsonDocument::fromJson(login.body).object().value(QStringLiteral("password")).toString(), kPassword);

    const AccountStandIn::Request profile = m_standIn.requests(Endpoint::Profile).constFirst();
    QCOMPARE(profile.method, QByteArrayLiteral("GET"));
    QCOMPARE(profile.target, QByteArrayLiteral("/api/profile?country_code=CH"));
    QCOMPARE(profile.header("Authorization"), "Bearer " + m_standIn.issuedTokens().constLast());
    QVERIFY(profile.body.isEmpty());
    QVERIFY(!profile.hasHeader("Content-Type"));
    QVERIFY(!profile.hasHeader("Cookie"));
}

void TestConnectFlow::successfulSignInWritesProfileAndStarts()
{
    FakeLoginForm form;
    ConnectFlow flow(form);
    startFlow(form, flow);
    QVERIFY(flow.profile().isNull());

    flow.toggleConnection();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ConnectFlow::configPath()), 15000);

    QCOMPARE(flow.profile().toObject().value(QStringLiteral("config")).toString(), kProfile);
    QFile file(ConnectFlow::configPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), kProfile);
    QCOMPARE(fileMode(ConnectFlow::configPath()), 0600);

    OpenVPNService &service = OpenVPNService::shared();
    QCOMPARE(service.config(), std::optional<QString>(ConnectFlow::configPath()));
    QCOMPARE(service.username(), std::optional<QString>(kEmail));
    QCOMPARE(service.password(), std::optional<QString>(kPassword));
    QVERIFY(form.sheets.isEmpty());
    QCOMPARE(form.modes, QStringList{QStringLiteral("connecting")});
}

void TestConnectFlow::rememberCheckDecidesWhatIsKept_data()
{
    QTest::addColumn<bool>("remember");
    QTest::addColumn<bool>("storedBefore");
    QTest::newRow("on: stored in plain text") << true << false;
    QTest::newRow("off: both removed") << false << true;
    QTest::newRow("off, nothing stored before") << false << false;
}

void TestConnectFlow::rememberCheckDecidesWhatIsKept()
{
    QFETCH(bool, remember);
    QFETCH(bool, storedBefore);
    if (storedBefore)
        CredentialStore::remember(QStringLiteral("old@example.ch"), QStringLiteral("old"));

    FakeLoginForm form;
    form.remember = remember;
    ConnectFlow flow(form);
    startFlow(form, flow);
    flow.toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requests(Endpoint::Profile).size(), 1, 15000);

    QSettings settings(QStringLiteral("quellnet"), QStringLiteral("quellnet"));
    QCOMPARE(settings.contains(QStringLiteral("email")), remember);
    QCOMPARE(settings.contains(QStringLiteral("password")), remember);
    if (remember) {
        QCOMPARE(settings.value(QStringLiteral("password")).toString(), kPassword);
        // Plain text on disk, so nobody but the owner may read the file.
        QCOMPARE(fileMode(settings.fileName()), 0600);
    }
}

void TestConnectFlow::formChecks_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("sheet");

    QTest::newRow("both empty") << QString() << QString() << QStringLiteral("Email should not be empty!");
    QTest::newRow("password empty") << kEmail << QString() << QStringLiteral("Password should not be empty!");
    QTest::newRow("line feed in e-mail") << QStringLiteral("a@b.ch\nstate off") << kPassword
                                         << QStringLiteral("Email must not contain control characters!");
    QTest::newRow("carriage return in password") << kEmail << QStringLiteral("pw\rsignal SIGTERM")
                                                 << QStringLiteral("Password must not contain control characters!");
    QTest::newRow("NUL in password") << kEmail << QStringLiteral("pw") + QChar(0) + QStringLiteral("x")
                                     << QStringLiteral("Password must not contain control characters!");
    QTest::newRow("tab in e-mail") << QStringLiteral("a@b.ch\t") << kPassword
                                   << QStringLiteral("Email must not contain control characters!");
}

void TestConnectFlow::formChecks()
{
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(QString, sheet);

    for (const QString &state : {QStringLiteral("NOPROCESS"), QStringLiteral("CONNECTED")}) {
        OpenVPNService::shared().setState(state);
        FakeLoginForm form;
        ConnectFlow flow(form);
        startFlow(form, flow);
        form.email = email;
        form.password = password;

        flow.toggleConnection();
        QCOMPARE(form.sheets, QStringList{sheet});
        QVERIFY(form.modes.isEmpty());
    }
    QTest::qWait(100);
    QCOMPARE(m_standIn.requests().size(), 0);
}

void TestConnectFlow::clicksDuringASignInAreIgnored()
{
    m_standIn.setFailure(Endpoint::Login, Failure::NoAnswer);
    FakeLoginForm form;
    ConnectFlow flow(form);
    startFlow(form, flow);
    flow.accountClient().setTimeoutForTesting(2000);

    for (int i = 0; i < 20; ++i)
        flow.toggleConnection();
    QTRY_COMPARE(m_standIn.requests(Endpoint::Login).size(), 1);
    QVERIFY(flow.isSignInUnderWay());

    waitForSheet(form);
    QCOMPARE(m_standIn.requests(Endpoint::Login).size(), 1);
    QVERIFY(!flow.isSignInUnderWay());

    // Once the sign-in is over, the next click tries again.
    m_standIn.clearFailures();
    flow.toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requests(Endpoint::Login).size(), 2, 15000);
}

void TestConnectFlow::configFileIsNeverWrittenThroughSomeoneElsesFile_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("symlink to a file of ours") << QStringLiteral("symlink");
    QTest::newRow("file of another user") << QStringLiteral("foreign");
}

void TestConnectFlow::configFileIsNeverWrittenThroughSomeoneElsesFile()
{
    QFETCH(QString, planted);

    const QString path = ConnectFlow::configPath();
    const QString target = QDir::temp().filePath(QStringLiteral("quellnet-test-target"));
    QFile::remove(target);
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("untouched\n");
    }
    if (planted == QLatin1String("symlink")) {
        QVERIFY(QFile::link(target, path));
    } else {
        if (::geteuid() != 0)
            QSKIP("needs root to plant a file owned by another user");
        QVERIFY(QFile::copy(target, path));
        QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }

    OpenVPNService::shared().setConfig(std::nullopt);
    FakeLoginForm form;
    ConnectFlow flow(form);
    startFlow(form, flow);
    flow.toggleConnection();
    waitForSheet(form);

    QCOMPARE(form.sheets, QStringList{QStringLiteral("Could not write the VPN configuration")});
    QCOMPARE(form.modes.last(), QStringLiteral("disconnected"));
    QCOMPARE(m_log.size(), 1);
    QVERIFY(!OpenVPNService::shared().config().has_value());
    QVERIFY(!OpenVPNService::shared().isStarting());

    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArrayLiteral("untouched\n"));
    QFile::remove(path);
    QFile::remove(target);
}

QTEST_GUILESS_MAIN(TestConnectFlow)
#include "tst_connectflow.moc"
