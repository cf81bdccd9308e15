// The TCP client against loopback servers on free ports.
#include "TcpClient.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <future>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quellnet;

namespace {

// A QTcpServer on 127.0.0.1 with the connections it accepted.
struct LoopbackServer
{
    LoopbackServer() { QVERIFY(server.listen(QHostAddress::LocalHost, 0)); }

    QTcpSocket *waitForConnection()
    {
        if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
            return nullptr;
        return server.nextPendingConnection();
    }

    quint16 port() const { return server.serverPort(); }

    QTcpServer server;
};

} // namespace

class TestTcpClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusedConnection();
    void connectTimesOut();
    void reconnectWakesTheOldReader();
};

void TestTcpClient::refusedConnection()
{
    quint16 port = 0;
    {
        LoopbackServer closed;
        port = closed.port();
    }
    TcpClient client(QStringLiteral("127.0.0.1"), port);
    QElapsedTimer timer;
    timer.start();
    const TcpResult result = client.connect(3);
    QVERIFY(!result.ok);
    QCOMPARE(result.errorDescription, QStringLiteral("Connection refused"));
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(!client.connection());
}

void TestTcpClient::connectTimesOut()
{
    // A listener that never accepts, with the smallest backlog: once its queue is full the kernel
    // drops further handshakes, so a connect waits for its time-out.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    auto closeListener = qScopeGuard([listener] { ::close(listener); });
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    QCOMPARE(::listen(listener, 0), 0);
    socklen_t length = sizeof(address);
    QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);

    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<TcpClient>(QStringLiteral("127.0.0.1"), ntohs(address.sin_port)));
        QElapsedTimer timer;
        timer.start();
        const TcpResult result = clients.back()->connect(1);
        if (!result.ok) {
            QCOMPARE(result.errorDescription, QStringLiteral("Connection timed out"));
            QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
            return;
        }
    }
    QFAIL("the listener's queue never filled up");
}

void TestTcpClient::reconnectWakesTheOldReader()
{
    LoopbackServer server;
    TcpClient client(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(client.connect(3).ok);
    const std::shared_ptr<TcpConnection> first = client.connection();
    QTcpSocket *firstPeer = server.waitForConnection();
    QVERIFY(firstPeer);

    auto oldReader = std::async(std::launch::async, [first] { return first->read(2048, -1); });
    QVERIFY(oldReader.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout);

    QVERIFY(client.connect(3).ok);
    QTcpSocket *secondPeer = server.waitForConnection();
    QVERIFY(secondPeer);
    // Bytes on the new connection are not for the old reader: it wakes up seeing its own closed.
    secondPeer->write("for the new reader\r\n");
    QVERIFY(secondPeer->waitForBytesWritten(5000));
    QVERIFY(oldReader.wait_for(std::chrono::seconds(5)) == std::future_status::ready);
    QCOMPARE(oldReader.get(), std::nullopt);
    QVERIFY(first->isShutDown());
    QCOMPARE(first->read(2048, 0), std::nullopt);

    QVERIFY(client.connection() != first);
    QCOMPARE(client.read(2048, 5), std::optional<QByteArray>(QByteArray("for the new reader\r\n")));
    QVERIFY(firstPeer->waitForDisconnected(5000) || firstPeer->state() == QAbstractSocket::UnconnectedState);
}

QTEST_GUILESS_MAIN(TestTcpClient)
#include "tst_tcpclient.moc"
