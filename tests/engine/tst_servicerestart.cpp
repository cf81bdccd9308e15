// A start right after a stop: the new start must not reach the old openvpn's management port
// while that openvpn is still on its way out, or the old process takes the credentials with it
// and the new one waits for them forever.
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

#include <thread>

#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;

class TestServiceRestart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void newStartWaitsUntilTheEarlierOpenVPNHasEnded_data();
    void newStartWaitsUntilTheEarlierOpenVPNHasEnded();
    void newStartStopsWaitingAfterTheHelpersGrace();

private:
    // Starts once, lets the management server take the credentials and report "EXITING" (a stop in
    // progress), then starts again through the same helper connection.
    void startStopStart(ManagementServer &server, QElapsedTimer &sinceSecondStart, bool firstRequestFails = false);

    QTemporaryDir m_prefix;
    FakeDelegate m_delegate;
    std::shared_ptr<FakeHelper> m_helper;
};

void TestServiceRestart::initTestCase()
{
    // The service hands credentials only to a management port of root's; this test's listener is
    // root's only when the test runs as root.
    if (::geteuid() != 0)
        QSKIP("needs root: the service talks only to a management port that root holds");
    QVERIFY(m_prefix.isValid());
    QVERIFY(QDir(m_prefix.path()).mkpath(QStringLiteral("share/quellnet")));
    for (const char *script : { "client.up", "client.down" }) {
        QFile file(m_prefix.filePath(QStringLiteral("share/quellnet/") + QLatin1String(script)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    AppPaths::setPrefixForTesting(m_prefix.path());
    OpenVPNService::shared().setConfig(QStringLiteral("/tmp/quellnet-restart-test.ovpn"));
    OpenVPNService::shared().setUsername(QStringLiteral("anna@example.com"));
    OpenVPNService::shared().setPassword(QStringLiteral("pw"));
}

void TestServiceRestart::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(!OpenVPNService::shared().isStarting(), 30000);
    OpenVPNService::shared().management().socket().close();
    QTRY_COMPARE(OpenVPNService::shared().management().readerCount(), 0);
    drainEvents();
    HelperConnectionProvider::setApplicationDelegate(nullptr);
    OpenVPNService::shared().setState(QStringLiteral("NOPROCESS"));
}

void TestServiceRestart::startStopStart(
    ManagementServer &server, QElapsedTimer &sinceSecondStart, bool firstRequestFails)
{
    // A fresh connection per test: runs of another connection are never waited for.
    m_helper = std::make_shared<FakeHelper>();
    m_delegate.connection = std::make_shared<FakeHelperConnection>(m_helper);
    HelperConnectionProvider::setApplicationDelegate(&m_delegate);

    OpenVPNService &service = OpenVPNService::shared();
    if (firstRequestFails)
        m_helper->refusal = QStringLiteral("the helper went away");
    service.startOpenVPN();
    m_helper->refusal.clear();
    QTRY_VERIFY(server.received(0).contains("password 'Auth'"));
    QTRY_VERIFY(!service.isStarting());
    QVERIFY(server.deliver(0, ">STATE:1,EXITING,SIGINT,,,,,\r\n"));
    QTRY_COMPARE(service.state(), QStringLiteral("EXITING"));

    sinceSecondStart.start();
    service.startOpenVPN();
    QCOMPARE(m_helper->runs().size(), std::size_t(2));
}

void TestServiceRestart::newStartWaitsUntilTheEarlierOpenVPNHasEnded_data()
{
    QTest::addColumn<bool>("requestFails");
    QTest::newRow("termination reply") << false;
    QTest::newRow("run request failed") << true;
}

void TestServiceRestart::newStartWaitsUntilTheEarlierOpenVPNHasEnded()
{
    QFETCH(bool, requestFails);

    ManagementServer server;
    QVERIFY(server.listen());
    QElapsedTimer sinceSecondStart;
    startStopStart(server, sinceSecondStart, requestFails);
    if (requestFails) {
        // No openvpn of the failed request exists to wait for.
        QTRY_COMPARE(server.connectionCount(), 2);
        QVERIFY2(sinceSecondStart.elapsed() < 2000, qPrintable(QString::number(sinceSecondStart.elapsed())));
        return;
    }

    // The old openvpn still holds the port: nothing may reach it.
    QTest::qWait(1500);
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(OpenVPNService::shared().isStarting());

    // Its end arrives on the helper connection's thread; the new start goes ahead at once.
    const FakeHelper::RunRequest first = m_helper->runs().at(0);
    QElapsedTimer sinceEnd;
    sinceEnd.start();
    std::thread([&first] { first.terminationHandler(0); }).join();
    QTRY_VERIFY(server.received(1).contains("password 'Auth'"));
    QVERIFY2(sinceEnd.elapsed() < 1000, qPrintable(QString::number(sinceEnd.elapsed())));
}

void TestServiceRestart::newStartStopsWaitingAfterTheHelpersGrace()
{
    ManagementServer server;
    QVERIFY(server.listen());
    QElapsedTimer sinceSecondStart;
    startStopStart(server, sinceSecondStart);

    // No word from the helper: after its 10 s (and a moment for the reply) the start tries anyway
    // instead of hanging.
    QVERIFY(server.connection(1, 20000) != nullptr);
    const qint64 waited = sinceSecondStart.elapsed();
    QVERIFY2(waited >= 10000 && waited < 14000, qPrintable(QString::number(waited)));
    QTRY_VERIFY(server.received(1).contains("password 'Auth'"));
}

QTEST_GUILESS_MAIN(TestServiceRestart)
#include "tst_servicerestart.moc"
