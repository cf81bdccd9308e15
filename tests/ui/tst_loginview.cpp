// The login view and the styling of its controls, offscreen.
#include "ApplicationDelegate.h"
#include "ConnectFlow.h"
#include "ControlStyling.h"
#include "CredentialStore.h"
#include "FlatButton.h"
#include "GuiTesting.h"
#include "MainViewController.h"
#include "UrlOpener.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QRadioButton>
#include <QTcpServer>
#include <QTest>
#include <QToolButton>

#include <cstdlib>

using namespace quellnet;
using namespace quellnet::testing;
using namespace Qt::StringLiterals;

namespace {

// Stands in for the application delegate: it holds the status menu's connect item.
class MenuHolder : public ApplicationDelegate
{
public:
    QAction *connectItem() const override { return m_item.get(); }

private:
    std::unique_ptr<QAction> m_item = std::make_unique<QAction>(u"Verbinden"_s);
};

const QColor grey(0x9D, 0x9E, 0xA2);
const QColor white(Qt::white);
const QString disconnected = u"Verbinden"_s;
const QString connecting = u"Wird verbunden..."_s;
const QString connected = u"Trennen"_s;

// The rectangle around the pixels of `image` within `tolerance` of `color` in every channel (empty
// when there are none): where a text of that colour landed.
QRect findInk(const QImage &image, const QColor &color, int tolerance)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    QRect bounds;
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QColor pixel = rgb.pixelColor(x, y);
            if (std::abs(pixel.red() - color.red()) <= tolerance && std::abs(pixel.green() - color.green()) <= tolerance
                && std::abs(pixel.blue() - color.blue()) <= tolerance)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

// An image by its pixels alone.
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
    MenuHolder m_delegate;
    std::unique_ptr<QWidget> m_window;
    QPointer<MainViewController> m_view;
    QStringList m_log; // the system log's lines

    // A window holding a freshly created view, shown like the application shows it.
    void createView()
    {
        m_window = std::make_unique<QWidget>();
        m_view = new MainViewController(m_window.get());
        m_window->adjustSize();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    // The display mode whose connect button reads `title`.
    void verifyMode(const QString &title)
    {
        const bool idle = title == disconnected;
        QCOMPARE(m_view->connectButton()->text(), title);
        QCOMPARE(m_delegate.connectItem()->text(), title);
        QCOMPARE(m_view->connectButton()->palette().color(QPalette::ButtonText), title == connected ? white : grey);
        const QString image = title == connected ? u"bg_button_green.png"_s : u"bg_button.png"_s;
        QCOMPARE(
            pixels(m_view->connectButton()->backgroundImage().toImage()), pixels(QImage(AppPaths::resource(image))));
        QCOMPARE(m_view->emailEdit()->isEnabled(), idle);
        QCOMPARE(m_view->passwordEdit()->isEnabled(), idle);
        QCOMPARE(m_view->rememberCheck()->isEnabled(), idle);
        QCOMPARE(m_view->rememberText()->palette().color(QPalette::WindowText), idle ? white : grey);
        QVERIFY(m_view->connectButton()->isEnabled());
    }

private Q_SLOTS:
    void initTestCase()
    {
        setUpGuiTest(m_config);
        ApplicationDelegate::setCurrent(&m_delegate);
        SystemLog::setSinkForTesting([this](const QString &line) { m_log << line; });
    }

    void init()
    {
        CredentialStore::forget();
        deliverState(u"NOPROCESS"_s);
        m_log.clear();
    }

    void cleanup()
    {
        m_window.reset();
        UrlOpener::setHandlerForTesting({});
    }

    // Only the latest title is drawn, in its colour, on the requested side (the plain setTitle
    // centres).
    void titleIsDrawnWhereAligned_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("alignment");
        QTest::newRow("centred") << u"Verbinden"_s << int(Qt::AlignHCenter);
        QTest::newRow("left link") << u"Registrieren"_s << int(Qt::AlignLeft);
        QTest::newRow("right link") << u"Hilfe"_s << int(Qt::AlignRight);
    }
    void titleIsDrawnWhereAligned()
    {
        QFETCH(QString, title);
        QFETCH(int, alignment);
        const QColor ink = colorFromRgb(0xFF4040);
        const QColor earlier = colorFromRgb(0x40FF40);
        FlatButton button;
        button.resize(300, 40);
        setTitle(&button, u"Verbinden"_s, earlier, 20, Qt::AlignLeft);
        if (alignment == Qt::AlignHCenter)
            setTitle(&button, title, ink);
        else
            setTitle(&button, title, ink, 14, Qt::Alignment(alignment));
        QCOMPARE(button.font().pointSize(), 14);
        const QImage image = button.grab().toImage();
        QVERIFY(findInk(image, earlier, 24).isEmpty());
        const QRect drawn = findInk(image, ink, 24);
        QVERIFY2(drawn.width() > 10, "the title is not drawn");
        if (alignment == Qt::AlignLeft)
            QVERIFY(drawn.left() < 10);
        else if (alignment == Qt::AlignRight)
            QVERIFY(drawn.right() > 290);
        else
            QVERIFY(std::abs(drawn.center().x() - 150) < 10);
    }

    // Every kind of button, also those the program never styles itself such as an alert's; a text
    // field keeps its own cursor.
    void everyButtonGetsThePointingHand()
    {
        QWidget window;
        auto *field = new QLineEdit(&window);
        const QList<QWidget *> buttons { new QPushButton(&window), new FlatButton(&window), new QCheckBox(&window),
            new QRadioButton(&window), new QToolButton(&window) };
        window.show();
        for (QWidget *button : buttons)
            QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(field->cursor().shape(), Qt::IBeamCursor);
        QMessageBox box(QMessageBox::Critical, QString(), u"x"_s, QMessageBox::Ok, &window);
        box.open();
        QCOMPARE(box.button(QMessageBox::Ok)->cursor().shape(), Qt::PointingHandCursor);
    }

    // Empty with grey hints, or filled with what was remembered and the box ticked.
    void formOnStart_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::newRow("first start") << QString() << QString();
        QTest::newRow("remembered") << u"anna@example.ch"_s << u"geheim 123"_s;
    }
    void formOnStart()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        if (!email.isEmpty())
            CredentialStore::remember(email, password);
        createView();
        verifyMode(disconnected);
        QCOMPARE(m_view->emailText(), email);
        QCOMPARE(m_view->passwordText(), password);
        QCOMPARE(m_view->rememberChecked(), !email.isEmpty());
        QCOMPARE(m_view->passwordEdit()->echoMode(), QLineEdit::Password);
        for (QLineEdit *field : { m_view->emailEdit(), m_view->passwordEdit() })
            QVERIFY2(findInk(field->grab().toImage(), grey, 2).width() > 10, "the grey hint or text is not drawn");
    }

    void displayModes_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("title");
        for (const char *name : { "USER_VPN_PERMISSION", "VPN_GENERATE_CONFIG", "NONETWORK", "CONNECTING", "WAIT",
                 "RECONNECTING", "RESOLVE", "TCP_CONNECT", "AUTH", "GET_CONFIG", "ASSIGN_IP", "ADD_ROUTES" })
            QTest::newRow(name) << u"NOPROCESS"_s << QString::fromLatin1(name) << connecting;
        QTest::newRow("CONNECTED") << u"AUTH"_s << u"CONNECTED"_s << connected;
        for (const char *name : { "DISCONNECTED", "EXITING", "NOPROCESS" })
            QTest::newRow(name) << u"CONNECTED"_s << QString::fromLatin1(name) << disconnected;
        QTest::newRow("reconnecting after connected") << u"CONNECTED"_s << u"RECONNECTING"_s << connecting;
        // Names the view does not know leave the look alone.
        QTest::newRow("unknown name") << u"CONNECTED"_s << u"NEW_STATE"_s << connected;
        QTest::newRow("other letter case") << u"NOPROCESS"_s << u"connected"_s << disconnected;
    }
    void displayModes()
    {
        QFETCH(QString, before);
        QFETCH(QString, state);
        QFETCH(QString, title);
        createView();
        deliverState(before);
        m_log.clear();
        deliverState(state);
        verifyMode(title);
        QCOMPARE(m_log, QStringList { state });
        // One picture of each mode for people to look at, under the build tree.
        static const QHash<QString, QString> screenshots { { u"WAIT"_s, u"connecting"_s },
            { u"CONNECTED"_s, u"connected"_s }, { u"EXITING"_s, u"disconnected"_s } };
        if (const QString name = screenshots.value(QString::fromLatin1(QTest::currentDataTag())); !name.isEmpty()) {
            QVERIFY(QDir().mkpath(QStringLiteral(QUELLNET_BUILD_PREFIX "/screenshots")));
            QVERIFY(m_window->grab().save(QStringLiteral(QUELLNET_BUILD_PREFIX "/screenshots/") + name + u".png"_s));
        }
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

    void destroyedViewReceivesNothing()
    {
        createView();
        m_window.reset();
        QVERIFY(m_view.isNull());
        deliverState(u"CONNECTED"_s);
        QVERIFY(m_log.isEmpty());
    }

    // After "Trennen" the helper reports openvpn's end a few seconds late. A new sign-in that is
    // still waiting for the account service keeps its connecting mode meanwhile.
    void lateEndOfThePreviousRunDuringASignIn()
    {
        QTcpServer silent; // takes the connection and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        createView();
        auto *flow = m_view->findChild<ConnectFlow *>();
        QVERIFY(flow);
        flow->setBaseURLForTesting(u"https://127.0.0.1:%1/api/"_s.arg(silent.serverPort()));
        m_view->emailEdit()->setText(u"anna@example.com"_s);
        m_view->passwordEdit()->setText(u"secret"_s);
        QTest::mouseClick(m_view->connectButton(), Qt::LeftButton);
        verifyMode(connecting);
        deliverState(u"NOPROCESS"_s);
        verifyMode(connecting);

        // The sign-in's TLS loader does not outlive the view: at exit it would race Qt's teardown of
        // the TLS library.
        m_window.reset();
        const QStringList threads = QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &thread : threads) {
            QFile name(u"/proc/self/task/%1/comm"_s.arg(thread));
            QVERIFY(!name.open(QIODevice::ReadOnly) || name.readAll().trimmed() != "qn-tls-load");
        }
    }

    // A critical alert on the login window that blocks that window only and does not hold up the
    // caller; its one button, the default, closes it.
    void errorSheet()
    {
        createView();
        m_view->showErrorSheet(u"Email should not be empty!"_s);
        QPointer<QMessageBox> sheet = m_window->findChild<QMessageBox *>();
        QVERIFY(sheet && sheet->isVisible() && sheet->defaultButton());
        QCOMPARE(sheet->icon(), QMessageBox::Critical);
        QCOMPARE(sheet->text(), u"Email should not be empty!"_s);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QTest::mouseClick(sheet->defaultButton(), Qt::LeftButton);
        QTRY_VERIFY(sheet.isNull());
    }
};

QTEST_MAIN(TestLoginView)
#include "tst_loginview.moc"
