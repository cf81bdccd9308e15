// The login view, offscreen, and the password it remembers. The keyring's cases run in a second
// run inside with-secret-service, with a real, unlocked GNOME Keyring on a session bus of its own;
// without any session bus the password stays in the settings file. Each keyring case skips in the
// run it does not belong to.
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
#include "ui/UrlOpener.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFocusFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTest>
#include <QThreadPool>
#include <QVBoxLayout>

#include <functional>

#include <sys/stat.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

const QColor grey(0x9D, 0x9E, 0xA2);
const QColor white(Qt::white);
const QString disconnected = u"Verbinden"_s;
const QString connecting = u"Wird verbunden..."_s;
const QString connected = u"Trennen"_s;
const QString slowText = u"Die Verbindung dauert länger als üblich. Quellnet versucht es weiter; ein Klick auf die "
                         "Schaltfläche bricht ab."_s;

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

QImage pixels(QImage image)
{
    image.setDevicePixelRatio(1);
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

class TestLoginView : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    TestApplicationDelegate m_delegate;
    std::unique_ptr<QWidget> m_window;
    QPointer<MainViewController> m_view;
    std::unique_ptr<OutputCapture> m_output;
    TestPki m_pki;
    AccountStandIn m_standIn;

    QLabel *label(const char *name) const { return m_view->findChild<QLabel *>(QString::fromLatin1(name)); }
    QWidget *tunnelPanel() const { return m_view->findChild<QWidget *>(u"tunnelPanel"_s); }

    void createView()
    {
        // Like the program's window: it takes the view's size.
        m_window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        m_view = new MainViewController;
        layout->addWidget(m_view);
        m_window->adjustSize();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void saveScreenshot(const QString &name)
    {
        QVERIFY(QDir().mkpath(QStringLiteral(QUELLNET_BUILD_PREFIX "/screenshots")));
        QVERIFY(m_window->grab().save(QStringLiteral(QUELLNET_BUILD_PREFIX "/screenshots/") + name + u".png"_s));
    }

    void verifyMode(const QString &title)
    {
        const bool idle = title == disconnected;
        QCOMPARE(m_view->connectButton()->text(), title);
        QCOMPARE(m_delegate.connectItem()->text(), title);
        QCOMPARE(m_view->connectButton()->palette().color(QPalette::ButtonText), title == connected ? white : grey);
        const QString image = title == connected ? u"bg_button_green.png"_s : u"bg_button.png"_s;
        QCOMPARE(
            pixels(m_view->connectButton()->backgroundImage().toImage()), pixels(QImage(AppPaths::resource(image))));
        for (QWidget *field : QWidgetList { m_view->emailEdit(), m_view->passwordEdit(), m_view->rememberCheck() })
            QCOMPARE(field->isEnabled(), idle);
        QCOMPARE(m_view->rememberText()->palette().color(QPalette::WindowText), idle ? white : grey);
        QVERIFY(m_view->connectButton()->isEnabled());
    }

    // A launch: a new login view, which fills its form from the remembered credentials.
    void launch()
    {
        createView();
        auto *flow = m_view->findChild<ConnectFlow *>();
        flow->setBaseURLForTesting(m_standIn.baseUrl().toString());
        flow->accountClient().addCaCertificates({ m_pki.caCertificate() });
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
        QLocale::setDefault(QLocale::c()); // for the data sizes
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
        m_delegate.notifications.clear();
        m_delegate.delivering = true;
        CredentialStore::forget();
        QTRY_VERIFY(!CredentialStore::shared().isBusy());
        QFile::remove(settingsFile());
        m_standIn.addAccount(kEmail, kPassword);
        m_standIn.clearRequests();
        deliverState(u"NOPROCESS"_s);
        m_output->clear();
    }

    void cleanup()
    {
        m_window.reset();
        UrlOpener::setHandlerForTesting({});
    }

    void displayModes_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("screenshot"); // a picture of the mode for people to look at
        // One state of each class (which name has which class is the engine's table, tested there).
        QTest::newRow("WAIT") << u"NOPROCESS"_s << u"WAIT"_s << connecting << u"connecting"_s;
        QTest::newRow("CONNECTED") << u"AUTH"_s << u"CONNECTED"_s << connected << u"connected"_s;
        QTest::newRow("EXITING") << u"CONNECTED"_s << u"EXITING"_s << disconnected << u"disconnected"_s;
        QTest::newRow("reconnecting after connected") << u"CONNECTED"_s << u"RECONNECTING"_s << connecting << QString();
        // Names the view does not know leave the look alone.
        QTest::newRow("unknown name") << u"CONNECTED"_s << u"NEW_STATE"_s << connected << QString();
    }
    void displayModes()
    {
        QFETCH(QString, before);
        QFETCH(QString, state);
        QFETCH(QString, title);
        QFETCH(QString, screenshot);
        createView();
        deliverState(before);
        m_output->clear();
        if (state == u"CONNECTED") { // as openvpn reports it, so that the picture shows the tunnel
            deliverLine(u">BYTECOUNT:1234567,345678"_s);
            deliverLine(connectedReport(QDateTime::currentSecsSinceEpoch() - 754));
        } else {
            deliverState(state);
        }
        verifyMode(title);
        QCOMPARE(m_output->logLines(), QStringList { state });
        if (!screenshot.isEmpty())
            saveScreenshot(screenshot);
        // The caption ticks its box, except while the form is locked; the links work in every mode.
        QTest::mouseClick(m_view->rememberText(), Qt::LeftButton);
        QCOMPARE(m_view->rememberChecked(), title == disconnected);
        QList<QUrl> opened;
        UrlOpener::setHandlerForTesting([&opened](const QUrl &page) { opened << page; });
        QTest::mouseClick(m_view->signupButton(), Qt::LeftButton);
        QTest::mouseClick(m_view->helpButton(), Qt::LeftButton);
        QCOMPARE(
            opened, (QList<QUrl> { QUrl(u"https://quellnet.ch/preise/"_s), QUrl(u"https://quellnet.ch/support/"_s) }));
    }

    // Connected, the tunnel's address, the server, the time connected and the traffic below the button;
    // the time ticks only while the window is on screen; all of it goes when the
    // tunnel does, and the window takes its old size again.
    void connectedView()
    {
        createView();
        const int idleHeight = m_window->height();
        QVERIFY(!tunnelPanel()->isVisible());
        deliverLine(u">BYTECOUNT:1234567,345678"_s);
        deliverLine(connectedReport(QDateTime::currentSecsSinceEpoch() - 3725));
        QVERIFY(tunnelPanel()->isVisible());
        QTRY_VERIFY(m_window->height() > idleHeight);
        QCOMPARE(label("addressValue")->text(), u"10.204.0.2"_s);
        QCOMPARE(label("serverValue")->text(), u"10.203.0.2"_s);
        const QString started = label("durationValue")->text();
        QVERIFY2(started.startsWith(u"1:02:0"_s), qPrintable(started));
        QCOMPARE(label("receivedValue")->text(), u"1.2 MB"_s);
        QCOMPARE(label("sentValue")->text(), u"345.7 kB"_s);

        QVERIFY(m_view->isTicking());
        QTRY_VERIFY_WITH_TIMEOUT(label("durationValue")->text() != started, 2500);
        m_window->hide();
        QVERIFY(!m_view->isTicking());
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(m_view->isTicking());

        // openvpn repeats ASSIGN_IP while connected: dropped, and the tunnel stays as reported.
        deliverLine(u">STATE:1796603499,ASSIGN_IP,,10.204.0.9,,,,"_s);
        QCOMPARE(OpenVPNService::shared().state(), u"CONNECTED"_s);
        QCOMPARE(label("addressValue")->text(), u"10.204.0.2"_s);

        deliverLine(u">STATE:1796603499,RECONNECTING,ping-restart,,,,,"_s);
        QVERIFY(!tunnelPanel()->isVisible() && !m_view->isTicking());
        deliverLine(connectedReport(QDateTime::currentSecsSinceEpoch()));
        QVERIFY(label("durationValue")->text().startsWith(u"0:00:0"_s));
        deliverState(u"NOPROCESS"_s);
        QVERIFY(!tunnelPanel()->isVisible() && !m_view->isTicking());
        QVERIFY(label("addressValue")->text().isEmpty() && label("durationValue")->text().isEmpty());
        QTRY_COMPARE(m_window->height(), idleHeight);
    }

    // A connect that has not arrived after its time says so once, in a line below the button and, when the
    // person did not connect from the window, as a notification; the button still cancels. Each time the
    // tunnel is on its way again counts anew.
    void slowConnect()
    {
        createView();
        m_view->setSlowConnectIntervalForTesting(200);
        QLabel *hint = label("slowConnectLabel");
        deliverState(u"WAIT"_s);
        QVERIFY(!hint->isVisible());
        QTRY_VERIFY(hint->isVisible());
        QCOMPARE(hint->text(), slowText);
        saveScreenshot(u"connecting-slow"_s);
        QCOMPARE(m_delegate.notifications, QStringList { u"Wird verbunden...: "_s + slowText });
        deliverState(u"AUTH"_s); // on its way still: not a new connect
        QTest::qWait(300);
        QVERIFY(hint->isVisible());
        QCOMPARE(m_delegate.notifications.size(), 1);
        QVERIFY(m_view->connectButton()->isEnabled());
        deliverLine(connectedReport(QDateTime::currentSecsSinceEpoch()));
        QVERIFY(!hint->isVisible());
        deliverState(u"RECONNECTING"_s);
        QTRY_VERIFY(hint->isVisible());
        QCOMPARE(m_delegate.notifications.size(), 2);
        deliverState(u"NOPROCESS"_s);
        QVERIFY(!hint->isVisible());
        QTest::qWait(300);
        QCOMPARE(m_delegate.notifications.size(), 2);
    }

    // Why a sign-in failed reaches the person where they are: a notification when the window went out of
    // view or the connect came from the tray, and a sheet after all when no notification service took it.
    // A connect from the window in view gives a sheet: the fault test sees that in the real window.
    void failureReachesThePerson_data()
    {
        // Each time the notification goes out; only when nobody took it does a sheet follow.
        QTest::addColumn<bool>("fromWindow");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<bool>("delivering");
        QTest::newRow("from the window, then closed to the tray") << true << true << true;
        QTest::newRow("from the tray, the window in view") << false << false << true;
        QTest::newRow("from the tray, no notification service") << false << true << false;
    }
    void failureReachesThePerson()
    {
        QFETCH(bool, fromWindow);
        QFETCH(bool, hidden);
        QFETCH(bool, delivering);
        QTcpServer closed; // the account service's port, with nothing listening on it
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        createView();
        m_view->findChild<ConnectFlow *>()->setBaseURLForTesting(u"https://127.0.0.1:%1/api/"_s.arg(port));
        m_delegate.delivering = delivering;
        m_view->emailEdit()->setText(u"anna@example.com"_s);
        m_view->passwordEdit()->setText(u"secret"_s);
        if (fromWindow)
            QTest::mouseClick(m_view->connectButton(), Qt::LeftButton);
        else
            m_view->toggleConnection();
        if (hidden)
            m_window->hide();
        const auto sheets = [this] { return m_window->findChildren<QMessageBox *>().size(); };
        QTRY_VERIFY_WITH_TIMEOUT(sheets() > 0 || !m_delegate.notifications.isEmpty(), 15000);
        QTest::qWait(100);
        QCOMPARE(sheets(), delivering ? 0 : 1);
        const QString failed = u"Network connection failed"_s;
        if (!delivering)
            QCOMPARE(m_window->findChild<QMessageBox *>()->text(), failed);
        QCOMPARE(m_delegate.notifications, QStringList { u"Nicht verbunden: "_s + failed });
        verifyMode(disconnected);
    }

    // After "Trennen" the helper reports openvpn's end a few seconds late. A new sign-in that is
    // still waiting for the account service keeps its connecting mode meanwhile.
    void lateEndOfThePreviousRunDuringASignIn()
    {
        QTcpServer silent; // takes the connection and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        createView();
        m_view->findChild<ConnectFlow *>()->setBaseURLForTesting(
            u"https://127.0.0.1:%1/api/"_s.arg(silent.serverPort()));
        m_view->emailEdit()->setText(u"anna@example.com"_s);
        m_view->passwordEdit()->setText(u"secret"_s);
        QTest::mouseClick(m_view->connectButton(), Qt::LeftButton);
        verifyMode(connecting);
        deliverState(u"NOPROCESS"_s);
        verifyMode(connecting);
        // The sign-in's TLS loading may outlast the view; what it brings back must never reach the
        // flow the view took with it (the sanitizer build sees it if it does).
        m_window.reset();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
        QCoreApplication::sendPostedEvents();
    }

    // Names that assistive technology reads out, which stay when a field holds text; the logo is
    // passed over; Tab goes through the form in reading order; the field with the keyboard focus has
    // a thick underline in the accent colour.
    void accessibility()
    {
        createView();
        const auto name
            = [](QObject *object) { return QAccessible::queryAccessibleInterface(object)->text(QAccessible::Name); };
        m_view->emailEdit()->setText(u"anna@example.com"_s);
        m_view->passwordEdit()->setText(u"secret"_s);
        const QList<QWidget *> form { m_view->emailEdit(), m_view->passwordEdit(), m_view->rememberCheck(),
            m_view->connectButton(), m_view->signupButton(), m_view->helpButton() };
        QStringList names;
        for (QWidget *widget : form)
            names << name(widget);
        QCOMPARE(names,
            (QStringList {
                u"E-Mail"_s, u"Passwort"_s, u"Angemeldet bleiben"_s, disconnected, u"Registrieren"_s, u"Hilfe"_s }));
        QVERIFY(QAccessible::queryAccessibleInterface(m_view->passwordEdit())->state().passwordEdit);
        deliverState(u"CONNECTED"_s);
        QCOMPARE(name(m_view->connectButton()), connected);

        auto *logo = m_view->findChild<QLabel *>(u"logoLabel"_s);
        QVERIFY(logo && !logo->pixmap().isNull());
        QAccessibleInterface *decoration = QAccessible::queryAccessibleInterface(logo);
        QVERIFY(decoration->text(QAccessible::Name).isEmpty() && decoration->state().invisible);

        deliverState(u"NOPROCESS"_s);
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_view->emailEdit()->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(m_view->emailEdit()->hasFocus());
        QList<QWidget *> order { m_view->emailEdit() };
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget();
        }
        QCOMPARE(order, form);

        const QColor accent(0x23, 0xB2, 0x8C);
        const auto underline = [](QWidget *line) { return pixels(line->grab().toImage()); };
        m_view->passwordEdit()->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(m_view->passwordEdit()->hasFocus());
        const QImage focused = underline(m_view->passwordLine());
        const QImage unfocused = underline(m_view->emailLine());
        QCOMPARE(focused.height(), 2);
        QCOMPARE(focused.pixelColor(10, 0), accent);
        QCOMPARE(focused.pixelColor(10, 1), accent);
        QCOMPARE(unfocused.pixelColor(10, 0), grey);
        QVERIFY(unfocused.pixelColor(10, 1) != accent && unfocused.pixelColor(10, 1) != grey);
        // The check box's own cue is faint on the dark background: an outline around it instead.
        m_view->rememberCheck()->setFocus(Qt::TabFocusReason);
        auto *outline = m_view->findChild<QFocusFrame *>();
        QVERIFY(outline && outline->isVisible() && outline->widget() == m_view->rememberCheck());
        m_view->connectButton()->setFocus(Qt::MouseFocusReason);
        QVERIFY(!outline->isVisible());
    }

    // Once the view is gone, no state change reaches it.
    void destroyedView()
    {
        createView();
        m_window.reset();
        QVERIFY(m_view.isNull());
        deliverState(u"CONNECTED"_s);
        QVERIFY(m_output->logLines().isEmpty());
    }

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

QTEST_MAIN(TestLoginView)
#include "tst_loginview.moc"
