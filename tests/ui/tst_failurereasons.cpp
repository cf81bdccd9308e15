// From what openvpn 2.6 writes on its management interface and what the helper answers, to the text
// a person reads about a run that failed: the real VPN service with the helper's part faked and
// openvpn's management interface played on its port. The lines are as openvpn 2.6.14 wrote them
// here against the test stack's server.
#include "base/AppPaths.h"
#include "engine/OpenVPNManagement.h"
#include "engine/OpenVPNService.h"
#include "tests/support/FakeHelperProtocol.h"
#include "tests/support/ManagementServer.h"
#include "tests/support/StateTrace.h"
#include "tests/support/TestTools.h"
#include "tests/support/Waiting.h"
#include "ui/FailureText.h"

#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <set>
#include <thread>

#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

enum class Setup {
    Openvpn, // openvpn's management interface takes the run's password and the lines are played
    NobodyListens, // nothing on the port: openvpn never ran
    ForeignListener, // another user got to the port first
    NoHelper, // no connection to the helper at all
    LongPassword, // a password openvpn cannot take
    NoScripts, // the program's client.up and client.down are missing
};

constexpr int noStatus = INT_MIN;

struct Row
{
    const char *name;
    Setup setup;
    QByteArray lines; // after the credentials; the connection is then closed
    int status; // the helper's termination status, after the lines
    bool stopped; // the person clicked "Trennen" after the lines
    FailureReason reason;
};

const QByteArray connectedLines = ">STATE:1796603496,WAIT,,,,,,\r\n"
                                  ">STATE:1796603496,AUTH,,,,,,\r\n"
                                  ">LOG:1796603496,I,TUN/TAP device tun0 opened\r\n"
                                  ">STATE:1796603496,ASSIGN_IP,,10.204.0.2,,,,\r\n"
                                  ">LOG:1796603496,I,Initialization Sequence Completed\r\n"
                                  ">STATE:1796603496,CONNECTED,SUCCESS,10.204.0.2,10.203.0.2,1194,,\r\n"
                                  ">BYTECOUNT:2055,1085\r\n";

QList<Row> rows()
{
    using R = FailureReason;
    return {
        { "the server refused the password", Setup::Openvpn,
            ">STATE:1796603492,WAIT,,,,,,\r\n"
            ">STATE:1796603492,AUTH,,,,,,\r\n"
            ">LOG:1796603492,I,[quellnet-e2e-server] Peer Connection Initiated with [AF_INET]10.203.0.2:1194\r\n"
            ">LOG:1796603492,,AUTH: Received control message: AUTH_FAILED\r\n"
            ">PASSWORD:Verification Failed: 'Auth'\r\n"
            ">LOG:1796603492,I,SIGTERM[soft,auth-failure] received, process exiting\r\n"
            ">STATE:1796603492,EXITING,auth-failure,,,,,\r\n",
            0, false, R::VpnAuthenticationFailed },
        { "openvpn killed while connected", Setup::Openvpn, connectedLines, -9, false, R::TunnelDropped },
        { "openvpn killed before the tunnel came up", Setup::Openvpn, ">STATE:1796603492,WAIT,,,,,,\r\n", -9, false,
            R::OpenVPNEndedEarly },
        { "fatal error", Setup::Openvpn,
            ">STATE:1796603502,WAIT,,,,,,\r\n"
            ">STATE:1796603502,AUTH,,,,,,\r\n"
            ">LOG:1796603502,F,ERROR: Cannot open TUN/TAP dev /nonexistent: No such file or directory (errno=2)\r\n"
            ">FATAL:ERROR: Cannot open TUN/TAP dev /nonexistent: No such file or directory (errno=2)\r\n",
            1, false, R::OpenVPNFatalError },
        { "management port of another user", Setup::ForeignListener, {}, noStatus, false, R::ManagementPortTaken },
        { "no management interface answers", Setup::NobodyListens, {}, noStatus, false, R::ManagementNoAnswer },
        { "no helper", Setup::NoHelper, {}, noStatus, false, R::HelperUnreachable },
        { "status 69: another user's connection", Setup::NobodyListens, {}, 69, false, R::OtherUsersConnection },
        { "status 65: not a client profile", Setup::NobodyListens, {}, 65, false, R::ProfileNotClient },
        { "status 78: forbidden option", Setup::NobodyListens, {}, 78, false, R::ProfileForbiddenOption },
        { "status 77: file not trusted", Setup::NobodyListens, {}, 77, false, R::ProfileNotTrusted },
        { "status 66: profile missing", Setup::NobodyListens, {}, 66, false, R::ProfileUnreadable },
        { "status 71: helper failure", Setup::NobodyListens, {}, 71, false, R::HelperFailed },
        { "status 127: openvpn cannot run", Setup::NobodyListens, {}, 127, false, R::OpenVPNNotRunnable },
        { "password too long for openvpn", Setup::LongPassword, {}, noStatus, false, R::CredentialsUnusable },
        { "client.up missing", Setup::NoScripts, {}, noStatus, false, R::InstallationIncomplete },
        // No failure: what the person asked for, or what a newer request of theirs replaced.
        { "the person disconnected", Setup::Openvpn, connectedLines, 0, true, R::None },
        { "status 75: superseded", Setup::NobodyListens, {}, 75, false, R::None },
    };
}

// The helper's word on the run's end, on another thread, as the helper connection delivers it.
void terminate(const FakeHelperProtocol::RunRequest &request, int status)
{
    std::thread([&request, status] { request.terminationHandler(status); }).join();
}

} // namespace

Q_DECLARE_METATYPE(Row)

class TestFailureReasons : public QObject
{
    Q_OBJECT

    QTemporaryDir m_prefix;
    QTemporaryDir m_bare; // a prefix without the scripts
    FakeConnectionProvider m_delegate;
    std::shared_ptr<FakeHelperProtocol> m_helper;
    OpenVPNService &service() { return OpenVPNService::shared(); }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: the service talks only to a management port that root holds");
    }

    void init()
    {
        QVERIFY(stageScripts(m_prefix.path()));
        m_helper = attachFakeHelper(m_delegate);
        service().setConfig(m_prefix.filePath(u"client.ovpn"_s));
        service().setUsername(u"anna@example.com"_s);
        service().setPassword(u"pw"_s);
    }

    void cleanup() { detachFakeHelper(); }

    void reasonShown_data()
    {
        QTest::addColumn<Row>("row");
        for (const Row &row : rows())
            QTest::newRow(row.name) << row;
    }
    void reasonShown()
    {
        QFETCH(Row, row);
        ManagementServer server([helper = m_helper] {
            const auto runs = helper->runs();
            return runs.empty() ? QString() : runs.back().managementPassword;
        });
        QProcess foreign; // killed with the test at the latest
        if (row.setup == Setup::Openvpn) {
            QVERIFY(server.listen());
        } else if (row.setup == Setup::ForeignListener) {
            foreign.startCommand(u"setpriv --reuid=%1 --regid=%1 --clear-groups socat -u "
                                 "TCP-LISTEN:1337,bind=127.0.0.1,reuseaddr,fork STDOUT"_s.arg(nobody));
            QTRY_VERIFY_WITH_TIMEOUT(managementPortListener() == nobody, 5000);
        } else if (row.setup == Setup::NoHelper) {
            m_delegate.connection = nullptr;
        } else if (row.setup == Setup::LongPassword) {
            service().setPassword(QString(257, u'p'));
        } else if (row.setup == Setup::NoScripts) {
            AppPaths::setPrefixForTesting(m_bare.path());
        }
        // Refused runs are answered at once, as the helper answers them.
        if (row.setup == Setup::NobodyListens && row.status != noStatus)
            m_helper->onRun
                = [status = row.status](const FakeHelperProtocol::RunRequest &request) { terminate(request, status); };

        StateTrace trace;
        service().startOpenVPN();
        if (row.setup == Setup::Openvpn) {
            QTRY_VERIFY_WITH_TIMEOUT(server.received(0).contains("password 'Auth'"), 20000);
            QTRY_VERIFY(!service().isStarting());
            QVERIFY(server.connection(0)->write(row.lines) == row.lines.size());
            if (row.stopped) {
                QTRY_COMPARE(service().state(), u"CONNECTED"_s);
                service().stopOpenVPN();
                QTRY_VERIFY(server.received(0).endsWith("signal SIGINT\n"));
                server.connection(0)->write(
                    "SUCCESS: signal SIGINT thrown\r\n>STATE:1796603500,EXITING,SIGINT,,,,,\r\n");
            }
            server.connection(0)->flush();
            server.connection(0)->disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(service().management().readerCount(), 0, 10000);
            terminate(m_helper->runs().at(0), row.status);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!service().isStarting() && OpenVPNService::isIdleState(service().state()), 20000);
        drainEvents();
        AppPaths::setPrefixForTesting(m_prefix.path());
        foreign.kill();
        foreign.waitForFinished(5000);

        // Every log line and message stays; the reason comes on top, once, after the state.
        QVERIFY(!trace.states().isEmpty() && OpenVPNService::isIdleState(trace.states().last()));
        QCOMPARE(service().failureReason(), row.reason);
        QCOMPARE(trace.failures(),
            row.reason == FailureReason::None ? QList<FailureReason>() : QList<FailureReason> { row.reason });
    }

    // Each reason has its row, and a text of its own; no failure has none.
    void everyReasonOnce()
    {
        std::set<FailureReason> covered;
        QSet<QString> texts;
        for (const Row &row : rows()) {
            if (row.reason != FailureReason::None && covered.insert(row.reason).second)
                texts << FailureText::of(row.reason);
        }
        QCOMPARE(int(covered.size()), int(FailureReason::InstallationIncomplete)); // the last of them
        QCOMPARE(int(texts.size()), int(covered.size()));
        QVERIFY(!texts.contains(QString()) && FailureText::of(FailureReason::None).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFailureReasons)
#include "tst_failurereasons.moc"
