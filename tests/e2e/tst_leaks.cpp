// Name resolution and IPv6 on the program's machine of the stack (its client namespaces) while the
// real window holds a full IPv4-only tunnel: names go to the tunnel's name server and IPv6 does not
// leave beside the tunnel; after "Trennen", and after openvpn is killed without its down script,
// everything is as before. The machine's /etc/resolv.conf is the stack's private one.
#include "tests/e2e/WindowTest.h"

#include <QElapsedTimer>
#include <QProcess>

#include <arpa/inet.h>
#include <csignal>
#include <netdb.h>
#include <netinet/in.h>

using namespace quellnet;
using namespace quellnet::test;

namespace {
QString stackValue(const char *key)
{
    return E2eStack::value(QLatin1String(key));
}

// What the C library resolves the name to, as any program here would: its first IPv4 address.
QString resolve(const QString &name)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.toUtf8().constData(), nullptr, &hints, &found) != 0 || !found)
        return QStringLiteral("(not resolved)");
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    return QString::fromLatin1(text);
}

QByteArray resolvConf()
{
    return readFile(QStringLiteral("/etc/resolv.conf"));
}

// The line the LAN's IPv6 host answers with, or why there is none.
QString lanIpv6Line()
{
    QString error;
    const QByteArray line = readLineFrom(
        QHostAddress(stackValue("STACK_LAN6_LISTENER")), quint16(stackValue("STACK_LAN6_PORT").toUInt()), 3000, &error);
    return error.isEmpty() ? QString::fromUtf8(line) : QStringLiteral("connect: ") + error;
}

// The unreachable routes the helper's scripts add for IPv6 (protocol 157).
QString ipv6GuardRoutes()
{
    QProcess ip;
    ip.start(QStringLiteral("ip"),
        { QStringLiteral("-6"), QStringLiteral("route"), QStringLiteral("show"), QStringLiteral("proto"),
            QStringLiteral("157") });
    ip.waitForFinished(5000);
    return QString::fromUtf8(ip.readAllStandardOutput()).trimmed();
}
} // namespace

class TestLeaks : public WindowTest
{
    Q_OBJECT

    QByteArray m_lanResolvConf;
    QString m_name;

    void connectAndWait()
    {
        m_trace->clear();
        m_program->clickConnect();
        CHECK(m_trace->waitFor(connectedState, 30000));
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
    }
    // What the machine looks like without a tunnel: the LAN's name server answers, IPv6 reaches the
    // LAN's host, no route of the helper's is left.
    void expectAsBefore(int timeoutMs)
    {
        QVERIFY2(waitUntil([this] { return resolvConf() == m_lanResolvConf; }, timeoutMs), resolvConf().constData());
        QCOMPARE(resolve(m_name), stackValue("STACK_DNS_LAN_ANSWER"));
        QCOMPARE(ipv6GuardRoutes(), QString());
        QCOMPARE(lanIpv6Line(), stackValue("STACK_LAN6_LINE"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        launchProgram();
        if (!m_program)
            return;
        if (stackValue("STACK_CLIENT_NETNS").isEmpty())
            QSKIP("the stack runs on the host (stack.sh up without --client-netns): no full tunnel here");
        m_name = stackValue("STACK_DNS_NAME");
        m_lanResolvConf = "nameserver " + stackValue("STACK_LAN_DNS").toUtf8() + '\n';
        // On the stack's machine, not the host: only there may a full tunnel take the routes.
        QCOMPARE(resolvConf(), m_lanResolvConf);
    }
    void init()
    {
        prepareTest();
        expectAsBefore(5000);
    }
    void cleanup() { restoreAfterTest(); }
    void cleanupTestCase() { quitProgram(); }

    void fullTunnelKeepsNamesAndIpv6Inside()
    {
        connectAndWait();
        QCOMPARE(resolve(m_name), stackValue("STACK_DNS_TUNNEL_ANSWER"));
        QVERIFY2(resolvConf().contains("\nnameserver " + stackValue("STACK_TUNNEL_SERVER").toUtf8() + '\n'),
            resolvConf().constData());
        // Refused on the spot, so that programs fall back to IPv4 through the tunnel at once.
        QElapsedTimer clock;
        clock.start();
        const QString refused = lanIpv6Line();
        QVERIFY2(refused.startsWith(u"connect: "), qPrintable(refused));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(refused));
        QVERIFY(!ipv6GuardRoutes().isEmpty());

        m_trace->clear();
        m_program->clickConnect(); // "Trennen"
        QVERIFY(m_trace->waitFor(noProcessState, 20000));
        expectAsBefore(5000);
    }

    void helperRestoresWhenOpenVpnIsKilled()
    {
        connectAndWait();
        QCOMPARE(resolve(m_name), stackValue("STACK_DNS_TUNNEL_ANSWER"));
        const qint64 openvpn = E2eStack::helperOpenVpnPids().value(0);
        QVERIFY(openvpn != 0);
        // SIGKILL: no down script runs; the helper sees openvpn end and puts things back itself.
        QCOMPARE(::kill(pid_t(openvpn), SIGKILL), 0);
        QVERIFY(m_trace->waitFor(noProcessState, 15000));
        expectAsBefore(10000);
        const QByteArray lines = E2eStack::helperLog();
        QVERIFY(lines.contains("restored /etc/resolv.conf"));
        QVERIFY(lines.contains("lifted the IPv6 block"));
    }
};

QTEST_MAIN(TestLeaks)
#include "tst_leaks.moc"
