// Faults under the real window, against the local stack: openvpn or the helper dying at the worst moment, a
// reply cut short, a file in the way of the configuration, another user on the port, clicks over and over,
// a password that needs quoting, a start while the last openvpn still ends; and why a connect failed: a
// VPN server that refuses the password, a profile the helper refuses, an account service that is down;
// and name resolution and IPv6 under a full tunnel.
#include "account/CredentialStore.h"
#include "tests/e2e/WindowTest.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <netdb.h>
#include <netinet/in.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {
const QString openVpnExited = QStringLiteral("OpenVPN exited: termiationStatus=");
enum class Killed { OpenVpnConnected, OpenVpnBeforeFirstReport, HelperConnected, HelperBeforeStart, HelperAtThePort };
enum class SignInFault { LoginCutShort, ProfileCutShort, ConfigSymlink, ConfigOfAnotherUser, ConfigFolder, ConfigFifo };
// The longest time the GUI thread went without running its event loop, while this lives.
class StallMeter
{
public:
    StallMeter()
    {
        m_sinceTick.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_longest = qMax(m_longest, m_sinceTick.restart()); });
        m_timer.start(20);
    }
    qint64 longestMs() const { return qMax(m_longest, m_sinceTick.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};
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
    ip.startCommand(u"ip -6 route show proto 157"_s);
    ip.waitForFinished(5000);
    return QString::fromUtf8(ip.readAllStandardOutput()).trimmed();
}
} // namespace

class TestFaults : public WindowTest
{
    Q_OBJECT

    void clickAndWaitFor(const QString &state, int timeoutMs)
    {
        m_trace->clear();
        m_program->clickConnect();
        CHECK(m_trace->waitFor(state, timeoutMs));
    }
    // After every fault: the form offers "Verbinden" with the credentials untouched, nothing is left
    // behind, and a sign-in brings a tunnel up and down.
    void expectUsableAgain()
    {
        expectIdleAndNothingLeft(10000);
        QVERIFY(m_program->view().rememberCheck()->isEnabled());
        QCOMPARE(m_program->view().emailText(), m_account.email);
        QCOMPARE(m_program->view().passwordText(), m_account.password);
        QCOMPARE(CredentialStore::rememberedEmail(), m_account.email);
        QTRY_COMPARE(CredentialStore::passwordInSettings(), m_account.password);
        m_standIn.clearFailures();
        clickAndWaitFor(connectedState, 30000);
        if (QTest::currentTestFailed())
            return;
        // The trace reads the state when a notification reaches it, which may be the next one's state
        // already: the window gets to it with that next notification.
        QTRY_COMPARE(m_program->buttonTitle(), QStringLiteral("Trennen"));
        QCOMPARE(m_program->trayConnectTitle(), QStringLiteral("Trennen"));
        QVERIFY(!m_program->formEnabled());
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        clickAndWaitFor(noProcessState, 20000);
        QVERIFY(m_program->sheets().isEmpty());
    }

    // Waits for the one sheet that comes next; its text, and when it was seen.
    QString nextSheet(QElapsedTimer *clock = nullptr, qint64 *seenAt = nullptr)
    {
        QStringList sheets;
        if (!waitUntil([&] { return !(sheets = m_program->sheets()).isEmpty(); }, 40000))
            return QString();
        if (seenAt != nullptr)
            *seenAt = clock->elapsed();
        QTest::qWait(300); // and no second one
        return m_program->closeSheets().join(u" | "_s);
    }

    // What the stack's machine looks like without a tunnel: the LAN's name server answers, IPv6 reaches
    // the LAN's host, no route of the helper's is left.
    void expectNamesAndIpv6AsBefore(int timeoutMs)
    {
        const QByteArray lan = "nameserver " + stackValue("STACK_LAN_DNS").toUtf8() + '\n';
        QVERIFY2(waitUntil([&] { return resolvConf() == lan; }, timeoutMs), resolvConf().constData());
        QCOMPARE(resolve(stackValue("STACK_DNS_NAME")), stackValue("STACK_DNS_LAN_ANSWER"));
        QCOMPARE(ipv6GuardRoutes(), QString());
        QCOMPARE(lanIpv6Line(), stackValue("STACK_LAN6_LINE"));
    }

private Q_SLOTS:
    void initTestCase() { launchProgram(); }
    void init()
    {
        prepareTest();
        CredentialStore::remember(m_account.email, m_account.password);
        m_program->view().rememberCheck()->setChecked(true);
    }
    void cleanup()
    {
        restoreAfterTest();
        if (const QFileInfo config(ConnectFlow::configPath()); !config.isFile() || config.ownerId() != 0)
            unplant(config.filePath());
    }
    void cleanupTestCase() { quitProgram(); }
    void processKilled_data()
    {
        QTest::addColumn<Killed>("killed");
        QTest::addColumn<QString>("sheet"); // what the window then says
        const QString dropped = QStringLiteral("Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden.");
        const QString noHelper
            = QStringLiteral("Der Quellnet-Hilfsdienst ist nicht erreichbar. Bitte Quellnet neu starten.");
        QTest::newRow("openvpn while connected") << Killed::OpenVpnConnected << dropped;
        // Nothing was reported yet, so the state still reads as before the start.
        QTest::newRow("openvpn before its first report")
            << Killed::OpenVpnBeforeFirstReport
            << QStringLiteral("OpenVPN wurde unerwartet beendet. Bitte erneut verbinden.");
        // openvpn goes with its helper; the tunnel that was up dropped, the helper was there to start it.
        QTest::newRow("helper while connected") << Killed::HelperConnected << dropped;
        QTest::newRow("helper before the start") << Killed::HelperBeforeStart << noHelper;
        QTest::newRow("helper during the management attempts") << Killed::HelperAtThePort << noHelper;
    }
    void processKilled()
    {
        QFETCH(Killed, killed);
        QFETCH(QString, sheet);
        const int runsBefore = helperRunRequests();
        if (killed == Killed::HelperBeforeStart) {
            QVERIFY(E2eStack::killHelper());
            // The cached connection learns of it; the start then makes a new one, which cannot connect.
            CHECK(m_output->waitForLog(QStringLiteral("XPC Connection Invalidated\n")));
            QElapsedTimer elapsed;
            elapsed.start();
            clickAndWaitFor(noProcessState, 30000);
            const qint64 gaveUpAfter = elapsed.elapsed(); // eight refused attempts, 300 ms apart
            QVERIFY2(gaveUpAfter >= 1800 && gaveUpAfter < 9000, qPrintable(QString::number(gaveUpAfter)));
            QTest::qWait(500);
            QCOMPARE(m_trace->states(), QStringList { noProcessState });
            QCOMPARE(m_output->standardOutput().count(QStringLiteral("error while starting mgmt interface\n")), 1);
        } else if (killed == Killed::HelperConnected) {
            clickAndWaitFor(connectedState, 30000);
            QVERIFY(E2eStack::killHelper());
            CHECK(m_output->waitForLog(QStringLiteral("XPC Connection Invalidated\n")));
            CHECK(waitUntil([] { return OpenVPNService::isIdleState(OpenVPNService::shared().state()); }, 15000));
        } else if (killed == Killed::HelperAtThePort) {
            m_program->clickConnect();
            CHECK(waitUntil([&] { return helperRunRequests() > runsBefore; }, 10000));
            QVERIFY(E2eStack::killHelper()); // the program gives up within its eight attempts at the port
            CHECK(waitUntil(
                [this] { return !flow().isSignInUnderWay() && m_program->buttonTitle() == connectTitle; }, 8000));
            // "XPC Connection Invalidated", or the proxy's error when the reply was under way.
            CHECK(m_output->waitForLog(QStringLiteral("nvalidated")));
        } else {
            m_program->clickConnect();
            const qint64 openvpn = killed != Killed::OpenVpnConnected ? holdOpenVpnAtItsPort(*m_output)
                : m_trace->waitFor(connectedState, 30000)             ? E2eStack::helperOpenVpnPids().value(0)
                                                                      : 0;
            CHECK(openvpn != 0);
            QCOMPARE(::kill(pid_t(openvpn), SIGKILL), 0);
            CHECK(m_trace->waitFor(noProcessState, 15000));
            // The helper's word comes too, and leaves the state where the lost connection put it.
            CHECK(m_output->waitForLog(openVpnExited));
            QCOMPARE(OpenVPNService::shared().state(), noProcessState);
        }
        QCOMPARE(m_program->closeSheets(), QStringList { sheet });
        // The next start goes through a new connection to the restarted helper.
        if (E2eStack::helperPid() == 0)
            QVERIFY(E2eStack::startHelper());
        expectUsableAgain();
    }
    void signInStopsBeforeAnythingStarts_data()
    {
        QTest::addColumn<SignInFault>("fault");
        QTest::addColumn<QString>("sheet");
        // Half a reply is no reply: the connection failed, the credentials were not refused.
        const QString networkFailed = QStringLiteral("Network connection failed");
        QTest::newRow("login reply cut short") << SignInFault::LoginCutShort << networkFailed;
        QTest::newRow("profile reply cut short") << SignInFault::ProfileCutShort << networkFailed;
        // Writing anyway would hand openvpn the file's old or planted contents.
        const QString notWritten = QStringLiteral("Could not write the VPN configuration");
        QTest::newRow("configuration path is a symlink") << SignInFault::ConfigSymlink << notWritten;
        QTest::newRow("configuration file of another user") << SignInFault::ConfigOfAnotherUser << notWritten;
        QTest::newRow("configuration path is a folder") << SignInFault::ConfigFolder << notWritten;
        // Nobody reads it: opening it for writing would never return.
        QTest::newRow("configuration path is a FIFO") << SignInFault::ConfigFifo << notWritten;
    }
    void signInStopsBeforeAnythingStarts()
    {
        QFETCH(SignInFault, fault);
        QFETCH(QString, sheet);
        // In the user's own runtime folder, where the program writes it.
        const QString config = ConnectFlow::configPath();
        const QByteArray plantedText = "remote planted.example 1194\n";
        const bool cutShort = fault == SignInFault::LoginCutShort || fault == SignInFault::ProfileCutShort;
        if (cutShort) {
            m_standIn.setFailure(fault == SignInFault::LoginCutShort ? AccountStandIn::Endpoint::Login
                                                                     : AccountStandIn::Endpoint::Profile,
                AccountStandIn::Failure::CloseMidReply);
        } else {
            const Planted planted = fault == SignInFault::ConfigSymlink ? Planted::Symlink
                : fault == SignInFault::ConfigOfAnotherUser             ? Planted::File
                : fault == SignInFault::ConfigFolder                    ? Planted::Folder
                                                                        : Planted::Fifo;
            QVERIFY(QDir().mkpath(QFileInfo(config).path()));
            unplant(config);
            QVERIFY(plant(planted, config, plantedText));
        }
        const QString before = describePlanted(config);
        const int runsBefore = helperRunRequests();
        const StallMeter stalls;
        m_program->clickConnect();
        QStringList sheets;
        CHECK(waitUntil([&] { return !(sheets = m_program->closeSheets()).isEmpty(); }, 35000));
        QCOMPARE(sheets, QStringList { sheet });
        QVERIFY2(stalls.longestMs() < 1000,
            qPrintable(QStringLiteral("the window froze for %1 ms").arg(stalls.longestMs())));
        QCOMPARE(helperRunRequests(), runsBefore);
        if (!cutShort) {
            QCOMPARE(m_output->logLines().size(), 1); // why the file could not be written
            QCOMPARE(describePlanted(config), before);
            unplant(config);
        }
        expectUsableAgain();
    }

    // Another user got to the port first, on the loopback address, on every IPv4 address, or on every
    // IPv6 address (dual-stack, so it takes 127.0.0.1 too), stays there, and records whatever the
    // program sends it: nothing, neither the credentials nor the run's management password.
    void foreignListenerOnManagementPort_data()
    {
        addRows<QString>("address",
            { { "127.0.0.1", QStringLiteral("TCP4-LISTEN:1337,bind=127.0.0.1") },
                { "0.0.0.0", QStringLiteral("TCP4-LISTEN:1337,bind=0.0.0.0") },
                { "[::]", QStringLiteral("TCP6-LISTEN:1337,bind=[::],ipv6only=0") } });
    }
    void foreignListenerOnManagementPort()
    {
        QFETCH(QString, address);
        QProcess listener; // killed with the test at the latest
        listener.startCommand(
            QStringLiteral("setpriv --reuid=%1 --regid=%1 --clear-groups socat -u %2,reuseaddr,fork STDOUT")
                .arg(nobody)
                .arg(address));
        QVERIFY(waitUntil([] { return managementPortListener() == nobody; }, 5000));
        clickAndWaitFor(noProcessState, 15000);
        QCOMPARE(m_output->logLines().filter(QStringLiteral("belongs to uid %1").arg(nobody)).size(), 1);
        // openvpn found the port taken and gave up; only then does the listener go.
        CHECK(m_output->waitForLog(openVpnExited));
        listener.kill();
        listener.waitForFinished(5000);
        const QByteArray received = listener.readAllStandardOutput();
        QVERIFY2(received.isEmpty(), received.data());
        QCOMPARE(m_program->closeSheets(),
            QStringList { QStringLiteral("Ein anderes Programm belegt den Steuerungsanschluss von OpenVPN (Port 1337). "
                                         "Bitte dieses Programm beenden.") });
        expectUsableAgain();
    }
    // Clicks through the sign-in and the start, and on after openvpn got the credentials but before it
    // reported anything (held at its port), when the state still reads as before the start. openvpn is
    // held from the first click: a connect takes less than the clicks.
    void rapidClicksSignInOnce()
    {
        const qint64 openvpn = holdOpenVpnAtItsPort(*m_output, [this] {
            for (int click = 0; click < 10; ++click, QTest::qWait(20))
                m_program->clickConnect();
        });
        CHECK(openvpn != 0);
        for (int click = 0; click < 10; ++click, QTest::qWait(20))
            m_program->clickConnect();
        QCOMPARE(::kill(pid_t(openvpn), SIGCONT), 0);
        CHECK(m_trace->waitFor(connectedState, 30000));
        QCOMPARE(m_standIn.requests(AccountStandIn::Endpoint::Login).size(), 1);
        QCOMPARE(m_standIn.requests(AccountStandIn::Endpoint::Profile).size(), 1);
        QCOMPARE(E2eStack::helperOpenVpnPids(), QList<qint64> { openvpn });
        clickAndWaitFor(noProcessState, 20000);
        QVERIFY(m_program->sheets().isEmpty()); // the person's own disconnect
        expectUsableAgain();
    }
    // Blanks, a double quote and a backslash: the password needs quoting everywhere it travels.
    void trickyPasswordConnects()
    {
        const StackAccount tricky = E2eStack::trickyAccount();
        m_program->typeCredentials(tricky.email, tricky.password);
        clickAndWaitFor(connectedState, 30000);
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        clickAndWaitFor(noProcessState, 20000);
        // openvpn's own last report, then the helper's word that it has ended.
        const QStringList states = m_trace->states();
        CHECK(states.contains(QStringLiteral("EXITING"))
            && states.indexOf(QStringLiteral("EXITING")) < states.lastIndexOf(noProcessState));
        CHECK(m_output->waitForLog(openVpnExited + u'0'));
    }
    // The old openvpn still runs when the new start begins: the new one must get the credentials.
    void startRightAfterStopConnects()
    {
        clickAndWaitFor(connectedState, 30000);
        OpenVPNService &service = OpenVPNService::shared();
        service.stopOpenVPN();
        m_trace->clear();
        service.startOpenVPN();
        CHECK(m_trace->waitFor(connectedState, 30000));
        QCOMPARE(E2eStack::tunnelInterfaces().size(), 1);
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
    }
    // The account service signs the person in, the VPN server refuses the password: the window says so
    // within 2 s of openvpn's report, and does not blame the e-mail address.
    void vpnServerRefusesThePassword()
    {
        QElapsedTimer clock;
        clock.start();
        std::atomic<qint64> refusedAt { -1 };
        m_output->setObserver([&](OutputCapture::Channel channel, const QString &text) {
            if (channel == OutputCapture::Channel::StandardOutput && text.contains(u"AUTH_FAILED") && refusedAt < 0)
                refusedAt = clock.elapsed();
        });
        m_program->typeCredentials(m_stranger.email, m_stranger.password);
        qint64 shownAt = -1;
        m_program->clickConnect();
        const QString sheet = nextSheet(&clock, &shownAt);
        m_output->setObserver({});
        CHECK(sheet == u"VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen."_s);
        QVERIFY2(refusedAt >= 0, "openvpn's AUTH_FAILED never reached standard output");
        qInfo("the sheet came %lld ms after openvpn's report", shownAt - refusedAt);
        QVERIFY2(shownAt - refusedAt < 2000,
            qPrintable(u"the sheet came %1 ms after openvpn's report"_s.arg(shownAt - refusedAt)));
        CHECK(m_trace->states().contains(u"EXITING"_s));
        CHECK(m_output->waitForLog(u"OpenVPN exited: termiationStatus="_s));
        expectIdleAndNothingLeft();
    }

    // The helper refuses the profile: the start ends at once with the refusal's status, not after the
    // attempts at a port that nothing will open (over two seconds), and nothing runs or listens.
    void helperRefusesTheProfile_data()
    {
        QTest::addColumn<QString>("profile"); // made from the stack's
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("sheet");
        const QString forbidden = u"Der Hilfsdienst hat das VPN-Profil abgelehnt: Es enthält eine nicht erlaubte "
                                  "Option. Bitte den Support kontaktieren."_s;
        QTest::newRow("a directive that is not allowed") << u"+up /bin/true"_s << 78 << forbidden;
        // No client, no remote, a port and float: root would listen.
        QTest::newRow("a profile that makes root listen")
            << u"=dev tun\nproto udp\nport 53\nfloat"_s << 78 << forbidden;
        QTest::newRow("not a client profile")
            << u"-client"_s << 65
            << u"Der Hilfsdienst hat das VPN-Profil abgelehnt: Es ist kein Client-Profil. Bitte den Support "
               "kontaktieren."_s;
    }
    void helperRefusesTheProfile()
    {
        QFETCH(QString, profile);
        QFETCH(int, status);
        QFETCH(QString, sheet);
        // "+line" adds a line at the end, "-line" takes the profile's first line away, "=text" replaces it.
        const QString line = profile.mid(1) + u'\n';
        QString served = profile.startsWith(u'=') ? line : m_profile;
        if (profile.startsWith(u'+')) {
            served += line;
        } else if (profile.startsWith(u'-')) {
            QVERIFY(served.startsWith(line));
            served.remove(0, line.size());
        }
        m_standIn.setProfile(served);
        const int runsBefore = helperRunRequests();
        const int from = int(m_trace->states().size());
        m_program->clickConnect();
        CHECK(m_output->waitForLog(u"OpenVPN exited: termiationStatus=%1"_s.arg(status), 15000));
        QElapsedTimer refused;
        refused.start();
        CHECK(waitUntil([] { return !OpenVPNService::shared().isStarting(); }, 5000));
        QVERIFY2(refused.elapsed() < 1000, qPrintable(QString::number(refused.elapsed())));
        CHECK(nextSheet() == sheet);
        QCOMPARE(helperRunRequests(), runsBefore + 1);
        QVERIFY(E2eStack::helperOpenVpnPids().isEmpty() && !managementPortListener());
        QCOMPARE(m_trace->states().mid(from).value(0), noProcessState);
        QVERIFY(m_output->standardOutput().contains(u"error while starting mgmt interface\n"_s));
        expectIdleAndNothingLeft();
    }

    // A service that is down is not a wrong password.
    void accountServiceUnavailable()
    {
        m_standIn.setFailureReply(AccountStandIn::Endpoint::Login, 503, R"({"error":"maintenance"})");
        const int runsBefore = helperRunRequests();
        m_program->clickConnect();
        QCOMPARE(nextSheet(), u"Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen."_s);
        QCOMPARE(helperRunRequests(), runsBefore);
        expectIdleAndNothingLeft();
    }

    // A full IPv4-only tunnel: names go to the tunnel's name server and IPv6 does not leave beside the
    // tunnel; after "Trennen", and after openvpn is killed without its down script, everything is as
    // before. The stack's machine (its client namespace) has an /etc/resolv.conf of its own.
    void fullTunnelKeepsNamesAndIpv6Inside_data()
    {
        addRows<bool>("killed", { { "then Trennen", false }, { "then openvpn killed", true } });
    }
    void fullTunnelKeepsNamesAndIpv6Inside()
    {
        QFETCH(bool, killed);
        expectNamesAndIpv6AsBefore(5000);
        clickAndWaitFor(connectedState, 30000);
        QCOMPARE(E2eStack::probeThroughTunnel(5000), E2eStack::probeLine());
        QCOMPARE(resolve(stackValue("STACK_DNS_NAME")), stackValue("STACK_DNS_TUNNEL_ANSWER"));
        QVERIFY2(resolvConf().contains("\nnameserver " + stackValue("STACK_TUNNEL_SERVER").toUtf8() + '\n'),
            resolvConf().constData());
        // Refused on the spot, so that programs fall back to IPv4 through the tunnel at once.
        QElapsedTimer clock;
        clock.start();
        const QString refused = lanIpv6Line();
        QVERIFY2(refused.startsWith(u"connect: "), qPrintable(refused));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(refused));
        QVERIFY(!ipv6GuardRoutes().isEmpty());
        if (!killed) {
            clickAndWaitFor(noProcessState, 20000);
            expectNamesAndIpv6AsBefore(5000);
            return;
        }
        // SIGKILL: no down script runs; the helper sees openvpn end and puts things back itself.
        const qint64 openvpn = E2eStack::helperOpenVpnPids().value(0);
        QVERIFY(openvpn != 0);
        QCOMPARE(::kill(pid_t(openvpn), SIGKILL), 0);
        CHECK(m_trace->waitFor(noProcessState, 15000));
        expectNamesAndIpv6AsBefore(10000);
        QVERIFY(E2eStack::helperLog().contains("restored /etc/resolv.conf"));
        QVERIFY(E2eStack::helperLog().contains("lifted the IPv6 block"));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
