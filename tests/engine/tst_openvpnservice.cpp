// The VPN service with a fake helper and a loopback management interface. The service hands credentials
// only to a management port root holds, so tests whose listener must take them need root.
#include "engine/OpenVPNManagement.h"
#include "engine/OpenVPNService.h"
#include "tests/support/FakeHelperProtocol.h"
#include "tests/support/ManagementServer.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/StateTrace.h"
#include "tests/support/TestTools.h"
#include "tests/support/Waiting.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <thread>

#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

#define SKIP_UNLESS_ROOT()                                                                                             \
    if (::geteuid() != 0)                                                                                              \
    QSKIP("needs root: the service talks only to a management port that root holds")

namespace {

const QString configPath = u"/tmp/quellnet-engine-test.ovpn"_s;
const QString user = u"anna@example.com"_s;
// Eight attempts at a port that is not this run's, each followed by its 300 ms pause.
constexpr qint64 patienceMs = 8 * 300;

QByteArray openingCommands(
    const QByteArray &quotedUser = R"("anna@example.com")", const QByteArray &quotedPassword = R"("pw")")
{
    return "state on\nbytecount 1\nlog on\nusername 'Auth' " + quotedUser + "\npassword 'Auth' " + quotedPassword
        + "\n";
}

} // namespace

class TestOpenVPNService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_prefix;
    FakeConnectionProvider m_delegate;
    std::shared_ptr<FakeHelperProtocol> m_helper;

    OpenVPNService &service() { return OpenVPNService::shared(); }

    // The password of the latest run request.
    std::function<QString()> runPassword()
    {
        return [helper = m_helper] {
            const std::vector<FakeHelperProtocol::RunRequest> runs = helper->runs();
            return runs.empty() ? QString() : runs.back().managementPassword;
        };
    }

    void startWith(const QString &name, const QString &password)
    {
        service().setConfig(configPath);
        service().setUsername(name);
        service().setPassword(password);
        service().startOpenVPN();
    }

    void startConnected(ManagementServer &server, int index)
    {
        startWith(user, u"pw"_s);
        QTRY_COMPARE_WITH_TIMEOUT(server.received(index), openingCommands(), 20000);
        QTRY_VERIFY(!service().isStarting());
    }

    // On another thread, as the helper connection delivers it.
    void terminate(std::size_t run, int status)
    {
        const FakeHelperProtocol::RunRequest request = m_helper->runs().at(run);
        std::thread([&request, status] { request.terminationHandler(status); }).join();
        drainEvents();
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(stageScripts(m_prefix.path()));
        m_helper = attachFakeHelper(m_delegate);
    }

    void cleanup() { detachFakeHelper(); }

    // Every character openvpn would misread is escaped; the password never reaches standard output.
    void startSendsOpeningCommandsAndCredentials()
    {
        const QString password = u"my pass\"q\\"_s;
        SKIP_UNLESS_ROOT();
        ManagementServer server(runPassword());
        QVERIFY(server.listen());
        OutputCapture output;
        StateTrace trace;
        startWith(u"o'neil\"@example.com"_s, password);
        QTRY_COMPARE(server.received(0), openingCommands("\"o'neil\\\"@example.com\"", "\"my pass\\\"q\\\\\""));
        QTRY_VERIFY(!service().isStarting());
        QCOMPARE(m_helper->runs().size(), std::size_t(1));
        // The prompt is answered first, with the run's own password: 256 random bits in hex.
        const QString secret = m_helper->runs().front().managementPassword;
        QVERIFY2(QRegularExpression(u"^[0-9a-f]{64}$"_s).match(secret).hasMatch(), qPrintable(secret));
        QCOMPARE(server.answers(0), QList<QByteArray> { secret.toLatin1() });
        const QString traffic = output.standardOutput().join(QString());
        QVERIFY(traffic.startsWith(u"state on\n\nbytecount 1\n\nlog on\n\nusername 'Auth' "_s));
        QVERIFY(traffic.contains(u"password 'Auth' \"********\"\n\n"_s));
        QVERIFY2(!traffic.contains(password), "the password reached standard output");
        QVERIFY2(!traffic.contains(secret) && !output.logLines().join(u'\n').contains(secret),
            "the run's secret was traced or logged");
        drainEvents();
        QVERIFY(trace.states().isEmpty());
    }

    // openvpn reports its states within a millisecond of each other, often in one read; the window
    // reads the state when each notification arrives and must find every one of them.
    void statesReportedAtOnceAreEachSeen()
    {
        SKIP_UNLESS_ROOT();
        ManagementServer server(runPassword());
        server.afterBanner = ">STATE:1700000000,WAIT,,,,,,\r\n>STATE:1700000000,AUTH,,,,,,\r\n"
                             ">STATE:1700000000,CONNECTED,SUCCESS,10.204.0.2,10.203.0.2,1194,,,\r\n";
        QVERIFY(server.listen());
        StateTrace trace;
        startConnected(server, 0);
        QTRY_COMPARE(trace.states(), (QStringList { u"WAIT"_s, u"AUTH"_s, u"CONNECTED"_s }));
    }

    void startThatCannotGoAhead_data()
    {
        QTest::addColumn<bool>("withConfig");
        QTest::addColumn<QString>("password"); // null: not set
        QTest::addColumn<QString>("name");
        QTest::newRow("no configuration") << false << u"pw"_s << user;
        QTest::newRow("no password") << true << QString() << user;
        QTest::newRow("line feed in the user name") << true << u"pw"_s << u"anna@example.com\nsignal SIGTERM"_s;
        QTest::newRow("carriage return in the password") << true << u"pw\rx"_s << user;
        QTest::newRow("password over 256 bytes of UTF-8") << true << QString(129, QChar(0xE9)) << user;
    }

    void startThatCannotGoAhead()
    {
        QFETCH(bool, withConfig);
        QFETCH(QString, password);
        QFETCH(QString, name);
        ManagementServer server(runPassword());
        QVERIFY(server.listen());
        OutputCapture output;
        StateTrace trace;
        service().setConfig(withConfig ? std::optional(configPath) : std::nullopt);
        service().setUsername(name);
        service().setPassword(password.isNull() ? std::nullopt : std::optional(password));
        service().startOpenVPN();
        QTRY_VERIFY(!service().isStarting());
        drainEvents();
        QCOMPARE(m_helper->runs().size(), std::size_t(0));
        QVERIFY(server.connection(0, 0) == nullptr);
        const QString logged = output.logLines().join(u'\n');
        QCOMPARE(output.logLines().size(), 1);
        QVERIFY(!logged.contains(name) && (password.isEmpty() || !logged.contains(password)));
        QCOMPARE(trace.states(), QStringList { u"NOPROCESS"_s });
        // Neither a command nor a reader goes anywhere without a connection.
        service().stopOpenVPN();
        service().management().startReading();
        QCOMPARE(service().management().readerCount(), 0);
        QCOMPARE(output.standardOutput(),
            (QStringList { u"error while starting mgmt interface\n"_s, u"signal SIGINT\n Not connected\n"_s }));
    }

    // An openvpn that does not take this run's password (an earlier run's still ending, another
    // user's) or does not ask for one gets nothing but the answer to its prompt; each of the eight
    // attempts ends with the connection closed, and the start gives up. Like a port that never
    // opens, it gets every attempt and every pause: a listener that was there all along is no
    // reason to cut a pause short.
    void managementThatIsNotThisRunsGetsNothing_data()
    {
        QTest::addColumn<int>("peer"); // -1: nothing listens
        QTest::addColumn<int>("answers");
        QTest::newRow("nothing listens") << -1 << 0;
        QTest::newRow("another run's openvpn") << int(ManagementServer::Peer::AnotherRun) << 1;
        QTest::newRow("no password prompt") << int(ManagementServer::Peer::NoPrompt) << 0;
    }
    void managementThatIsNotThisRunsGetsNothing()
    {
        QFETCH(int, peer);
        QFETCH(int, answers);
        if (peer >= 0) {
            SKIP_UNLESS_ROOT();
        }
        ManagementServer server(runPassword(), ManagementServer::Peer(std::max(peer, 0)));
        QVERIFY(peer < 0 || server.listen());
        OutputCapture output;
        StateTrace trace;
        QElapsedTimer timer;
        timer.start();
        startWith(user, u"pw"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting(), 20000);
        QVERIFY2(timer.elapsed() >= patienceMs, qPrintable(QString::number(timer.elapsed())));
        drainEvents();
        QCOMPARE(server.connectionCount(), peer < 0 ? 0 : 8);
        const QString secret = m_helper->runs().front().managementPassword;
        for (int i = 0; i < server.connectionCount(); ++i) {
            QCOMPARE(server.answers(i).size(), answers);
            QVERIFY(server.answers(i).isEmpty() || server.answers(i).first() == secret.toLatin1());
            QCOMPARE(server.received(i), QByteArray());
            QTRY_COMPARE(server.connection(i)->state(), QAbstractSocket::UnconnectedState);
        }
        QCOMPARE(output.standardOutput(), QStringList { u"error while starting mgmt interface\n"_s });
        QCOMPARE(trace.states(), QStringList { u"NOPROCESS"_s });
        QVERIFY(!output.logLines().join(u'\n').contains(secret));
        QCOMPARE(service().management().readerCount(), 0);
    }

    void onlyTheLatestStartsTerminationCounts()
    {
        SKIP_UNLESS_ROOT();
        ManagementServer server(runPassword());
        QVERIFY(server.listen());
        OutputCapture output;
        // The helper still runs the first start's openvpn when the second asks: that one is this
        // process's own, and nothing ends it but its own stop.
        // Not the shared pointer: the fake would hold itself.
        m_helper->onGetRun = [helper = m_helper.get()]() -> std::optional<HelperRun> {
            const std::vector<FakeHelperProtocol::RunRequest> runs = helper->runs();
            return runs.empty() ? std::nullopt
                                : std::optional(HelperRun { ::geteuid(), runs.front().managementPassword });
        };
        startConnected(server, 0);
        QVERIFY(server.connection(0)->write(">STATE:1,EXITING,SIGINT,,,,,\r\n") > 0);
        QTRY_COMPARE(service().state(), u"EXITING"_s);
        // A new start before the first openvpn has ended: its connection replaces the first.
        startConnected(server, 1);
        QVERIFY(server.connection(1)->write(">STATE:2,CONNECTED,SUCCESS,,,,,\r\n") > 0);
        QTRY_COMPARE(service().state(), u"CONNECTED"_s);
        QTRY_COMPARE(service().management().readerCount(), 1);
        drainEvents();
        StateTrace trace;
        QCOMPARE(m_helper->runs().size(), std::size_t(2));
        QCOMPARE(m_helper->kills.load(), 0);
        QVERIFY(m_helper->runs()[0].managementPassword != m_helper->runs()[1].managementPassword);
        terminate(0, 0);
        QCOMPARE(service().state(), u"CONNECTED"_s);
        terminate(1, 1);
        terminate(1, -11); // NOPROCESS already: nothing to post
        QCOMPARE(trace.states(), QStringList { u"NOPROCESS"_s });
        QCOMPARE(output.logLines(),
            (QStringList { u"OpenVPN exited: termiationStatus=0"_s, u"OpenVPN exited: termiationStatus=1"_s,
                u"OpenVPN exited: termiationStatus=-11"_s }));
    }

    // An openvpn whose earlier launch never gave it the credentials would wait for them for ever.
    void reattachEndsARunWaitingForCredentials()
    {
        SKIP_UNLESS_ROOT();
        const QString secret = u"0123456789abcdef0123456789abcdef"_s;
        m_helper->onGetRun = [secret] { return std::optional(HelperRun { ::geteuid(), secret }); };
        ManagementServer server([secret] { return secret; });
        server.afterBanner = ">PASSWORD:Need 'Auth' username/password\r\n";
        server.stateRecord = "1700000000,WAIT,,,,,,,";
        QVERIFY(server.listen());
        StateTrace trace;
        service().reattach();
        QTRY_COMPARE(server.received(0), QByteArray("state on\nstate\nbytecount 1\nlog on\nsignal SIGINT\n"));
        QTRY_COMPARE(trace.states(), QStringList { u"WAIT"_s });
        server.connection(0)->disconnectFromHost();
        QTRY_COMPARE(service().state(), u"NOPROCESS"_s);
    }

    // Another user's run (whose password the helper keeps from this user): nothing to take over,
    // nothing changes. This user's run whose openvpn does not take its password ends like a start
    // that cannot reach its openvpn.
    void reattachWithoutARunOfThisUser_data()
    {
        addRows<bool>(
            "ownRun", { { "another user's run", false }, { "own run, its openvpn refuses the password", true } });
    }
    void reattachWithoutARunOfThisUser()
    {
        QFETCH(bool, ownRun);
        SKIP_UNLESS_ROOT();
        m_helper->onGetRun = [ownRun] {
            return std::optional(ownRun ? HelperRun { ::geteuid(), u"00112233445566778899aabbccddeeff"_s }
                                        : HelperRun { ::geteuid() + 1, std::nullopt });
        };
        ManagementServer server([] { return QString(); }, ManagementServer::Peer::AnotherRun);
        QVERIFY(server.listen());
        OutputCapture output;
        StateTrace trace;
        service().reattach();
        if (ownRun)
            QTRY_COMPARE_WITH_TIMEOUT(trace.states(), QStringList { u"NOPROCESS"_s }, 20000);
        else
            QTest::qWait(500);
        QVERIFY(!service().isStarting());
        drainEvents();
        QCOMPARE(server.connectionCount(), ownRun ? 8 : 0);
        for (int i = 0; i < server.connectionCount(); ++i)
            QCOMPARE(server.received(i), QByteArray());
        QCOMPARE(trace.states(), ownRun ? QStringList { u"NOPROCESS"_s } : QStringList());
        QCOMPARE(output.standardOutput(),
            ownRun ? QStringList { u"error while starting mgmt interface\n"_s } : QStringList());
        QCOMPARE(m_helper->runs().size(), std::size_t(0));
    }

    // openvpn opens its port a few milliseconds after the run request, when the first attempt has
    // been refused: the next attempt comes as soon as root listens there, not after the rest of the
    // pause.
    void managementPortOpensLate()
    {
        SKIP_UNLESS_ROOT();
        ManagementServer server(runPassword());
        startWith(user, u"pw"_s);
        QTest::qWait(60);
        QVERIFY(server.listen());
        QElapsedTimer sinceListening;
        sinceListening.start();
        QVERIFY(server.connection(0) != nullptr);
        // The pause alone would last until about 240 ms from here.
        QVERIFY2(sinceListening.elapsed() < 150, qPrintable(QString::number(sinceListening.elapsed())));
        QTRY_COMPARE(server.received(0), openingCommands());
    }
};

QTEST_GUILESS_MAIN(TestOpenVPNService)
#include "tst_openvpnservice.moc"
