// The sign-in against a real HTTPS stand-in with a test CA, and a form that records what it showed; the
// configuration file it writes into the user's private folder. Every case has a runtime folder of its own.
#include "account/ConfigurationFile.h"
#include "account/ConnectFlow.h"
#include "account/CredentialStore.h"
#include "account/LoginForm.h"
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "tests/support/AccountStandIn.h"
#include "tests/support/TestPki.h"
#include "tests/support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

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
    std::unique_ptr<QTemporaryDir> m_runtime;

    QString folder() const { return m_runtime->filePath(u"quellnet"_s); }
    QString file() const { return folder() + u"/quellnet.ovpn"_s; }
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
        OpenVPNService::shared().setState(u"NOPROCESS"_s);
        m_runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
    }

    void cleanup() { QTRY_VERIFY_WITH_TIMEOUT(!OpenVPNService::shared().isStarting(), 30000); }

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
    // the password included.
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

    // Only a regular file of the user's own is replaced, whole and for the owner only, in a folder
    // of the user's own that is closed to others (it is closed when it was open); a folder that is not
    // the user's own is refused. What planted objects at the file's path do is seen by the window's
    // fault test.
    void theFolder_data()
    {
        QTest::addColumn<QString>("setUp"); // shell, in the runtime folder
        QTest::addColumn<bool>("written");
        QTest::newRow("missing") << QString() << true;
        QTest::newRow("an earlier file of the user's")
            << u"mkdir -m 700 quellnet && echo 'remote old.example' >quellnet/quellnet.ovpn"_s << true;
        QTest::newRow("open to others") << u"mkdir -m 777 quellnet"_s << true;
        QTest::newRow("symlink to a folder") << u"mkdir elsewhere && ln -s elsewhere quellnet"_s << false;
        QTest::newRow("a file") << u"touch quellnet"_s << false;
        if (::geteuid() == 0)
            QTest::newRow("another user's folder")
                << u"mkdir -m 700 quellnet && chown %1 quellnet"_s.arg(nobody) << false;
    }
    void theFolder()
    {
        QFETCH(QString, setUp);
        QFETCH(bool, written);
        if (!setUp.isEmpty())
            QCOMPARE(
                QProcess::execute(u"/bin/sh"_s, { u"-ec"_s, u"cd '%1' && %2"_s.arg(m_runtime->path(), setUp) }), 0);
        QString error;
        QCOMPARE(ConfigurationFile::write(kProfile.toUtf8(), &error), written);
        QCOMPARE(ConfigurationFile::path(), file());
        if (written) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(fileMode(folder()), S_IFDIR | 0700);
            QCOMPARE(readFile(file()), kProfile.toUtf8());
            QCOMPARE(fileMode(file()), S_IFREG | 0600);
            QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                QStringList { u"quellnet.ovpn"_s });
        } else {
            QVERIFY(error.startsWith(folder()));
            QVERIFY(!QFile::exists(m_runtime->filePath(u"elsewhere/quellnet.ovpn"_s)));
        }
    }

    // A runtime folder that is missing or that others may enter is not used: the file goes into a
    // private folder of the process's own under the temporary directory, the same for every write.
    void withoutAUsableRuntimeFolder_data()
    {
        QTest::addColumn<QString>("runtime"); // %1: a folder of the test's
        QTest::addColumn<int>("mode");
        QTest::newRow("unset") << QString() << 0;
        QTest::newRow("relative") << u"relative/run"_s << 0;
        QTest::newRow("missing") << u"%1/missing"_s << 0;
        QTest::newRow("open to the group") << u"%1"_s << 0770;
    }
    void withoutAUsableRuntimeFolder()
    {
        QFETCH(QString, runtime);
        QFETCH(int, mode);
        if (mode != 0)
            QCOMPARE(::chmod(QFile::encodeName(m_runtime->path()).constData(), mode_t(mode)), 0);
        if (runtime.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.arg(m_runtime->path())));
        const QString path = ConfigurationFile::path();
        const QFileInfo place(QFileInfo(path).path());
        QCOMPARE(place.path(), QDir::tempPath());
        QVERIFY2(place.fileName().startsWith(u"quellnet-"_s), qPrintable(path));
        QVERIFY(ConfigurationFile::write(kProfile.toUtf8()));
        QCOMPARE(readFile(path), kProfile.toUtf8());
        QCOMPARE(fileMode(place.filePath()), S_IFDIR | 0700);
        QCOMPARE(fileMode(path), S_IFREG | 0600);
        QCOMPARE(ConfigurationFile::path(), path);
        QVERIFY(QDir(m_runtime->path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConnectFlow)
#include "tst_connectflow.moc"
