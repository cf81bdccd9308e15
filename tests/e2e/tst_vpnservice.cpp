// The VPN service through a delegate's helper connection, against the real helper daemon and OpenVPN
// server: tunnels up and down, refused credentials, the helper gone or dying.
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "helperlink/HelperConnectionCache.h"
#include "tests/e2e/E2eHarness.h"
#include "tests/support/TestTools.h"

#include <QElapsedTimer>
#include <QTest>

#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;

namespace {
const QString noProcess = QStringLiteral("NOPROCESS");
const QString invalidated = QStringLiteral("XPC Connection Invalidated\n");
} // namespace

#define CHECK(c) QVERIFY2(c, qPrintable(m_trace->states().join(u',') + u'\n' + m_output->logLines().join(u'|')))

class TestVpnService : public QObject
{
    Q_OBJECT

    HelperConnectionCache m_delegate;
    std::unique_ptr<OutputCapture> m_output;
    std::unique_ptr<StateTrace> m_trace;

    static OpenVPNService &service() { return OpenVPNService::shared(); }
    void start(const StackAccount &account, const QString &passwordSuffix = {})
    {
        m_trace->clear();
        service().setUsername(account.email);
        service().setPassword(account.password + passwordSuffix);
        service().startOpenVPN();
    }
    // Starts and waits for "CONNECTED": the pushed address on one tun device, and the listener that
    // only the tunnel reaches answering.
    void connectWith(const StackAccount &account)
    {
        start(account);
        CHECK(m_trace->waitFor(QStringLiteral("CONNECTED"), 30000));
        const QStringList interfaces = E2eStack::tunnelInterfaces();
        QVERIFY2(interfaces.size() == 1 && interfaces.first().startsWith(u"tun"), qPrintable(interfaces.join(u',')));
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: tunnels and the helper daemon");
        QString error;
        QVERIFY2(stackIsReady(&error) && nothingLeftAfter(0, &error), qPrintable(error));
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
        HelperConnectionProvider::setApplicationDelegate(&m_delegate);
        service().setConfig(E2eStack::profilePath());
    }
    void init()
    {
        m_output = std::make_unique<OutputCapture>();
        m_trace = std::make_unique<StateTrace>();
    }
    void cleanup()
    {
        QString left;
        QVERIFY2(restoreStack(m_delegate, &left), qPrintable(left));
    }
    void cleanupTestCase() { HelperConnectionProvider::setApplicationDelegate(nullptr); }

    void tunnelComesUpAndGoesDown_data()
    {
        addRows<bool>(
            "tricky", { { "demo account", false }, { "password with blanks, a double quote and a backslash", true } });
    }
    void tunnelComesUpAndGoesDown()
    {
        QFETCH(bool, tricky);
        connectWith(tricky ? E2eStack::trickyAccount() : E2eStack::demoAccount());
        if (QTest::currentTestFailed())
            return;
        service().stopOpenVPN();
        CHECK(m_trace->waitFor(noProcess, 20000));
        // openvpn's own last report, then the helper's word that it has ended.
        const QStringList states = m_trace->states();
        CHECK(states.contains(QStringLiteral("EXITING"))
            && states.indexOf(QStringLiteral("EXITING")) < states.lastIndexOf(noProcess));
        CHECK(m_output->logLines().contains(QStringLiteral("OpenVPN exited: termiationStatus=0")));
        QCOMPARE(service().state(), noProcess);
    }
    // The old openvpn still runs when the new start begins: the new one must get the credentials.
    void startRightAfterStopConnects()
    {
        connectWith(E2eStack::demoAccount());
        if (QTest::currentTestFailed())
            return;
        service().stopOpenVPN();
        connectWith(E2eStack::demoAccount());
    }
    void withoutHelperTheStartGivesUp()
    {
        QVERIFY(E2eStack::killHelper());
        // The cached connection learns of it; a start then makes a new one, which cannot connect.
        CHECK(m_output->waitForLog(invalidated));
        QElapsedTimer elapsed;
        elapsed.start();
        start(E2eStack::demoAccount());
        QVERIFY2(elapsed.elapsed() < 500, "the start held up its caller"); // the window must not freeze
        CHECK(waitUntil([&] { return !m_trace->states().isEmpty(); }, 30000));
        const qint64 gaveUpAfter = elapsed.elapsed(); // eight refused attempts, 300 ms apart
        QVERIFY2(gaveUpAfter >= 1800 && gaveUpAfter < 8000, qPrintable(QString::number(gaveUpAfter)));
        QTest::qWait(500);
        QCOMPARE(m_trace->states(), QStringList { noProcess });
        QCOMPARE(m_output->standardOutput().count(QStringLiteral("error while starting mgmt interface\n")), 1);
    }
    void helperKilledWhileConnected()
    {
        connectWith(E2eStack::demoAccount());
        if (QTest::currentTestFailed())
            return;
        QVERIFY(E2eStack::killHelper());
        CHECK(m_output->waitForLog(invalidated));
        // openvpn goes with its helper, and the view would show the disconnected mode again.
        CHECK(waitUntil([] { return OpenVPNService::isIdleState(service().state()); }, 15000));
        QString left;
        QVERIFY2(nothingLeftAfter(15000, &left), qPrintable(left));
        // The next start goes through a new connection to the restarted helper.
        QVERIFY(E2eStack::startHelper());
        connectWith(E2eStack::demoAccount());
    }
};

QTEST_GUILESS_MAIN(TestVpnService)
#include "tst_vpnservice.moc"
