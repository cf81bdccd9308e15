// The end-to-end stack on its own, with a plain openvpn client and none of the program's code: the
// profile the stand-in serves connects, traffic crosses the tunnel, the password check is exact, and
// nothing stays behind. If this fails, the program's own end-to-end tests cannot mean anything.
//
// Also the baseline for the connect-time benchmark: it prints how long plain openvpn takes from
// process start to "Initialization Sequence Completed" on this stack.

#include "E2eStack.h"
#include "RawOpenVpnClient.h"

#include <QNetworkInterface>
#include <QTest>

using namespace quellnet;

class TestStack : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void tunnelCarriesTraffic_data();
    void tunnelCarriesTraffic();
    void wrongCredentialsAreRefused_data();
    void wrongCredentialsAreRefused();
};

void TestStack::initTestCase()
{
    QString why;
    QVERIFY2(E2eStack::isUp(&why), qPrintable(why));
    QVERIFY(!E2eStack::demoAccount().email.isEmpty());
    QVERIFY(!E2eStack::trickyAccount().email.isEmpty());
    QVERIFY(!E2eStack::tunnelServer().isNull());
    // Before any tunnel the listener must be out of reach, or reaching it would prove nothing.
    QVERIFY(E2eStack::tunnelInterfaces().isEmpty());
    QCOMPARE(E2eStack::probeThroughTunnel(1000), QByteArray());
}

void TestStack::cleanup()
{
    // The client of each test has ended with it; its tun device must have gone too.
    QTRY_COMPARE_WITH_TIMEOUT(E2eStack::tunnelInterfaces(), QStringList(), 5000);
}

void TestStack::tunnelCarriesTraffic_data()
{
    QTest::addColumn<bool>("tricky");
    QTest::newRow("demo account") << false;
    QTest::newRow("password with blanks, a double quote and a backslash") << true;
}

void TestStack::tunnelCarriesTraffic()
{
    QFETCH(bool, tricky);
    const StackAccount account = tricky ? E2eStack::trickyAccount() : E2eStack::demoAccount();

    RawOpenVpnClient client;
    QVERIFY(client.start(E2eStack::profilePath(), account.email, account.password));
    QVERIFY2(client.waitForConnected(20000), qPrintable(client.log()));
    qInfo("plain openvpn: start -> Initialization Sequence Completed in %lld ms", client.connectedAfterMs());

    const QString device = client.tunDevice();
    QVERIFY2(!device.isEmpty(), qPrintable(client.log()));
    const QHostAddress address = client.tunAddress();
    const auto [network, prefix] = E2eStack::tunnelNetwork();
    QVERIFY2(address.isInSubnet(network, prefix), qPrintable(address.toString()));
    QVERIFY(address != E2eStack::tunnelServer());
    QCOMPARE(E2eStack::tunnelInterfaces(), QStringList { device });

    QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());

    QVERIFY2(client.stop(), "openvpn did not end on SIGTERM");
    QTRY_VERIFY_WITH_TIMEOUT(!QNetworkInterface::interfaceFromName(device).isValid(), 5000);
    QCOMPARE(E2eStack::probeThroughTunnel(1000), QByteArray());
}

void TestStack::wrongCredentialsAreRefused_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");

    const StackAccount demo = E2eStack::demoAccount();
    const StackAccount tricky = E2eStack::trickyAccount();
    QTest::newRow("wrong password") << demo.email << demo.password + QStringLiteral("x");
    QTest::newRow("unknown user") << QStringLiteral("nobody@quellnet.test") << demo.password;
    // What an unquoted management command would deliver: the password cut at its first blank.
    QTest::newRow("password cut at the blank") << tricky.email << tricky.password.section(QLatin1Char(' '), 0, 0);
    // What a parser that takes the backslash as an escape would deliver.
    QTest::newRow("backslash lost") << tricky.email << QString(tricky.password).remove(QLatin1Char('\\'));
    QTest::newRow("another account's password") << tricky.email << demo.password;
}

void TestStack::wrongCredentialsAreRefused()
{
    QFETCH(QString, email);
    QFETCH(QString, password);

    RawOpenVpnClient client;
    QVERIFY(client.start(E2eStack::profilePath(), email, password));
    QVERIFY2(client.waitForAuthFailure(20000), qPrintable(client.log()));
    QVERIFY(!client.isConnected());
    // With --auth-retry none openvpn gives up by itself.
    QVERIFY2(client.waitForExit(10000), qPrintable(client.log()));
    QVERIFY(!client.isConnected());
}

QTEST_GUILESS_MAIN(TestStack)
#include "tst_stack.moc"
