#include "../ui/GuiTesting.h"
#include "AppDelegate.h"
#include "LaunchStandIns.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

using namespace quellnet;
using namespace quellnet::testing;

// The program's life in a running event loop: what closing the window and quitting do.
class TestAppLifecycle : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    int m_helperConnectionsMade = 0;

    std::unique_ptr<AppDelegate> launch(bool tray)
    {
        m_helperConnectionsMade = 0;
        auto delegate = std::make_unique<AppDelegate>(
            [this] {
                ++m_helperConnectionsMade;
                return unreachableHelper();
            },
            StandInPrivilegeStep::running(QStringLiteral("exit 0")));
        delegate->setSystemTrayProbeForTesting([tray] { return tray; });
        delegate->applicationDidFinishLaunching();
        return delegate;
    }

    // Runs the event loop; a loop still running after `seconds` is ended with 99.
    static int runEventLoop(int seconds)
    {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(seconds * 1000);
        return QApplication::exec();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        setUpGuiTest(m_config);
    }

    // Without a tray the window is all there is: closing it ends the program instead of leaving
    // it running out of reach.
    void withoutTrayClosingTheWindowQuits()
    {
        auto delegate = launch(false);
        QTimer::singleShot(200, delegate->window(), &QWidget::close);
        QCOMPARE(runEventLoop(10), 0);
    }

    // With a tray the program stays after the window is closed, until "Beenden"; quitting with a
    // tunnel up sends nothing to the helper.
    void withTrayTheProgramStaysUntilQuit()
    {
        auto delegate = launch(true);
        deliverState(QStringLiteral("CONNECTED"));
        bool stayed = false;
        QTimer::singleShot(200, delegate->window(), &QWidget::close);
        QTimer::singleShot(1200, delegate.get(), [&] {
            stayed = !delegate->window()->isVisible();
            delegate->statusMemu()->actions().last()->trigger();
        });
        QCOMPARE(runEventLoop(10), 0);
        QVERIFY(stayed);
        QCOMPARE(m_helperConnectionsMade, 1); // the launch's helper check, nothing at quit
        QCOMPARE(OpenVPNService::shared().state(), QStringLiteral("CONNECTED"));
    }
};

QTEST_MAIN(TestAppLifecycle)
#include "tst_applifecycle.moc"
