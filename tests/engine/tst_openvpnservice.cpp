// The VPN service's start and stop with a fake helper and a loopback management interface.
//
// The service hands credentials only to a management port that root holds, and this test's
// listener is root's only when the test runs as root: tests that need a listener to take the
// credentials skip otherwise.
#include "AppPaths.h"
#include "FakeHelper.h"
#include "ManagementServer.h"
#include "OpenVPNManagement.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <thread>

#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

#define SKIP_UNLESS_ROOT()                                                                                             \
    if (::geteuid() != 0)                                                                                              \
    QSKIP("needs root: the service talks only to a management port that root holds")

namespace {

const QString configPath = u"/tmp/quellnet-engine-test.ovpn"_s;
const QString gaveUp = u"error while starting mgmt interface\n"_s;
const QString user = u"anna@example.com"_s;

QByteArray openingCommands(
    const QByteArray &quotedUser = R"("anna@example.com")", const QByteArray &quotedPassword = R"("pw")")
{
    return "state on\nbytecount 1\nlog on\nusername 'Auth' " + quotedUser + "\npassword 'Auth' " + quotedPassword
        + "\n";
}

// Forks a listener of another local user (nobody) on the management port that accepts after
// `acceptDelayMs`. It exits 0 when the connection brought no byte, 1 when it did, 2 when it could
// not listen. Only system calls in the child; the socket comes after the switch, since the kernel
// shows a socket as its creator's.
pid_t listenAsNobody(int acceptDelayMs)
{
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    const uid_t nobody = 65534;
    const int one = 1;
    const sockaddr_in address { .sin_family = AF_INET,
        .sin_port = htons(ManagementServer::port),
        .sin_addr = { htonl(INADDR_LOOPBACK) },
        .sin_zero = {} };
    int listener = -1;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0
        || ::setresuid(nobody, nobody, nobody) != 0 || (listener = ::socket(AF_INET, SOCK_STREAM, 0)) < 0
        || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0
        || ::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 4) != 0)
        ::_exit(2);
    ::usleep(static_cast<useconds_t>(acceptDelayMs) * 1000);
    const int peer = ::accept(listener, nullptr, nullptr);
    char byte = 0;
    ::_exit(peer >= 0 && ::read(peer, &byte, 1) > 0 ? 1 : 0);
}

} // namespace

class TestOpenVPNService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_prefix;
    FakeDelegate m_delegate;
    std::shared_ptr<FakeHelper> m_helper;

    OpenVPNService &service() { return OpenVPNService::shared(); }

    void startWith(const QString &name, const QString &password)
    {
        service().setConfig(configPath);
        service().setUsername(name);
        service().setPassword(password);
        service().startOpenVPN();
    }

    // Starts, and waits until connection `index` has the opening commands and the start is over.
    void startConnected(ManagementServer &server, int index)
    {
        startWith(user, u"pw"_s);
        QTRY_COMPARE_WITH_TIMEOUT(server.received(index), openingCommands(), 20000);
        QTRY_VERIFY(!service().isStarting());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDir(m_prefix.path()).mkpath(u"share/quellnet"_s));
        for (const char *script : { "client.up", "client.down" }) {
            QFile file(m_prefix.filePath("share/quellnet/"_L1 + QLatin1String(script)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }

    void init()
    {
        AppPaths::setPrefixForTesting(m_prefix.path());
        m_helper = std::make_shared<FakeHelper>();
        m_delegate.connection = std::make_shared<FakeHelperConnection>(m_helper);
        HelperConnectionProvider::setApplicationDelegate(&m_delegate);
        service().setState(u"NOPROCESS"_s);
    }

    void cleanup()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting(), 30000);
        service().management().socket().close();
        QTRY_COMPARE(service().management().readerCount(), 0);
        drainEvents();
        HelperConnectionProvider::setApplicationDelegate(nullptr);
        service().setState(u"NOPROCESS"_s);
    }

    void startSendsOpeningCommandsAndCredentials_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("quotedName");
        QTest::addColumn<QByteArray>("quotedPassword");
        QTest::addColumn<QString>("helperError"); // the helper's answer to the run request; empty: none

        const QByteArray quotedUser = R"("anna@example.com")";
        QTest::newRow("blank, quote and backslash")
            << user << u"my pass\"q\\"_s << quotedUser << "\"my pass\\\"q\\\\\""_ba << QString();
        QTest::newRow("quotes in the user name")
            << u"o'neil\"@example.com"_s << u"s3cret"_s << "\"o'neil\\\"@example.com\""_ba
            << R"("s3cret")"_ba << QString();
        QTest::newRow("256 bytes of UTF-8") << user << QString(128, QChar(0xE9)) << quotedUser
                                            << '"' + QByteArray("\xc3\xa9").repeated(128) + '"' << QString();
        // The start goes on as if openvpn were coming; the error is only logged.
        QTest::newRow("helper error") << user << u"s3cret"_s << quotedUser << R"("s3cret")"_ba << u"refused"_s;
    }

    void startSendsOpeningCommandsAndCredentials()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QByteArray, quotedName);
        QFETCH(QByteArray, quotedPassword);
        QFETCH(QString, helperError);
        SKIP_UNLESS_ROOT();

        ManagementServer server;
        QVERIFY(server.listen());
        OutputCapture output;
        LogCapture log;
        StateObserver observer;
        m_helper->refusal = helperError;

        startWith(name, password);
        // The helper was asked before start returned; the management side follows on the worker.
        const std::vector<FakeHelper::RunRequest> runs = m_helper->runs();
        QCOMPARE(runs.size(), std::size_t(1));
        QCOMPARE(runs[0].config, configPath);
        QCOMPARE(runs[0].clientUp, m_prefix.filePath(u"share/quellnet/client.up"_s));
        QCOMPARE(runs[0].clientDown, m_prefix.filePath(u"share/quellnet/client.down"_s));

        const QByteArray wire = openingCommands(quotedName, quotedPassword);
        QTRY_COMPARE(server.received(0), wire);
        QTRY_VERIFY(!service().isStarting());
        const QString trace = output.joined();
        QVERIFY(trace.contains(u"state on\n\nbytecount 1\n\nlog on\n\nusername 'Auth' "_s));
        QVERIFY(trace.contains(u"password 'Auth' \"********\"\n\n"_s));
        QVERIFY2(!trace.contains(password), "the password reached standard output");
        QCOMPARE(
            log.texts(), helperError.isEmpty() ? QStringList() : QStringList { "XPCService error: "_L1 + helperError });

        // The reader runs: openvpn's state reports now drive the state.
        QVERIFY(server.deliver(0, ">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,198.51.100.7,1194,,\r\n"));
        QTRY_COMPARE(service().state(), u"CONNECTED"_s);
        drainEvents();
        QCOMPARE(observer.seen, QStringList { u"CONNECTED"_s });

        service().stopOpenVPN();
        QTRY_COMPARE(server.received(0), wire + "signal SIGINT\n");
        QCOMPARE(service().state(), u"CONNECTED"_s);
    }

    void startThatCannotGoAhead_data()
    {
        QTest::addColumn<bool>("withConfig");
        QTest::addColumn<QString>("password"); // null: not set
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("withScripts");

        QTest::newRow("no configuration") << false << u"pw"_s << user << true;
        QTest::newRow("no password") << true << QString() << user << true;
        QTest::newRow("scripts missing") << true << u"pw"_s << user << false;
        QTest::newRow("line feed in the user name") << true << u"pw"_s << u"anna@example.com\nsignal SIGTERM"_s << true;
        QTest::newRow("carriage return in the password") << true << u"pw\rx"_s << user << true;
        QTest::newRow("tab in the password") << true << u"pw\tx"_s << user << true;
        QTest::newRow("password over 256 bytes of UTF-8") << true << QString(129, QChar(0xE9)) << user << true;
    }

    void startThatCannotGoAhead()
    {
        QFETCH(bool, withConfig);
        QFETCH(QString, password);
        QFETCH(QString, name);
        QFETCH(bool, withScripts);

        ManagementServer server;
        QVERIFY(server.listen());
        OutputCapture output;
        LogCapture log;
        StateObserver observer;
        if (!withScripts)
            AppPaths::setPrefixForTesting(m_prefix.filePath(u"nothing"_s));
        service().setConfig(withConfig ? std::optional(configPath) : std::nullopt);
        service().setUsername(name);
        service().setPassword(password.isNull() ? std::nullopt : std::optional(password));

        service().startOpenVPN();
        QTRY_VERIFY(!service().isStarting());
        drainEvents();
        QCOMPARE(m_helper->runs().size(), std::size_t(0));
        QCOMPARE(server.connectionCount(), 0);
        QCOMPARE(log.texts().size(), 1);
        QVERIFY(!log.joined().contains(name) && (password.isEmpty() || !log.joined().contains(password)));
        QCOMPARE(observer.seen, QStringList { u"NOPROCESS"_s });
        // A stop now has no connection to go to.
        service().stopOpenVPN();
        QCOMPARE(output.texts(), (QStringList { gaveUp, u"signal SIGINT\n Not connected\n"_s }));
    }

    // With nothing on the management port, each start gives up after eight refused attempts, each
    // followed by 300 ms (about 2.4 s); a second start only begins once the first has given up.
    void startsGiveUpOneAfterAnotherWithoutFreezing()
    {
        m_delegate.connection.reset();
        OutputCapture output;
        StateObserver observer;
        QElapsedTimer elapsed;
        elapsed.start();
        startWith(user, u"pw"_s);
        startWith(user, u"pw"_s);
        QVERIFY2(elapsed.elapsed() < 1000, "start blocked its caller");
        QTRY_VERIFY_WITH_TIMEOUT(output.texts().count(gaveUp) == 1, 30000);
        const qint64 first = elapsed.elapsed();
        QVERIFY(service().isStarting());
        QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting(), 30000);
        const qint64 second = elapsed.elapsed();
        QVERIFY2(
            first >= 2000 && second - first >= 2000 && second < 20000, qPrintable(u"%1, %2"_s.arg(first).arg(second)));
        QCOMPARE(output.texts(), (QStringList { gaveUp, gaveUp }));
        drainEvents();
        // Posted even though the state was "NOPROCESS" already.
        QCOMPARE(observer.seen, QStringList(2, u"NOPROCESS"_s));
    }

    // openvpn's end as the end of its management connection and, maybe, the helper's exit reply. The
    // reader has just read and pauses when openvpn's last report comes.
    void openvpnEnds_data()
    {
        QTest::addColumn<QByteArray>("lastReport");
        QTest::addColumn<bool>("exitReply");
        QTest::addColumn<QStringList>("seen");

        // Gone without saying so: no process any more.
        QTest::newRow("closed while connected") << QByteArray() << false << QStringList { u"NOPROCESS"_s };
        // A normal stop: the exit reply follows.
        QTest::newRow("closed after exiting") << "EXITING"_ba << false << QStringList { u"EXITING"_s };
        // The reply is applied after the last report, which the reader has yet to handle.
        QTest::newRow("exit reply overtakes the last report") << "EXITING"_ba << true << QStringList(2, u"NOPROCESS"_s);
    }

    void openvpnEnds()
    {
        QFETCH(QByteArray, lastReport);
        QFETCH(bool, exitReply);
        QFETCH(QStringList, seen);
        SKIP_UNLESS_ROOT();

        ManagementServer server;
        QVERIFY(server.listen());
        startConnected(server, 0);
        QVERIFY(server.deliver(0, ">STATE:1,CONNECTED,SUCCESS,,,,,\r\n"));
        QTRY_COMPARE(service().state(), u"CONNECTED"_s);
        drainEvents();
        StateObserver observer;

        QVERIFY(server.deliver(0, ">LOG:1,I,SIGINT received\r\n"));
        if (!lastReport.isEmpty()) {
            server.connection(0)->write(">STATE:2," + lastReport + ",SIGINT,,,,,\r\n");
            QVERIFY(server.connection(0)->flush());
        }
        server.connection(0)->disconnectFromHost();
        if (exitReply) {
            const FakeHelper::RunRequest run = m_helper->runs().at(0);
            std::thread([&run] { run.terminationHandler(0); }).join();
        }
        QTRY_COMPARE(service().management().readerCount(), 0);
        drainEvents();
        QCOMPARE(observer.seen, seen);
    }

    void onlyTheLatestStartsTerminationCounts()
    {
        SKIP_UNLESS_ROOT();
        ManagementServer server;
        QVERIFY(server.listen());
        LogCapture log;
        startConnected(server, 0);
        QVERIFY(server.deliver(0, ">STATE:1,EXITING,SIGINT,,,,,\r\n"));
        // A new start follows an idle state before the first openvpn has ended. Its connection
        // replaces the first, whose reader ends; a line in two reads is handled once.
        startConnected(server, 1);
        QVERIFY(server.deliver(1, ">STATE:2,CONN"));
        QVERIFY(server.deliver(1, "ECTED,SUCCESS,,,,,\r\n"));
        QTRY_COMPARE(service().state(), u"CONNECTED"_s);
        QTRY_COMPARE(service().management().readerCount(), 1);
        drainEvents();
        StateObserver observer;
        const std::vector<FakeHelper::RunRequest> runs = m_helper->runs();
        QCOMPARE(runs.size(), std::size_t(2));

        // Replies arrive on the helper connection's thread.
        auto reply = [&runs](std::size_t run, int status) {
            std::thread([&] { runs[run].terminationHandler(status); }).join();
            drainEvents();
        };
        reply(0, 0);
        QCOMPARE(service().state(), u"CONNECTED"_s);
        reply(1, 1);
        reply(1, -11); // NOPROCESS already: nothing to post
        QCOMPARE(observer.seen, QStringList { u"NOPROCESS"_s });
        QCOMPARE(log.texts(),
            (QStringList { u"OpenVPN exited: termiationStatus=0"_s, u"OpenVPN exited: termiationStatus=1"_s,
                u"OpenVPN exited: termiationStatus=-11"_s }));
    }

    // A start right after a stop must not reach the old openvpn's management port while that
    // openvpn is on its way out, or the old process takes the credentials with it and the new one
    // waits for them forever. It goes ahead once the helper reports the old one's end, at once when
    // the old run request failed, and after the helper's 10 s grace when no word comes.
    void restartWaitsForTheEarlierOpenVPN_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("termination reply") << u"reply"_s;
        QTest::newRow("run request failed") << u"failed"_s;
        QTest::newRow("no word from the helper") << u"silence"_s;
    }

    void restartWaitsForTheEarlierOpenVPN()
    {
        QFETCH(QString, end);
        SKIP_UNLESS_ROOT();
        ManagementServer server;
        QVERIFY(server.listen());
        if (end == u"failed")
            m_helper->refusal = u"the helper went away"_s;
        startConnected(server, 0);
        m_helper->refusal.clear();
        QVERIFY(server.deliver(0, ">STATE:1,EXITING,SIGINT,,,,,\r\n"));
        QTRY_COMPARE(service().state(), u"EXITING"_s);

        QElapsedTimer waited;
        waited.start();
        service().startOpenVPN();
        QCOMPARE(m_helper->runs().size(), std::size_t(2));
        qint64 least = 0;
        qint64 most = 2000;
        if (end == u"reply") {
            // The old openvpn still holds the port: nothing may reach it until its end arrives, on
            // the helper connection's thread.
            QTest::qWait(1500);
            QCOMPARE(server.connectionCount(), 1);
            QVERIFY(service().isStarting());
            const FakeHelper::RunRequest first = m_helper->runs().at(0);
            waited.start();
            std::thread([&first] { first.terminationHandler(0); }).join();
            most = 1000;
        } else if (end == u"silence") {
            least = 10000;
            most = 14000;
        }
        QVERIFY(server.connection(1, 20000) != nullptr);
        QTRY_COMPARE(server.received(1), openingCommands());
        QVERIFY2(waited.elapsed() >= least && waited.elapsed() < most, qPrintable(QString::number(waited.elapsed())));
    }

    void listenerOfAnotherUserGetsNoCredentials_data()
    {
        QTest::addColumn<int>("acceptDelayMs");
        QTest::newRow("accepts at once") << 0;
        // Until it is accepted, some kernels show the connection as root's.
        QTest::newRow("accepts late") << 1500;
    }

    void listenerOfAnotherUserGetsNoCredentials()
    {
        QFETCH(int, acceptDelayMs);
        if (::geteuid() != 0)
            QSKIP("needs root to run a listener as another user");
        pid_t child = listenAsNobody(acceptDelayMs);
        QVERIFY(child > 0);
        auto reap = qScopeGuard([&child] {
            if (child > 0 && ::kill(child, SIGKILL) == 0)
                ::waitpid(child, nullptr, 0);
        });
        QTRY_VERIFY(std::ranges::any_of(TcpSocketTable::read(), [](const TcpSocketTable::Entry &entry) {
            return entry.state == TcpSocketTable::Listen && entry.localPort == ManagementServer::port
                && entry.uid == 65534;
        }));

        OutputCapture output;
        LogCapture log;
        StateObserver observer;
        startWith(user, u"hunter2"_s);
        QTRY_VERIFY(!service().isStarting());
        int status = -1;
        const auto reaped = [&] {
            if (child > 0 && ::waitpid(child, &status, WNOHANG) == child)
                child = -1;
            return child < 0;
        };
        QTRY_VERIFY(reaped());
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the listener received bytes");
        QCOMPARE(log.texts().size(), 1);
        QVERIFY2(log.texts().first().contains(u"uid 65534"_s), qPrintable(log.texts().first()));
        QCOMPARE(output.texts(), QStringList { gaveUp });
        drainEvents();
        QCOMPARE(observer.seen, QStringList { u"NOPROCESS"_s });
    }
};

QTEST_GUILESS_MAIN(TestOpenVPNService)
#include "tst_openvpnservice.moc"
