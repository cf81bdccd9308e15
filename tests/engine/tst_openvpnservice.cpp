// The VPN service's start and stop with a fake helper and a loopback management interface.
#include "AppPaths.h"
#include "EngineTestSupport.h"
#include "FakeHelper.h"
#include "ManagementServer.h"
#include "OpenVPNManagement.h"
#include "OpenVPNService.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;

namespace {

const QString configPath = QStringLiteral("/tmp/quellnet-engine-test.ovpn");
const QString gaveUp = QStringLiteral("error while starting mgmt interface\n");

QByteArray openingCommands(const QByteArray &quotedUser, const QByteArray &quotedPassword)
{
    return "state on\nbytecount 1\nlog on\nusername 'Auth' " + quotedUser + "\npassword 'Auth' " + quotedPassword
        + "\n";
}

// Reads one message from `fd` into `data`, waiting at most `timeoutMs`.
bool readWithin(int fd, void *data, std::size_t size, int timeoutMs)
{
    pollfd entry { fd, POLLIN, 0 };
    return ::poll(&entry, 1, timeoutMs) == 1 && ::read(fd, data, size) == static_cast<ssize_t>(size);
}

} // namespace

class TestOpenVPNService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startSendsOpeningCommandsAndCredentials_data();
    void startSendsOpeningCommandsAndCredentials();
    void startThatCannotGoAhead_data();
    void startThatCannotGoAhead();
    void noHelperGivesUpWithoutFreezingTheGuiThread();
    void startsRunOneAfterAnother();
    void helperErrorIsOnlyLogged();
    void openvpnClosesTheConnection_data();
    void openvpnClosesTheConnection();
    void onlyTheLatestStartsTerminationCounts();
    void terminationReplyOvertakesTheLastReport();
    void listenerOfAnotherUserGetsNoCredentials_data();
    void listenerOfAnotherUserGetsNoCredentials();

private:
    OpenVPNService &service() { return OpenVPNService::shared(); }
    void startWith(const QString &user, const QString &password);

    QTemporaryDir m_prefix;
    QTemporaryDir m_emptyPrefix;
    FakeDelegate m_delegate;
    std::shared_ptr<FakeHelper> m_helper;
};

void TestOpenVPNService::initTestCase()
{
    QVERIFY(m_prefix.isValid() && m_emptyPrefix.isValid());
    QVERIFY(QDir(m_prefix.path()).mkpath(QStringLiteral("share/quellnet")));
    for (const char *script : { "client.up", "client.down" }) {
        QFile file(m_prefix.filePath(QStringLiteral("share/quellnet/") + QLatin1String(script)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
    }
}

void TestOpenVPNService::init()
{
    AppPaths::setPrefixForTesting(m_prefix.path());
    m_helper = std::make_shared<FakeHelper>();
    m_delegate.connection = std::make_shared<FakeHelperConnection>(m_helper);
    HelperConnectionProvider::setApplicationDelegate(&m_delegate);
    service().setState(QStringLiteral("NOPROCESS"));
}

void TestOpenVPNService::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting(), 30000);
    service().management().socket().close();
    QTRY_COMPARE(service().management().readerCount(), 0);
    drainEvents();
    HelperConnectionProvider::setApplicationDelegate(nullptr);
    service().setState(QStringLiteral("NOPROCESS"));
}

void TestOpenVPNService::startWith(const QString &user, const QString &password)
{
    service().setConfig(configPath);
    service().setUsername(user);
    service().setPassword(password);
    service().startOpenVPN();
}

void TestOpenVPNService::startSendsOpeningCommandsAndCredentials_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("plain") << QStringLiteral("anna@example.com") << QStringLiteral("hunter2")
                           << openingCommands("\"anna@example.com\"", "\"hunter2\"");
    QTest::newRow("blank, quote and backslash") << QStringLiteral("anna@example.com") << QStringLiteral("my pass\"q\\")
                                                << openingCommands("\"anna@example.com\"", "\"my pass\\\"q\\\\\"");
    QTest::newRow("quotes in the user name") << QStringLiteral("o'neil\"@example.com") << QStringLiteral("s3cret")
                                             << openingCommands("\"o'neil\\\"@example.com\"", "\"s3cret\"");
    QTest::newRow("256 bytes of UTF-8") << QStringLiteral("anna@example.com") << QString(128, QChar(0xE9))
                                        << openingCommands("\"anna@example.com\"",
                                               '"' + QByteArray("\xc3\xa9").repeated(128) + '"');
}

void TestOpenVPNService::startSendsOpeningCommandsAndCredentials()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, wire);

    ManagementServer server;
    QVERIFY(server.listen());
    OutputCapture output;
    StateObserver observer;

    startWith(user, password);
    // The helper was asked before start returned; the management side follows on the worker.
    const std::vector<FakeHelper::RunRequest> runs = m_helper->runs();
    QCOMPARE(runs.size(), std::size_t(1));
    QCOMPARE(runs[0].config, configPath);
    QCOMPARE(runs[0].clientUp, m_prefix.filePath(QStringLiteral("share/quellnet/client.up")));
    QCOMPARE(runs[0].clientDown, m_prefix.filePath(QStringLiteral("share/quellnet/client.down")));

    QTRY_COMPARE(server.received(0), wire);
    QTRY_VERIFY(!service().isStarting());
    const QString trace = output.joined();
    QVERIFY(trace.contains(QStringLiteral("state on\n\nbytecount 1\n\nlog on\n\nusername 'Auth' ")));
    QVERIFY(trace.contains(QStringLiteral("password 'Auth' \"********\"\n\n")));
    QVERIFY2(!trace.contains(password), "the password reached standard output");

    // The reader runs: openvpn's state reports now drive the state.
    QVERIFY(server.deliver(0, ">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,198.51.100.7,1194,,\r\n"));
    QTRY_COMPARE(service().state(), QStringLiteral("CONNECTED"));
    QTRY_COMPARE(observer.notifications, 1);

    service().stopOpenVPN();
    QTRY_COMPARE(server.received(0), wire + "signal SIGINT\n");
    QCOMPARE(service().state(), QStringLiteral("CONNECTED"));
}

void TestOpenVPNService::startThatCannotGoAhead_data()
{
    QTest::addColumn<bool>("withConfig");
    QTest::addColumn<QString>("user"); // null: not set
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("withResources");

    const QString user = QStringLiteral("anna@example.com");
    QTest::newRow("no configuration") << false << user << QStringLiteral("pw") << true;
    QTest::newRow("no user name") << true << QString() << QStringLiteral("pw") << true;
    QTest::newRow("no password") << true << user << QString() << true;
    QTest::newRow("scripts missing") << true << user << QStringLiteral("pw") << false;
    QTest::newRow("line feed in the user name")
        << true << QStringLiteral("anna@example.com\nsignal SIGTERM") << QStringLiteral("pw") << true;
    QTest::newRow("carriage return in the password") << true << user << QStringLiteral("pw\rx") << true;
    QTest::newRow("NUL in the password") << true << user << QStringLiteral("pw") + QChar(0) + u'x' << true;
    QTest::newRow("tab in the password") << true << user << QStringLiteral("pw\tx") << true;
    QTest::newRow("password over 256 bytes") << true << user << QString(257, u'x') << true;
    QTest::newRow("multi-byte password over 256 bytes") << true << user << QString(129, QChar(0xE9)) << true;
}

void TestOpenVPNService::startThatCannotGoAhead()
{
    QFETCH(bool, withConfig);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, withResources);

    ManagementServer server;
    QVERIFY(server.listen());
    OutputCapture output;
    LogCapture log;
    StateObserver observer;
    if (!withResources)
        AppPaths::setPrefixForTesting(m_emptyPrefix.path());
    service().setConfig(withConfig ? std::optional<QString>(configPath) : std::nullopt);
    service().setUsername(user.isNull() ? std::nullopt : std::optional<QString>(user));
    service().setPassword(password.isNull() ? std::nullopt : std::optional<QString>(password));

    service().startOpenVPN();
    QTRY_VERIFY(!service().isStarting());
    drainEvents();

    QCOMPARE(m_helper->runs().size(), std::size_t(0));
    QCOMPARE(server.connectionCount(), 0);
    QCOMPARE(output.texts(), QStringList { gaveUp });
    QCOMPARE(log.texts().size(), 1);
    QVERIFY(user.isEmpty() || !log.joined().contains(user));
    QVERIFY(password.isEmpty() || !log.joined().contains(password));
    QCOMPARE(service().state(), QStringLiteral("NOPROCESS"));
    QCOMPARE(observer.notifications, 1);
}

void TestOpenVPNService::noHelperGivesUpWithoutFreezingTheGuiThread()
{
    m_delegate.connection.reset();
    OutputCapture output;
    StateObserver observer;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(50);

    QElapsedTimer elapsed;
    elapsed.start();
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    QVERIFY2(elapsed.elapsed() < 1000, "start blocked its caller");
    QVERIFY(service().isStarting());

    QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting(), 30000);
    // Eight refused attempts, each followed by 300 ms: about 2.4 s.
    QVERIFY2(elapsed.elapsed() >= 2000 && elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QCOMPARE(output.texts(), QStringList { gaveUp });
    drainEvents();
    // Posted even though the state was "NOPROCESS" already.
    QCOMPARE(observer.notifications, 1);
    QCOMPARE(service().state(), QStringLiteral("NOPROCESS"));
}

void TestOpenVPNService::startsRunOneAfterAnother()
{
    OutputCapture output;
    QElapsedTimer elapsed;
    elapsed.start();
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    // Both requests went to the helper at once ...
    QCOMPARE(m_helper->runs().size(), std::size_t(2));

    // ... but the second start's attempts only begin when the first has given up.
    QTRY_VERIFY_WITH_TIMEOUT(output.count(gaveUp) == 1, 30000);
    const qint64 first = elapsed.elapsed();
    QVERIFY(service().isStarting());
    QTRY_VERIFY_WITH_TIMEOUT(output.count(gaveUp) == 2, 30000);
    const qint64 second = elapsed.elapsed();
    QVERIFY2(second - first >= 2000, qPrintable(QStringLiteral("%1 then %2").arg(first).arg(second)));
    QTRY_VERIFY(!service().isStarting());
}

void TestOpenVPNService::helperErrorIsOnlyLogged()
{
    ManagementServer server;
    QVERIFY(server.listen());
    LogCapture log;
    m_helper->refusal = QStringLiteral("configuration refused");
    service().setState(QStringLiteral("EXITING"));

    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    QTRY_COMPARE(log.texts(), QStringList { QStringLiteral("XPCService error: configuration refused") });
    // The start goes on as if openvpn were coming; the error changes nothing else.
    QTRY_COMPARE(server.received(0), openingCommands("\"anna@example.com\"", "\"pw\""));
    QCOMPARE(service().state(), QStringLiteral("EXITING"));
}

void TestOpenVPNService::openvpnClosesTheConnection_data()
{
    QTest::addColumn<QString>("lastReport");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("notifications");

    // openvpn gone without saying so: no process any more.
    QTest::newRow("while connected") << QStringLiteral("CONNECTED") << QStringLiteral("NOPROCESS") << 2;
    QTest::newRow("while connecting") << QStringLiteral("WAIT") << QStringLiteral("NOPROCESS") << 2;
    // A normal stop: openvpn reported EXITING first, and the termination reply will follow.
    QTest::newRow("after exiting") << QStringLiteral("EXITING") << QStringLiteral("EXITING") << 1;
}

void TestOpenVPNService::openvpnClosesTheConnection()
{
    QFETCH(QString, lastReport);
    QFETCH(QString, expected);
    QFETCH(int, notifications);

    ManagementServer server;
    QVERIFY(server.listen());
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    QTRY_VERIFY(!service().isStarting());
    drainEvents();
    StateObserver observer;
    QVERIFY(server.deliver(0, ">STATE:1700000000," + lastReport.toUtf8() + ",,,,,,\r\n"));
    QTRY_COMPARE(service().state(), lastReport);

    server.connection(0)->disconnectFromHost();
    QTRY_COMPARE(service().management().readerCount(), 0);
    drainEvents();
    QCOMPARE(service().state(), expected);
    QCOMPARE(observer.notifications, notifications);
}

void TestOpenVPNService::onlyTheLatestStartsTerminationCounts()
{
    ManagementServer server;
    QVERIFY(server.listen());
    LogCapture log;
    const QByteArray wire = openingCommands("\"anna@example.com\"", "\"pw\"");

    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    QTRY_COMPARE(server.received(0), wire);
    QTRY_VERIFY(!service().isStarting());
    QVERIFY(server.deliver(0, ">STATE:1,EXITING,SIGINT,,,,,\r\n"));
    // A new start follows an idle state before the first openvpn has ended; with no word of its
    // end, the start goes ahead once the helper's grace is over.
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    QTRY_COMPARE_WITH_TIMEOUT(server.received(1), wire, 20000);
    QTRY_VERIFY(!service().isStarting());
    QVERIFY(server.deliver(1, ">STATE:2,CONNECTED,SUCCESS,,,,,\r\n"));
    QTRY_COMPARE(service().state(), QStringLiteral("CONNECTED"));
    // The first connection's reader ends once its pause after the last read is over.
    QTRY_COMPARE(service().management().readerCount(), 1);

    const std::vector<FakeHelper::RunRequest> runs = m_helper->runs();
    QCOMPARE(runs.size(), std::size_t(2));
    drainEvents();
    StateObserver observer;
    // Replies arrive on the helper connection's thread.
    std::thread([&] { runs[0].terminationHandler(0); }).join();
    drainEvents();
    QCOMPARE(service().state(), QStringLiteral("CONNECTED"));
    QCOMPARE(observer.notifications, 0);

    std::thread([&] { runs[1].terminationHandler(1); }).join();
    drainEvents();
    QCOMPARE(service().state(), QStringLiteral("NOPROCESS"));
    QCOMPARE(observer.notifications, 1);

    // A reply while the state is NOPROCESS is logged and posts nothing.
    std::thread([&] { runs[1].terminationHandler(-11); }).join();
    drainEvents();
    QCOMPARE(observer.notifications, 1);
    QCOMPARE(log.texts(),
        (QStringList { QStringLiteral("OpenVPN exited: termiationStatus=0"),
            QStringLiteral("OpenVPN exited: termiationStatus=1"),
            QStringLiteral("OpenVPN exited: termiationStatus=-11") }));
}

void TestOpenVPNService::terminationReplyOvertakesTheLastReport()
{
    ManagementServer server;
    QVERIFY(server.listen());
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("pw"));
    QTRY_VERIFY(!service().isStarting());
    QVERIFY(server.deliver(0, ">STATE:1,CONNECTED,SUCCESS,,,,,\r\n"));
    QTRY_COMPARE(service().state(), QStringLiteral("CONNECTED"));
    drainEvents();
    StateObserver observer;

    // The reader has just read and pauses; openvpn's last report and its exit reply come now.
    QVERIFY(server.deliver(0, ">LOG:1,I,SIGINT received\r\n"));
    server.connection(0)->write(">STATE:2,EXITING,SIGINT,,,,,\r\n");
    QVERIFY(server.connection(0)->flush());
    server.connection(0)->disconnectFromHost();
    QCOMPARE(server.connection(0)->state(), QAbstractSocket::UnconnectedState);
    const FakeHelper::RunRequest run = m_helper->runs().at(0);
    std::thread([&run] { run.terminationHandler(0); }).join();

    drainEvents();
    QCOMPARE(service().state(), QStringLiteral("NOPROCESS"));
    // EXITING, then NOPROCESS: both notifications find the state at NOPROCESS.
    QCOMPARE(observer.seen, (QStringList { QStringLiteral("NOPROCESS"), QStringLiteral("NOPROCESS") }));
}

void TestOpenVPNService::listenerOfAnotherUserGetsNoCredentials_data()
{
    QTest::addColumn<int>("acceptDelayMs");
    QTest::newRow("accepts at once") << 0;
    // Until it is accepted, some kernels show the connection as root's.
    QTest::newRow("accepts late") << 1500;
}

void TestOpenVPNService::listenerOfAnotherUserGetsNoCredentials()
{
    QFETCH(int, acceptDelayMs);
    if (::geteuid() != 0)
        QSKIP("needs root to run a listener as another user");

    int ready[2];
    int result[2];
    QCOMPARE(::pipe2(ready, O_CLOEXEC), 0);
    QCOMPARE(::pipe2(result, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Another local user's listener on the management port. Only system calls from here on.
        ::close(ready[0]);
        ::close(result[0]);
        const gid_t nogroup = 65534;
        const uid_t nobody = 65534;
        const int one = 1;
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(ManagementServer::port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nogroup, nogroup, nogroup) != 0
            || ::setresuid(nobody, nobody, nobody) != 0) {
            ::write(ready[1], "F", 1);
            ::_exit(1);
        }
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener < 0 || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0
            || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
            || ::listen(listener, 4) != 0) {
            ::write(ready[1], "F", 1);
            ::_exit(1);
        }
        ::write(ready[1], "R", 1);
        if (acceptDelayMs > 0)
            ::usleep(static_cast<useconds_t>(acceptDelayMs) * 1000);
        const int peer = ::accept(listener, nullptr, nullptr);
        long total = 0;
        char buffer[256];
        for (ssize_t n; peer >= 0 && (n = ::read(peer, buffer, sizeof(buffer))) > 0;)
            total += n;
        ::write(result[1], &total, sizeof(total));
        ::_exit(0);
    }
    auto reap = qScopeGuard([&] {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        for (int fd : { ready[0], ready[1], result[0], result[1] })
            ::close(fd);
    });
    ::close(ready[1]);
    ::close(result[1]);
    ready[1] = result[1] = -1;
    char status = 0;
    QVERIFY(readWithin(ready[0], &status, 1, 5000));
    QCOMPARE(status, 'R');

    OutputCapture output;
    LogCapture log;
    StateObserver observer;
    startWith(QStringLiteral("anna@example.com"), QStringLiteral("hunter2"));
    QTRY_VERIFY(!service().isStarting());

    long received = -1;
    QVERIFY2(readWithin(result[0], &received, sizeof(received), 5000), qPrintable(log.joined()));
    QCOMPARE(received, 0L);
    QCOMPARE(log.texts().size(), 1);
    QVERIFY2(log.texts().first().contains(QStringLiteral("uid 65534")), qPrintable(log.texts().first()));
    QCOMPARE(output.texts(), QStringList { gaveUp });
    drainEvents();
    QCOMPARE(service().state(), QStringLiteral("NOPROCESS"));
    QCOMPARE(observer.notifications, 1);
}

QTEST_GUILESS_MAIN(TestOpenVPNService)
#include "tst_openvpnservice.moc"
