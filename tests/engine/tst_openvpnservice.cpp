// The VPN service with a fake helper and a loopback management interface. The service hands credentials
// only to a management port root holds, so tests whose listener must take them need root.
#include "engine/OpenVPNManagement.h"
#include "engine/OpenVPNService.h"
#include "tests/support/FakeHelperProtocol.h"
#include "tests/support/ManagementServer.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/StateTrace.h"
#include "tests/support/Waiting.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

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
        m_helper = std::make_shared<FakeHelperProtocol>();
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
        QCOMPARE(m_helper->runs().size(), std::size_t(1));
        QTRY_COMPARE(server.received(0), openingCommands("\"o'neil\\\"@example.com\"", "\"my pass\\\"q\\\\\""));
        QTRY_VERIFY(!service().isStarting());
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

    void startThatCannotGoAhead_data()
    {
        QTest::addColumn<bool>("withConfig");
        QTest::addColumn<QString>("password"); // null: not set
        QTest::addColumn<QString>("name");
        QTest::newRow("no configuration") << false << u"pw"_s << user;
        QTest::newRow("no password") << true << QString() << user;
        QTest::newRow("line feed in the user name") << true << u"pw"_s << u"anna@example.com\nsignal SIGTERM"_s;
        QTest::newRow("carriage return in the password") << true << u"pw\rx"_s << user;
        QTest::newRow("tab in the password") << true << u"pw\tx"_s << user;
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
    // attempts ends with the connection closed, and the start gives up.
    void managementThatIsNotThisRunsGetsNothing_data()
    {
        QTest::addColumn<int>("peer");
        QTest::addColumn<int>("answers");
        QTest::newRow("another run's openvpn") << int(ManagementServer::Peer::AnotherRun) << 1;
        QTest::newRow("no password prompt") << int(ManagementServer::Peer::NoPrompt) << 0;
    }
    void managementThatIsNotThisRunsGetsNothing()
    {
        QFETCH(int, peer);
        QFETCH(int, answers);
        SKIP_UNLESS_ROOT();
        ManagementServer server(runPassword(), ManagementServer::Peer(peer));
        QVERIFY(server.listen());
        OutputCapture output;
        StateTrace trace;
        startWith(user, u"pw"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting(), 20000);
        drainEvents();
        QCOMPARE(server.connectionCount(), 8);
        const QString secret = m_helper->runs().front().managementPassword;
        for (int i = 0; i < 8; ++i) {
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
};

QTEST_GUILESS_MAIN(TestOpenVPNService)
#include "tst_openvpnservice.moc"
