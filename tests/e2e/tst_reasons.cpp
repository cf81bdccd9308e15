// Why a connect failed, in the real window against the local stack: a VPN server that refuses the
// password, a profile the helper refuses, an account service that is down.
#include "tests/e2e/WindowTest.h"

#include <QElapsedTimer>

#include <atomic>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

class TestReasons : public WindowTest
{
    Q_OBJECT

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

private Q_SLOTS:
    void initTestCase() { launchProgram(); }
    void init() { prepareTest(); }
    void cleanup() { restoreAfterTest(); }
    void cleanupTestCase() { quitProgram(); }

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
};

QTEST_MAIN(TestReasons)
#include "tst_reasons.moc"
