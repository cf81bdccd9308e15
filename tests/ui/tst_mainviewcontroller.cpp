#include "ApplicationDelegate.h"
#include "ControlStyling.h"
#include "CredentialStore.h"
#include "FlatButton.h"
#include "GuiTesting.h"
#include "MainViewController.h"
#include "UrlOpener.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTest>

using namespace quellnet;
using namespace quellnet::testing;

namespace {

// Stands in for the application delegate: it holds the status menu's connect item.
class MenuHolder : public ApplicationDelegate
{
public:
    QAction *connectItem() const override { return m_item.get(); }

private:
    std::unique_ptr<QAction> m_item = std::make_unique<QAction>(QStringLiteral("Verbinden"));
};

enum class Mode { Disconnected, Connecting, Connected };

// Images compared by their pixels alone.
QImage pixels(QImage image)
{
    image.setDevicePixelRatio(1);
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

Q_DECLARE_METATYPE(Mode)

class TestMainViewController : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    MenuHolder m_delegate;
    std::unique_ptr<QWidget> m_window;
    QPointer<MainViewController> m_view;
    std::unique_ptr<LogCapture> m_log;

    // A window holding a freshly created view, shown like the application shows it.
    void createView()
    {
        m_window = std::make_unique<QWidget>();
        m_window->setWindowTitle(QStringLiteral("Quellnet"));
        m_view = new MainViewController(m_window.get());
        m_window->adjustSize();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void verifyMode(Mode mode)
    {
        const QColor grey = colorFromRgb(0x9D9EA2);
        const bool idle = mode == Mode::Disconnected;
        const QString title = mode == Mode::Connected ? QStringLiteral("Trennen")
            : mode == Mode::Connecting                ? QStringLiteral("Wird verbunden...")
                                                      : QStringLiteral("Verbinden");
        QCOMPARE(m_view->connectButton()->text(), title);
        QCOMPARE(m_view->connectButton()->palette().color(QPalette::ButtonText),
            mode == Mode::Connected ? QColor(Qt::white) : grey);
        const char *image = mode == Mode::Connected ? "bg_button_green.png" : "bg_button.png";
        QCOMPARE(pixels(m_view->connectButton()->backgroundImage().toImage()),
            pixels(QImage(AppPaths::resource(QString::fromLatin1(image)))));
        QCOMPARE(m_delegate.connectItem()->text(), title);
        QCOMPARE(m_view->emailEdit()->isEnabled(), idle);
        QCOMPARE(m_view->passwordEdit()->isEnabled(), idle);
        QCOMPARE(m_view->rememberCheck()->isEnabled(), idle);
        QCOMPARE(m_view->rememberText()->palette().color(QPalette::WindowText), idle ? QColor(Qt::white) : grey);
        // The connect button and the links stay usable in every mode.
        QVERIFY(m_view->connectButton()->isEnabled());
        QVERIFY(m_view->signupButton()->isEnabled());
        QVERIFY(m_view->helpButton()->isEnabled());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        setUpGuiTest(m_config);
        ApplicationDelegate::setCurrent(&m_delegate);
    }

    void init()
    {
        CredentialStore::forget();
        deliverState(QStringLiteral("NOPROCESS"));
        m_log = std::make_unique<LogCapture>();
    }

    void cleanup()
    {
        m_log.reset();
        m_window.reset();
        UrlOpener::setHandlerForTesting({});
    }

    void firstStartShowsAnEmptyForm()
    {
        createView();
        const QColor grey = colorFromRgb(0x9D9EA2);
        QCOMPARE(m_view->appDelegate(), &m_delegate);
        QVERIFY(m_view->profile().isNull());
        QVERIFY(!m_view->rememberCheck()->isChecked());
        QCOMPARE(m_view->connectButton()->text(), QStringLiteral("Verbinden"));
        QCOMPARE(m_view->connectButton()->palette().color(QPalette::ButtonText), grey);
        QCOMPARE(m_view->signupButton()->text(), QStringLiteral("Registrieren"));
        QCOMPARE(m_view->helpButton()->text(), QStringLiteral("Hilfe"));
        QCOMPARE(m_view->rememberText()->text(), QStringLiteral("Angemeldet bleiben"));
        const std::pair<QLineEdit *, QString> fields[] = { { m_view->emailEdit(), QStringLiteral("E-Mail") },
            { m_view->passwordEdit(), QStringLiteral("Passwort") } };
        for (const auto &[field, hint] : fields) {
            QVERIFY(field->text().isEmpty());
            QCOMPARE(field->placeholderText(), hint);
            QCOMPARE(field->palette().color(QPalette::PlaceholderText), grey);
            QVERIFY2(findInk(field->grab().toImage(), grey, 2).count > 10, "the grey hint is not drawn");
        }
        QCOMPARE(m_view->passwordEdit()->echoMode(), QLineEdit::Password);
    }

    void rememberedCredentialsFillTheForm()
    {
        CredentialStore::remember(QStringLiteral("anna@example.ch"), QStringLiteral("geheim 123"));
        createView();
        QCOMPARE(m_view->emailText(), QStringLiteral("anna@example.ch"));
        QCOMPARE(m_view->passwordText(), QStringLiteral("geheim 123"));
        QVERIFY(m_view->rememberChecked());
    }

    void rememberChecked_data()
    {
        QTest::addColumn<Qt::CheckState>("state");
        QTest::addColumn<bool>("expected");
        QTest::newRow("off") << Qt::Unchecked << false;
        QTest::newRow("mixed") << Qt::PartiallyChecked << false;
        QTest::newRow("on") << Qt::Checked << true;
    }
    void rememberChecked()
    {
        QFETCH(Qt::CheckState, state);
        QFETCH(bool, expected);
        createView();
        m_view->rememberCheck()->setTristate(true);
        m_view->rememberCheck()->setCheckState(state);
        QCOMPARE(m_view->rememberChecked(), expected);
    }

    // The caption ticks its box, except while the form is locked.
    void captionTogglesTheBox()
    {
        createView();
        QTest::mouseClick(m_view->rememberText(), Qt::LeftButton);
        QVERIFY(m_view->rememberChecked());
        deliverState(QStringLiteral("CONNECTED"));
        QTest::mouseClick(m_view->rememberText(), Qt::LeftButton);
        QVERIFY(m_view->rememberChecked());
    }

    void displayModes_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("state");
        QTest::addColumn<Mode>("mode");
        for (const char *name : { "USER_VPN_PERMISSION", "VPN_GENERATE_CONFIG", "NONETWORK", "CONNECTING", "WAIT",
                 "RECONNECTING", "RESOLVE", "TCP_CONNECT", "AUTH", "GET_CONFIG", "ASSIGN_IP", "ADD_ROUTES" })
            QTest::newRow(name) << QStringLiteral("NOPROCESS") << QString::fromLatin1(name) << Mode::Connecting;
        QTest::newRow("CONNECTED") << QStringLiteral("AUTH") << QStringLiteral("CONNECTED") << Mode::Connected;
        for (const char *name : { "DISCONNECTED", "EXITING", "NOPROCESS" })
            QTest::newRow(name) << QStringLiteral("CONNECTED") << QString::fromLatin1(name) << Mode::Disconnected;
        QTest::newRow("reconnecting after connected")
            << QStringLiteral("CONNECTED") << QStringLiteral("RECONNECTING") << Mode::Connecting;
        // Names the view does not know leave the look alone.
        QTest::newRow("unknown name") << QStringLiteral("CONNECTED") << QStringLiteral("NEW_STATE") << Mode::Connected;
        QTest::newRow("empty name") << QStringLiteral("WAIT") << QString() << Mode::Connecting;
        QTest::newRow("other letter case")
            << QStringLiteral("NOPROCESS") << QStringLiteral("connected") << Mode::Disconnected;
    }
    void displayModes()
    {
        QFETCH(QString, before);
        QFETCH(QString, state);
        QFETCH(Mode, mode);
        createView();
        deliverState(before);
        m_log->takeLines();
        deliverState(state);
        verifyMode(mode);
        QCOMPARE(m_log->takeLines(), QStringList { state });
    }

    // Each notification shows the state that holds when it arrives, so a burst ends in the last
    // state's mode.
    void quickUpdatesEndInTheLastMode()
    {
        createView();
        OpenVPNService::shared().updateState(QStringLiteral("CONNECTING"));
        OpenVPNService::shared().updateState(QStringLiteral("CONNECTED"));
        deliverState(QStringLiteral("EXITING"));
        verifyMode(Mode::Disconnected);
        const QStringList expected(3, QStringLiteral("EXITING"));
        QCOMPARE(m_log->takeLines(), expected);
    }

    void destroyedViewReceivesNothing()
    {
        createView();
        m_window.reset();
        QVERIFY(m_view.isNull());
        deliverState(QStringLiteral("CONNECTED"));
        QVERIFY(m_log->takeLines().isEmpty());
    }

    void linksOpenTheProviderPages_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QUrl>("url");
        QTest::newRow("sign up") << QStringLiteral("signupButton") << QStringLiteral("NOPROCESS")
                                 << QUrl(QStringLiteral("https://quellnet.ch/preise/"));
        QTest::newRow("sign up while connected") << QStringLiteral("signupButton") << QStringLiteral("CONNECTED")
                                                 << QUrl(QStringLiteral("https://quellnet.ch/preise/"));
        QTest::newRow("help") << QStringLiteral("helpButton") << QStringLiteral("NOPROCESS")
                              << QUrl(QStringLiteral("https://quellnet.ch/support/"));
    }
    void linksOpenTheProviderPages()
    {
        QFETCH(QString, button);
        QFETCH(QString, state);
        QFETCH(QUrl, url);
        QList<QUrl> opened;
        UrlOpener::setHandlerForTesting([&opened](const QUrl &page) { opened << page; });
        createView();
        deliverState(state);
        QTest::mouseClick(m_view->findChild<QAbstractButton *>(button), Qt::LeftButton);
        QCOMPARE(opened, QList<QUrl> { url });
    }

    void everyButtonShowsThePointingHand()
    {
        createView();
        const auto buttons = m_view->findChildren<QAbstractButton *>();
        QCOMPARE(buttons.size(), 4);
        for (QAbstractButton *button : buttons)
            QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
    }

    // The error sheet: a critical alert on the login window that blocks that window only and
    // does not hold up the caller.
    void errorSheet()
    {
        createView();
        m_view->showErrorSheet(QStringLiteral("Email should not be empty!"));
        auto *sheet = m_window->findChild<QMessageBox *>();
        QVERIFY(sheet != nullptr);
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->icon(), QMessageBox::Critical);
        QCOMPARE(sheet->text(), QStringLiteral("Email should not be empty!"));
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->buttons().size(), 1);
        QCOMPARE(sheet->defaultButton(), sheet->buttons().first());
        QCOMPARE(sheet->buttons().first()->cursor().shape(), Qt::PointingHandCursor);
        QPointer<QMessageBox> gone = sheet;
        QTest::mouseClick(sheet->buttons().first(), Qt::LeftButton);
        QTRY_VERIFY(gone.isNull());
    }
};

QTEST_MAIN(TestMainViewController)
#include "tst_mainviewcontroller.moc"
