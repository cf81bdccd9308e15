#include "../ui/GuiTesting.h"
#include "AppDelegate.h"
#include "LaunchStandIns.h"
#include "SingleInstance.h"

#include <QDir>
#include <QScopeGuard>

#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <cstring>

#include <optional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::testing;

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_runtime;

    QString socketPath() const { return m_runtime->filePath(QStringLiteral("quellnet.socket")); }

    // A later launch's claim, made on a thread of its own as a second program would, while this
    // thread keeps serving.
    static std::optional<SingleInstance::Role> claimFromAnotherLaunch(const QString &path)
    {
        std::optional<SingleInstance::Role> role;
        std::unique_ptr<QThread> launch(QThread::create([&role, path] { role = SingleInstance(path).claim(); }));
        launch->start();
        if (!QTest::qWaitFor([&launch] { return launch->isFinished(); }, 15000))
            return std::nullopt;
        launch->wait();
        return role;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        setUpGuiTest(m_config);
    }

    void init()
    {
        m_runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(m_runtime->isValid());
    }

    void secondLaunchRaisesTheFirst()
    {
        AppDelegate delegate(&unreachableHelper, StandInPrivilegeStep::running(QStringLiteral("exit 0")));
        delegate.applicationDidFinishLaunching();
        SingleInstance first(socketPath());
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QVERIFY(first.isServing());
        connect(&first, &SingleInstance::activationRequested, &delegate, &AppDelegate::reopenWindow);
        delegate.window()->close();

        QCOMPARE(claimFromAnotherLaunch(socketPath()), SingleInstance::Role::HandedOver);
        QTRY_VERIFY(delegate.window()->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(delegate.window()));
    }

    // A socket left behind by a program that crashed does not block the next launch.
    void leftoverSocketIsReplaced()
    {
        const QByteArray path = QFile::encodeName(socketPath());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        QVERIFY(QFile::exists(socketPath()));

        SingleInstance first(socketPath());
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QVERIFY(first.isServing());
        QCOMPARE(claimFromAnotherLaunch(socketPath()), SingleInstance::Role::HandedOver);
    }

    // Whatever connects is answered only for the one request it may make.
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
    // enter, so no other user can take its name or talk to it; a folder handed to another user
    // is not used.
    void foreignRuntimeFolderIsNotUsed()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to hand a folder to another user");
        QVERIFY(::chown(QFile::encodeName(m_runtime->path()).constData(), 65534, 65534) == 0);
        QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
        const QString path = SingleInstance::defaultSocketPath();
        qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY2(!path.startsWith(m_runtime->path()), qPrintable(path));
        if (!path.isEmpty()) {
            const QFileInfo folder(QFileInfo(path).absolutePath());
            QCOMPARE(folder.ownerId(), ::geteuid());
            QCOMPARE(int(folder.permissions() & 0x0077), 0);
        }
    }

    // The real program, twice: the second launch hands over and ends with 0, and the first brings
    // its window to the front.
    void secondProgramHandsOver()
    {
        const QString program = QStringLiteral(QUELLNET_BUILD_PREFIX "/bin/quellnet");
        QVERIFY(QFile::exists(program));
        QVERIFY(QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("quellnet.*.debug=true"));
        // No helper serves here: the launch installs one, through a pkexec that succeeds at once.
        environment.insert(QStringLiteral("PATH"),
            QStringLiteral(QUELLNET_STAND_IN_BIN ":") + environment.value(QStringLiteral("PATH")));

        QProcess first;
        first.setProcessEnvironment(environment);
        first.start(program, {});
        QVERIFY(first.waitForStarted());
        auto stop = qScopeGuard([&first] {
            first.kill();
            first.waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_runtime->filePath(QStringLiteral("quellnet.socket"))), 15000);

        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(program, {});
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);

        QByteArray firstOutput;
        QTRY_VERIFY_WITH_TIMEOUT(
            (firstOutput += first.readAllStandardError()).contains("a later launch asked for the window"), 10000);
        QCOMPARE(first.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
