#include "../ui/GuiTesting.h"
#include "AppDelegate.h"
#include "CredentialStore.h"
#include "FlatButton.h"
#include "LaunchStandIns.h"
#include "MainViewController.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTest>

using namespace quellnet;
using namespace quellnet::testing;

class TestAppDelegate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    int m_helperConnectionsMade = 0;
    std::unique_ptr<AppDelegate> m_delegate;

    QWidget *window() const { return m_delegate->window(); }

    int openSheets() const { return int(window()->findChildren<QMessageBox *>().size()); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        setUpGuiTest(m_config);
        CredentialStore::forget();
    }

    void init()
    {
        deliverState(QStringLiteral("NOPROCESS"));
        m_helperConnectionsMade = 0;
        m_delegate = std::make_unique<AppDelegate>(
            [this] {
                ++m_helperConnectionsMade;
                return unreachableHelper();
            },
            StandInPrivilegeStep::running(QStringLiteral("exit 0")));
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowActive(window()));
    }

    void cleanup() { m_delegate.reset(); }

    void launchShowsTheWindowAndTheTray()
    {
        QCOMPARE(AppDelegate::instance(), m_delegate.get());
        QCOMPARE(HelperConnectionProvider::applicationDelegate(), m_delegate.get());
        QCOMPARE(window()->windowTitle(), QStringLiteral("Quellnet"));
        MainViewController *view = m_delegate->mainViewController();
        QVERIFY(view != nullptr);
        QCOMPARE(view->window(), window());
        QVERIFY(view->isVisible());
        QCOMPARE(view->appDelegate(), m_delegate.get());

        QSystemTrayIcon *tray = m_delegate->statusItem();
        QVERIFY(tray != nullptr);
        QVERIFY(!tray->icon().isNull());
        QCOMPARE(tray->contextMenu(), m_delegate->statusMemu());
        QStringList items;
        for (QAction *action : m_delegate->statusMemu()->actions()) {
            if (!action->isSeparator())
                items << action->text();
        }
        QCOMPARE(items,
            (QStringList { QStringLiteral("Verbinden"), QStringLiteral("Fenster öffnen"), QStringLiteral("Beenden") }));
        QCOMPARE(m_delegate->statusMemu()->actions().first(), m_delegate->connectItem());
        // The launch's helper check is the only helper connection it makes.
        QCOMPARE(m_helperConnectionsMade, 1);
    }

    // The real window in each display mode: the tray's connect item follows, and a screenshot of
    // each mode is kept under the build tree.
    void displayModesInTheRealWindow_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("screenshot");
        QTest::newRow("disconnected") << QStringLiteral("EXITING") << QStringLiteral("Verbinden")
                                      << QStringLiteral("disconnected.png");
        QTest::newRow("connecting") << QStringLiteral("WAIT") << QStringLiteral("Wird verbunden...")
                                    << QStringLiteral("connecting.png");
        QTest::newRow("connected") << QStringLiteral("CONNECTED") << QStringLiteral("Trennen")
                                   << QStringLiteral("connected.png");
    }
    void displayModesInTheRealWindow()
    {
        QFETCH(QString, state);
        QFETCH(QString, title);
        QFETCH(QString, screenshot);
        MainViewController *view = m_delegate->mainViewController();
        if (state != QLatin1String("EXITING")) {
            view->emailEdit()->setText(QStringLiteral("anna@example.ch"));
            view->passwordEdit()->setText(QStringLiteral("geheim"));
            view->rememberCheck()->setChecked(true);
        }
        deliverState(state);
        QCOMPARE(m_delegate->connectItem()->text(), title);
        QCOMPARE(view->connectButton()->text(), title);

        // What the user sees: the green face only while connected.
        const QImage shot = window()->grab().toImage();
        const QPoint face = view->connectButton()->mapTo(window(), QPoint(6, view->connectButton()->height() / 2));
        const QColor colour = shot.pixelColor(face * shot.devicePixelRatio());
        if (state == QLatin1String("CONNECTED"))
            QVERIFY2(colour.green() > colour.red() + 60, qPrintable(colour.name()));
        else
            QVERIFY2(std::abs(colour.green() - colour.red()) < 20, qPrintable(colour.name()));

        const QString folder = QStringLiteral(QUELLNET_BUILD_PREFIX "/screenshots");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(shot.save(folder + QLatin1Char('/') + screenshot));
    }

    void reopenBringsTheSameWindowBack_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("menu item") << QStringLiteral("menu");
        QTest::newRow("tray click") << QStringLiteral("tray");
        QTest::newRow("reopen request") << QStringLiteral("reopen");
        QTest::newRow("minimized") << QStringLiteral("minimized");
    }
    void reopenBringsTheSameWindowBack()
    {
        QFETCH(QString, how);
        QWidget *const original = window();
        if (how == QLatin1String("minimized"))
            original->showMinimized();
        else
            original->close();
        QTRY_VERIFY(!original->isVisible() || original->isMinimized());

        if (how == QLatin1String("menu"))
            m_delegate->statusMemu()->actions().at(2)->trigger();
        else if (how == QLatin1String("tray"))
            Q_EMIT m_delegate->statusItem()->activated(QSystemTrayIcon::Trigger);
        else
            QVERIFY(m_delegate->applicationShouldHandleReopen(false));

        QCOMPARE(window(), original);
        QVERIFY(original->isVisible());
        QVERIFY(!original->isMinimized());
        QVERIFY(QTest::qWaitForWindowActive(original));
    }

    // The tray's connect item does exactly what the connect button does, whatever the form holds.
    void connectItemActsLikeTheConnectButton()
    {
        MainViewController *view = m_delegate->mainViewController();
        QTest::mouseClick(view->connectButton(), Qt::LeftButton);
        const int afterButton = openSheets();
        m_delegate->connectItem()->trigger();
        QCOMPARE(openSheets(), 2 * afterButton);
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
