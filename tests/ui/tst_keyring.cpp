// The remembered password and the desktop's Secret Service. Run twice: inside with-secret-service,
// with a real, unlocked GNOME Keyring on a session bus of its own, and without any session bus,
// where the password stays in the settings file. Each case skips in the run it does not belong to.
#include "account/ConnectFlow.h"
#include "account/CredentialStore.h"
#include "tests/support/AccountStandIn.h"
#include "tests/support/GuiTesting.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TestPki.h"
#include "tests/support/TestTools.h"
#include "ui/ApplicationDelegate.h"
#include "ui/FlatButton.h"
#include "ui/MainViewController.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <sys/stat.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

const QString kEmail = u"anna@example.ch"_s;
const QString kPassword = u"pass wörd \" \\"_s;

bool withSecretService()
{
    return qEnvironmentVariable("QUELLNET_SECRET_SERVICE_SESSION") == u"1";
}

// The keyring's entry for the account through libsecret's own tool, not through the program: what it
// holds, or with a `password`, that stored in it. Empty when the tool fails.
QString keyringEntry(const QString &email, const QString &password = {})
{
    QProcess tool;
    tool.start(u"secret-tool"_s,
        (password.isNull() ? QStringList { u"lookup"_s } : QStringList { u"store"_s, u"--label=quellnet"_s })
            + QStringList { u"user"_s, email, u"server"_s, u"quellnet"_s, u"type"_s, u"plaintext"_s });
    tool.write(password.toUtf8());
    tool.closeWriteChannel();
    const bool ran = tool.waitForFinished(10000) && tool.exitCode() == 0;
    return !ran ? QString() : password.isNull() ? QString::fromUtf8(tool.readAllStandardOutput()) : password;
}

QString settingsFile()
{
    return QSettings(u"quellnet"_s, u"quellnet"_s).fileName();
}

} // namespace

class TestKeyring : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    TestApplicationDelegate m_delegate;
    TestPki m_pki;
    AccountStandIn m_standIn;
    std::unique_ptr<QWidget> m_window;
    QPointer<MainViewController> m_view;
    std::unique_ptr<OutputCapture> m_output;

    // A launch: a new login view, which fills its form from the remembered credentials.
    void launch()
    {
        m_window = std::make_unique<QWidget>();
        m_view = new MainViewController(m_window.get());
        auto *flow = m_view->findChild<ConnectFlow *>();
        QVERIFY(flow);
        flow->setBaseURLForTesting(m_standIn.baseUrl().toString());
        flow->accountClient().addCaCertificates({ m_pki.caCertificate() });
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    // Signs in with the form as given. The profile request fails, so no tunnel is started: the
    // credentials are remembered or forgotten once the login is accepted.
    void signIn(const QString &password, bool remember)
    {
        m_view->emailEdit()->setText(kEmail);
        m_view->passwordEdit()->setText(password);
        m_view->rememberCheck()->setChecked(remember);
        QTest::mouseClick(m_view->connectButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(m_standIn.requests(AccountStandIn::Endpoint::Profile).size() == 1, 15000);
        QTRY_COMPARE(m_view->connectButton()->text(), u"Verbinden"_s);
        QTRY_VERIFY(!CredentialStore::shared().isBusy());
    }

    // Remembered right before a launch (as a test or the benchmark does): the form has it at once,
    // though the keyring has not answered yet.
    void rememberedJustBeforeALaunch()
    {
        CredentialStore::remember(kEmail, u"just now"_s);
        QVERIFY(CredentialStore::shared().isBusy());
        launch();
        QCOMPARE(m_view->passwordEdit()->text(), u"just now"_s);
        QTRY_VERIFY(!CredentialStore::shared().isBusy());
        launch();
        QTRY_COMPARE(m_view->passwordEdit()->text(), u"just now"_s);
    }

    QStringList fallbackLines() const { return m_output->logLines().filter(u"No Secret Service"_s); }

private Q_SLOTS:
    void initTestCase()
    {
        setUpGuiTest(m_config);
        ApplicationDelegate::setCurrent(&m_delegate);
        m_output = std::make_unique<OutputCapture>();
        QVERIFY2(m_pki.isValid(), qPrintable(m_pki.errorString()));
        QString error;
        QVERIFY2(
            m_standIn.listen(m_pki.standInCertificatePath(), m_pki.standInKeyPath(), 0, &error), qPrintable(error));
        m_standIn.setFailureReply(AccountStandIn::Endpoint::Profile, 500, R"({"error":"later"})");
    }

    void init()
    {
        CredentialStore::forget();
        QTRY_VERIFY(!CredentialStore::shared().isBusy());
        QFile::remove(settingsFile());
        m_standIn.addAccount(kEmail, kPassword);
        m_standIn.clearRequests();
        m_output->clear();
    }

    void cleanup() { m_window.reset(); }

    // A sign-in with the box ticked puts the password into the keyring and nothing secret into the
    // settings file; the next launch takes it from the keyring; unticked, a sign-in removes both.
    void keyringKeepsThePassword()
    {
        if (!withSecretService())
            QSKIP("needs a Secret Service: runs inside with-secret-service");
        launch();
        signIn(kPassword, true);
        QCOMPARE(keyringEntry(kEmail), kPassword);
        QCOMPARE(CredentialStore::rememberedEmail(), kEmail);
        QVERIFY(!QSettings(u"quellnet"_s, u"quellnet"_s).contains(u"password"_s));
        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("wörd"));
        QCOMPARE(fileMode(settingsFile()), S_IFREG | 0600);
        QVERIFY(fallbackLines().isEmpty());

        // The next launch: the field is filled once the keyring answers, with what the keyring holds.
        QCOMPARE(keyringEntry(kEmail, u"new secret"_s), u"new secret"_s);
        launch();
        QCOMPARE(m_view->emailEdit()->text(), kEmail);
        QVERIFY(m_view->rememberCheck()->isChecked());
        QTRY_COMPARE(m_view->passwordEdit()->text(), u"new secret"_s);

        // Typing before the keyring answers wins over the keyring.
        m_window = std::make_unique<QWidget>();
        m_view = new MainViewController(m_window.get());
        m_view->passwordEdit()->setText(u"typed"_s);
        QVERIFY(CredentialStore::shared().isBusy());
        QTRY_VERIFY(!CredentialStore::shared().isBusy());
        QCOMPARE(m_view->passwordEdit()->text(), u"typed"_s);

        launch();
        QTRY_COMPARE(m_view->passwordEdit()->text(), u"new secret"_s);
        m_standIn.addAccount(kEmail, u"new secret"_s);
        signIn(u"new secret"_s, false);
        QCOMPARE(keyringEntry(kEmail), QString());
        QVERIFY(CredentialStore::rememberedEmail().isEmpty() && CredentialStore::passwordInSettings().isEmpty());
        QVERIFY(fallbackLines().isEmpty());
        rememberedJustBeforeALaunch();
        QCOMPARE(keyringEntry(kEmail), u"just now"_s);
    }

    // A password an earlier version left in the settings file fills the form at once and is moved
    // into the keyring.
    void plainPasswordIsMovedIntoTheKeyring()
    {
        if (!withSecretService())
            QSKIP("needs a Secret Service: runs inside with-secret-service");
        {
            QSettings old(u"quellnet"_s, u"quellnet"_s);
            old.setValue(u"email"_s, kEmail);
            old.setValue(u"password"_s, kPassword);
        }
        launch();
        QCOMPARE(m_view->passwordEdit()->text(), kPassword);
        QTRY_VERIFY(!CredentialStore::shared().isBusy());
        QCOMPARE(keyringEntry(kEmail), kPassword);
        QCOMPARE(CredentialStore::passwordInSettings(), QString());
        QCOMPARE(CredentialStore::rememberedEmail(), kEmail);
        QVERIFY(fallbackLines().isEmpty());
    }

    // Without a Secret Service the password stays in the owner-only settings file, and one line says
    // so; the next launch fills the form from there.
    void withoutSecretServiceTheSettingsFileKeepsIt()
    {
        if (withSecretService())
            QSKIP("runs without a session bus");
        launch();
        signIn(kPassword, true);
        QCOMPARE(CredentialStore::rememberedEmail(), kEmail);
        QCOMPARE(CredentialStore::passwordInSettings(), kPassword);
        QCOMPARE(fileMode(settingsFile()), S_IFREG | 0600);
        QCOMPARE(fallbackLines().size(), 1);
        QVERIFY2(!fallbackLines().constFirst().contains(kPassword), qPrintable(fallbackLines().constFirst()));

        launch();
        QCOMPARE(m_view->passwordEdit()->text(), kPassword);
        signIn(kPassword, false);
        QVERIFY(CredentialStore::rememberedEmail().isEmpty() && CredentialStore::passwordInSettings().isEmpty());
        rememberedJustBeforeALaunch();
        QCOMPARE(CredentialStore::passwordInSettings(), u"just now"_s);
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
