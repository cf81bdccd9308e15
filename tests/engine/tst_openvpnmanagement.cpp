// The management client against a loopback stand-in for openvpn's management interface.
#include "EngineTestSupport.h"
#include "ManagementServer.h"
#include "OpenVPNManagement.h"

#include <QTest>

#include <atomic>

using namespace quellnet;
using namespace quellnet::test;

class TestOpenVPNManagement : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sendBeforeConnect();
    void sentCommandAndItsTrace_data();
    void sentCommandAndItsTrace();
    void readerTakesEachReadAsOneChunk();
    void reconnectLeavesOneReader();
    void readerEndsWhenOpenvpnCloses();
};

void TestOpenVPNManagement::sendBeforeConnect()
{
    OutputCapture output;
    QStringList states;
    OpenVPNManagement management([&states](const QString &name) { states.append(name); });

    management.send(QStringLiteral("signal SIGINT\n"));
    management.startReading();

    QCOMPARE(output.texts(), QStringList { QStringLiteral("signal SIGINT\n Not connected\n") });
    QCOMPARE(management.readerCount(), 0);
    QCOMPARE(states, QStringList());
}

void TestOpenVPNManagement::sentCommandAndItsTrace_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("trace");

    QTest::newRow("stop") << QStringLiteral("signal SIGINT\n") << QStringLiteral("signal SIGINT\n\n");
    QTest::newRow("user name as sent") << QStringLiteral("username 'Auth' \"anna@example.com\"\n")
                                       << QStringLiteral("username 'Auth' \"anna@example.com\"\n\n");
    QTest::newRow("password masked") << QStringLiteral("password 'Auth' \"s3cret \\\"x\\\\\"\n")
                                     << QStringLiteral("password 'Auth' \"********\"\n\n");
    QTest::newRow("unquoted password masked")
        << QStringLiteral("password Auth hunter2\n") << QStringLiteral("password Auth \"********\"\n\n");
    QTest::newRow("non-ASCII as UTF-8") << QStringLiteral("echo grüße\n") << QStringLiteral("echo grüße\n\n");
}

void TestOpenVPNManagement::sentCommandAndItsTrace()
{
    QFETCH(QString, command);
    QFETCH(QString, trace);

    ManagementServer server;
    QVERIFY(server.listen());
    OpenVPNManagement management([](const QString &) {});
    QVERIFY(management.socket().connect(3).ok);
    QVERIFY(server.connection(0));

    OutputCapture output;
    management.send(command);
    QCOMPARE(output.texts(), QStringList { trace });
    QTRY_COMPARE(server.received(0), command.toUtf8());
}

void TestOpenVPNManagement::readerTakesEachReadAsOneChunk()
{
    ManagementServer server;
    QVERIFY(server.listen());
    OutputCapture output;
    QStringList states;
    std::mutex statesMutex;
    OpenVPNManagement management([&](const QString &name) {
        std::lock_guard lock(statesMutex);
        states.append(name);
    });
    QVERIFY(management.socket().connect(3).ok);
    management.startReading();

    // A line split across reads waits for its end.
    QVERIFY(server.deliver(0, ">STATE:1700000000,CONN"));
    QVERIFY(server.deliver(0, "ECTED,SUCCESS,10.8.0.2,,,,\r\n>LOG:keep"));
    // This read ends inside "ä": dropped whole, the buffered ">LOG:keep" stays.
    QVERIFY(server.deliver(0, "-lost\r\n>STATE:1,EXITING,,\r\n\xc3"));
    QVERIFY(server.deliver(0, "-tail \xc3\xa4\r\n"));

    QTRY_COMPARE(output.texts(), QStringList { QStringLiteral("keep-tail ä\n") });
    std::lock_guard lock(statesMutex);
    QCOMPARE(states, QStringList { QStringLiteral("CONNECTED") });
}

void TestOpenVPNManagement::reconnectLeavesOneReader()
{
    ManagementServer server;
    QVERIFY(server.listen());
    OutputCapture output;
    std::atomic<int> lost { 0 };
    OpenVPNManagement management([](const QString &) {});
    management.setConnectionLostHandler([&lost] { ++lost; });

    QVERIFY(management.socket().connect(3).ok);
    management.startReading();
    management.startReading();
    QCOMPARE(management.readerCount(), 1);

    QVERIFY(management.socket().connect(3).ok);
    management.startReading();
    QTRY_COMPARE(management.readerCount(), 1);
    QVERIFY(server.connection(1));

    // Every line on the new connection is handled once, also when it comes in pieces.
    for (int i = 0; i < 5; ++i) {
        QVERIFY(server.deliver(1, QByteArray(">LOG:line ") + QByteArray::number(i)));
        QVERIFY(server.deliver(1, " done\r\n"));
    }
    QTRY_COMPARE(output.texts().size(), 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(output.texts().at(i), QStringLiteral("line %1 done\n").arg(i));
    // Closing the old connection was our doing, not openvpn going away.
    QCOMPARE(lost.load(), 0);
}

void TestOpenVPNManagement::readerEndsWhenOpenvpnCloses()
{
    ManagementServer server;
    QVERIFY(server.listen());
    std::atomic<int> lost { 0 };
    QStringList states;
    std::mutex statesMutex;
    OpenVPNManagement management([&](const QString &name) {
        std::lock_guard lock(statesMutex);
        states.append(name);
    });
    management.setConnectionLostHandler([&lost] { ++lost; });

    QVERIFY(management.socket().connect(3).ok);
    management.startReading();
    QVERIFY(server.connection(0));
    server.connection(0)->write(">STATE:1,EXITING,SIGINT,,,,,\r\n");
    server.connection(0)->disconnectFromHost();

    QTRY_COMPARE(management.readerCount(), 0);
    QCOMPARE(lost.load(), 1);
    {
        std::lock_guard lock(statesMutex);
        QCOMPARE(states, QStringList { QStringLiteral("EXITING") });
    }
    // A stop after openvpn has gone is reported as failed, not as sent.
    OutputCapture output;
    management.send(QStringLiteral("signal SIGINT\n"));
    QCOMPARE(output.texts(), QStringList { QStringLiteral("signal SIGINT\n Connection closed by peer\n") });
}

QTEST_GUILESS_MAIN(TestOpenVPNManagement)
#include "tst_openvpnmanagement.moc"
