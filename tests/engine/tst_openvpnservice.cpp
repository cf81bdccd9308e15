// The VPN service with a fake helper and a loopback management interface. The service hands credentials
// only to a management port root holds, so tests whose listener must take them need root.
#include "engine/OpenVPNManagement.h"
#include "engine/OpenVPNService.h"
#include "tests/support/FakeHelperProtocol.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/StateTrace.h"
#include "tests/support/Waiting.h"

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

// openvpn's management interface on 127.0.0.1:1337; keeps what each connection received.
class ManagementServer
{
public:
    bool listen() { return m_server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 1337); }

    QTcpSocket *connection(int index, int timeoutMs = 10000)
    {
        static_cast<void>(QTest::qWaitFor(
            [&] {
                while (m_server.hasPendingConnections())
                    m_connections.append(m_server.nextPendingConnection());
                return m_connections.size() > index;
            },
            timeoutMs));
        return m_connections.value(index);
    }

    QByteArray received(int index)
    {
        QCoreApplication::processEvents();
        QTcpSocket *socket = connection(index, 0);
        return socket != nullptr ? socket->peek(socket->bytesAvailable()) : QByteArray();
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket *> m_connections;
};

} // namespace

class TestOpenVPNService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_prefix;
    FakeConnectionProvider m_delegate;
    std::shared_ptr<FakeHelperProtocol> m_helper;

    OpenVPNService &service() { return OpenVPNService::shared(); }

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
        ManagementServer server;
        QVERIFY(server.listen());
        OutputCapture output;
        StateTrace trace;
        startWith(u"o'neil\"@example.com"_s, password);
        QCOMPARE(m_helper->runs().size(), std::size_t(1));
        QTRY_COMPARE(server.received(0), openingCommands("\"o'neil\\\"@example.com\"", "\"my pass\\\"q\\\\\""));
        QTRY_VERIFY(!service().isStarting());
        const QString traffic = output.standardOutput().join(QString());
        QVERIFY(traffic.contains(u"state on\n\nbytecount 1\n\nlog on\n\nusername 'Auth' "_s));
        QVERIFY(traffic.contains(u"password 'Auth' \"********\"\n\n"_s));
        QVERIFY2(!traffic.contains(password), "the password reached standard output");
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
        ManagementServer server;
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

    void onlyTheLatestStartsTerminationCounts()
    {
        SKIP_UNLESS_ROOT();
        ManagementServer server;
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
