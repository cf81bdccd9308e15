// The delegate with the real window and tray, and one running program per user.
#include "app/AppDelegate.h"
#include "helperlink/LocalHelperConnection.h"
#include "helperlink/PkexecPrivilegeStep.h"
#include "tests/support/GuiTesting.h"
#include "tests/support/ProgramProcess.h"
#include "ui/MainViewController.h"

#include <QAction>
#include <QLocalSocket>
#include <QMenu>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

class TestApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    int m_helperConnectionsMade = 0;
    std::unique_ptr<AppDelegate> m_delegate;

    QWidget *window() const { return m_delegate->window(); }

    // No helper serves, and installing one succeeds at once.
    void launch()
    {
        m_helperConnectionsMade = 0;
        m_delegate = std::make_unique<AppDelegate>(
            [this] {
                ++m_helperConnectionsMade;
                return std::make_shared<LocalHelperConnection>(u"/nonexistent/helper.sock"_s);
            },
            std::make_unique<PkexecPrivilegeStep>(u"" QUELLNET_STAND_IN_BIN "/pkexec"_s));
        m_delegate->setSystemTrayProbeForTesting([] { return true; });
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowActive(window()));
    }

private Q_SLOTS:
    void initTestCase() { setUpGuiTest(m_config); }
    void cleanup() { m_delegate.reset(); }

    void launchShowsTheWindowAndTheTray()
    {
        launch();
        QCOMPARE(window()->windowTitle(), u"Quellnet"_s);
        QVERIFY(!m_delegate->statusItem()->icon().isNull()
            && m_delegate->statusItem()->contextMenu() == m_delegate->statusMemu());
        const QList<QAction *> items = m_delegate->statusMemu()->actions();
        QVERIFY(items.size() == 4 && items.first() == m_delegate->connectItem() && items[1]->isSeparator());
        QCOMPARE(items.first()->text() + items[2]->text() + items[3]->text(), u"VerbindenFenster öffnenBeenden"_s);
        QTRY_COMPARE(m_helperConnectionsMade, 1); // the launch's helper check, once the version is read
    }

    void reopenBringsTheSameWindowBack_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : { "menu item", "tray click", "reopen request", "minimized" })
            QTest::newRow(how) << QString::fromLatin1(how);
    }
    void reopenBringsTheSameWindowBack()
    {
        QFETCH(QString, how);
        launch();
        QWidget *const original = window();
        if (how == u"minimized")
            original->showMinimized();
        else
            original->close();
        QTRY_VERIFY(!original->isVisible() || original->isMinimized());
        if (how == u"menu item")
            m_delegate->statusMemu()->actions().at(2)->trigger();
        else if (how == u"tray click")
            Q_EMIT m_delegate->statusItem()->activated(QSystemTrayIcon::Trigger);
        else
            QVERIFY(m_delegate->applicationShouldHandleReopen(false));
        QCOMPARE(window(), original);
        QVERIFY(original->isVisible() && !original->isMinimized());
        QVERIFY(QTest::qWaitForWindowActive(original));
    }

    // The real program, twice: the second hands over and ends with 0; the first shows its window. A
    // socket left behind by a crashed program does not block the first.
    void secondProgramHandsOver()
    {
        QTemporaryDir home;
        const QString program = u"" QUELLNET_BUILD_PREFIX "/bin/quellnet"_s;
        ProgramProcess first(program, home.path()), second(program, home.path());
        for (ProgramProcess *process : { &first, &second }) {
            process->setEnvironmentValue(u"QT_LOGGING_RULES"_s, u"quellnet.*.debug=true"_s);
            process->setEnvironmentValue(u"PATH"_s, u"" QUELLNET_STAND_IN_BIN ":"_s + qEnvironmentVariable("PATH"));
        }
        const QString socketPath = home.filePath(u"runtime/quellnet.socket"_s);
        const QByteArray path = QFile::encodeName(socketPath);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address { AF_UNIX, {} };
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        first.start();
        const auto listening = [&socketPath] {
            QLocalSocket probe;
            probe.connectToServer(socketPath);
            return probe.waitForConnected(100);
        };
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 15000);
        second.start();
        QVERIFY(second.waitForFinished(15000) && second.exitStatus() == QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QStringList firstSaid;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(firstSaid += first.readErrorLines()).filter(u"a later launch asked for the window"_s).isEmpty(), 10000);
        QCOMPARE(first.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
