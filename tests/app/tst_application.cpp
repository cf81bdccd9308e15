// The application: the delegate with the real window and tray (the launch, bringing the window
// back, the tray's items, the program's life in its event loop), and one running program per user.
#include "../ui/GuiTesting.h"
#include "AppDelegate.h"
#include "FlatButton.h"
#include "LocalHelperConnection.h"
#include "MainViewController.h"
#include "PkexecPrivilegeStep.h"
#include "SingleInstance.h"

#include <QAction>
#include <QLocalSocket>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::testing;
using namespace Qt::StringLiterals;

class TestApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_runtime;
    int m_helperConnectionsMade = 0;
    std::unique_ptr<AppDelegate> m_delegate;

    QWidget *window() const { return m_delegate->window(); }
    int openSheets() const { return int(window()->findChildren<QMessageBox *>().size()); }
    QString socketPath() const { return m_runtime->filePath(u"quellnet.socket"_s); }

    // Launches as the program does, on a desktop with or without a tray; no helper serves, and
    // installing one succeeds at once.
    void launch(bool tray = true)
    {
        m_helperConnectionsMade = 0;
        m_delegate = std::make_unique<AppDelegate>(
            [this] {
                ++m_helperConnectionsMade;
                return std::make_shared<LocalHelperConnection>(u"/nonexistent/helper.sock"_s);
            },
            std::make_unique<PkexecPrivilegeStep>(u"" QUELLNET_STAND_IN_BIN "/pkexec"_s));
        m_delegate->setSystemTrayProbeForTesting([tray] { return tray; });
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowActive(window()));
    }

private Q_SLOTS:
    void initTestCase() { setUpGuiTest(m_config); }

    void init()
    {
        m_runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(m_runtime->isValid());
    }

    void cleanup()
    {
        m_delegate.reset();
        deliverState(u"NOPROCESS"_s);
    }

    void launchShowsTheWindowAndTheTray()
    {
        launch();
        QCOMPARE(window()->windowTitle(), u"Quellnet"_s);
        QVERIFY(
            m_delegate->mainViewController()->isVisible() && window()->isAncestorOf(m_delegate->mainViewController()));
        QVERIFY(!m_delegate->statusItem()->icon().isNull()
            && m_delegate->statusItem()->contextMenu() == m_delegate->statusMemu());
        QStringList items;
        for (QAction *action : m_delegate->statusMemu()->actions())
            items << action->text();
        QCOMPARE(items, (QStringList { u"Verbinden"_s, QString(), u"Fenster öffnen"_s, u"Beenden"_s }));
        QCOMPARE(m_delegate->statusMemu()->actions().first(), m_delegate->connectItem());
        // The launch's helper check is the only helper connection it makes.
        QCOMPARE(m_helperConnectionsMade, 1);
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

    // The tray's connect item does exactly what the connect button does, whatever the form holds.
    void connectItemActsLikeTheConnectButton()
    {
        launch();
        QTest::mouseClick(m_delegate->mainViewController()->connectButton(), Qt::LeftButton);
        const int afterButton = openSheets();
        m_delegate->connectItem()->trigger();
        QCOMPARE(openSheets(), 2 * afterButton);
    }

    // Without a tray the window is all there is: closing it ends the program instead of leaving it
    // running out of reach. With a tray the program stays until "Beenden". Quitting with a tunnel
    // up sends nothing to the helper.
    void closingTheWindow_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::newRow("without a tray") << false;
        QTest::newRow("with a tray") << true;
    }
    void closingTheWindow()
    {
        QFETCH(bool, tray);
        launch(tray);
        deliverState(u"CONNECTED"_s);
        bool stayed = false;
        QTimer::singleShot(200, window(), &QWidget::close);
        QTimer::singleShot(1200, m_delegate.get(), [&] {
            stayed = !window()->isVisible();
            m_delegate->statusMemu()->actions().last()->trigger();
        });
        QTimer::singleShot(10000, m_delegate.get(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(stayed, tray);
        QCOMPARE(m_helperConnectionsMade, 1);
    }

    // Whatever connects is answered only for the one request it may make. A socket left behind by a
    // program that crashed does not block the launch.
    void requestsAreChecked_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("activates");
        QTest::newRow("activate") << QByteArray("activate\n") << true;
        QTest::newRow("unknown") << QByteArray("quit\n") << false;
        QTest::newRow("trailing data") << QByteArray("activate\nactivate\n") << false;
        QTest::newRow("overlong line") << QByteArray(200, 'a') << false;
        QTest::newRow("nul inside") << QByteArray("activ\0te\n", 9) << false;
    }
    void requestsAreChecked()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, activates);
        const QByteArray path = QFile::encodeName(socketPath());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address { AF_UNIX, {} };
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        SingleInstance first(socketPath());
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy activations(&first, &SingleInstance::activationRequested);
        QLocalSocket client;
        client.connectToServer(socketPath());
        QVERIFY(client.waitForConnected(2000));
        client.write(request);
        QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(activations.size(), activates ? 1 : 0);
        QCOMPARE(client.readAll(), activates ? QByteArray("ok\n") : QByteArray());
    }

    // The socket lives only in a runtime folder that belongs to the user and nobody else may
    // enter, so no other user can take its name or talk to it.
    void foreignRuntimeFolderIsNotUsed()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to hand a folder to another user");
        QCOMPARE(::chown(QFile::encodeName(m_runtime->path()).constData(), 65534, 65534), 0);
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
        const QString path = SingleInstance::defaultSocketPath();
        qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY2(!path.startsWith(m_runtime->path()), qPrintable(path));
    }

    // The real program, twice: the second launch hands over and ends with 0, and the first is
    // asked for its window.
    void secondProgramHandsOver()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, m_runtime->path());
        environment.insert(u"XDG_CONFIG_HOME"_s, m_runtime->path());
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.insert(u"QT_LOGGING_RULES"_s, u"quellnet.*.debug=true"_s);
        // No helper serves here: the launch installs one, through a pkexec that succeeds at once.
        environment.insert(u"PATH"_s, u"" QUELLNET_STAND_IN_BIN ":"_s + environment.value(u"PATH"_s));
        QProcess first, second; // killed when they go
        first.setProcessEnvironment(environment);
        second.setProcessEnvironment(environment);
        first.start(u"" QUELLNET_BUILD_PREFIX "/bin/quellnet"_s, {});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socketPath()), 15000);

        second.start(first.program(), {});
        QVERIFY(second.waitForFinished(15000) && second.exitStatus() == QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QByteArray firstOutput;
        QTRY_VERIFY_WITH_TIMEOUT(
            (firstOutput += first.readAllStandardError()).contains("a later launch asked for the window"), 10000);
        QCOMPARE(first.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
