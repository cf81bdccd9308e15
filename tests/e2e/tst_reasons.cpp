// Why a connect failed, in the real window against the local stack: a VPN server that refuses the
// password, a profile the helper refuses, an account service that is down.
#include "account/ConnectFlow.h"
#include "account/Constant.h"
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "tests/e2e/E2eHarness.h"
#include "tests/e2e/ProgramWindow.h"
#include "tests/support/AccountStandIn.h"
#include "ui/Appearance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {
const QString connectTitle = u"Verbinden"_s;
const QString noProcess = u"NOPROCESS"_s;
} // namespace

#define CHECK(c) QVERIFY2(c, qPrintable(m_trace->states().join(u',') + u'\n' + m_output->logLines().join(u'|')))

class TestReasons : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settings;
    AccountStandIn m_standIn;
    QString m_profile; // what the stack's stand-in serves
    const StackAccount m_account = E2eStack::demoAccount();
    // The account service knows this one; the VPN server does not.
    const StackAccount m_stranger { u"stranger@quellnet.test"_s, u"unknown to the VPN server"_s };
    std::unique_ptr<ProgramWindow> m_program;
    std::unique_ptr<StateTrace> m_trace;
    std::unique_ptr<OutputCapture> m_output;

    ConnectFlow &flow() { return *m_program->view().findChild<ConnectFlow *>(); }

    // Clicks "Verbinden" and waits for the one sheet that follows; its text, and when it was seen.
    QString sheetAfterClick(QElapsedTimer *clock = nullptr, qint64 *seenAt = nullptr)
    {
        m_program->clickConnect();
        QStringList sheets;
        if (!waitUntil([&] { return !(sheets = m_program->sheets()).isEmpty(); }, 40000))
            return QString();
        if (seenAt != nullptr)
            *seenAt = clock->elapsed();
        QTest::qWait(300); // and no second one
        return m_program->closeSheets().join(u" | "_s);
    }
    void expectNothingLeft()
    {
        CHECK(waitUntil([this] { return !flow().isSignInUnderWay(); }, 30000));
        QCOMPARE(m_program->buttonTitle(), connectTitle);
        QVERIFY(m_program->formEnabled());
        QString left;
        QVERIFY2(nothingLeftAfter(15000, &left), qPrintable(left));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0 || Constant::extraCACertificate() != E2eStack::caPath())
            QSKIP("needs root and a build that trusts <build>/e2e/pki/ca.crt (scripts/test makes one)");
        QString why;
        QVERIFY2(stackIsReady(&why) && serveLikeTheStack(m_standIn, &why), qPrintable(why));
        QFile profile(E2eStack::profilePath());
        QVERIFY(profile.open(QIODevice::ReadOnly));
        m_profile = QString::fromUtf8(profile.readAll());
        m_standIn.addAccount(m_stranger.email, m_stranger.password);
        QVERIFY(useOwnSettingsFolder(m_settings));
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
        Appearance::applyTo(qApp);
        m_program = std::make_unique<ProgramWindow>();
        QVERIFY(QTest::qWaitForWindowExposed(m_program->view().window()));
        flow().setBaseURLForTesting(m_standIn.baseUrl().toString());
    }
    void init()
    {
        QVERIFY2(waitUntil([] { return !managementPortListener(); }, 120000), "port 1337 stays taken");
        m_program->typeCredentials(m_account.email, m_account.password);
        m_standIn.clearFailures();
        m_standIn.setProfile(m_profile);
        m_trace = std::make_unique<StateTrace>();
        m_output = std::make_unique<OutputCapture>();
    }
    void cleanup()
    {
        m_program->closeSheets();
        waitUntil([this] { return !flow().isSignInUnderWay(); }, 30000);
        QString left;
        QVERIFY2(restoreStack(m_program->delegate(), &left), qPrintable(left));
        waitUntil([] { return OpenVPNService::shared().state() == noProcess; }, 15000);
        QCoreApplication::processEvents();
    }
    void cleanupTestCase()
    {
        m_program.reset();
        QFile::remove(ConnectFlow::configPath());
        QString left;
        QVERIFY2(nothingLeftAfter(20000, &left), qPrintable(left));
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
        const QString sheet = sheetAfterClick(&clock, &shownAt);
        m_output->setObserver({});
        CHECK(sheet == u"VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen."_s);
        QVERIFY2(refusedAt >= 0, "openvpn's AUTH_FAILED never reached standard output");
        qInfo("the sheet came %lld ms after openvpn's report", shownAt - refusedAt);
        QVERIFY2(shownAt - refusedAt < 2000,
            qPrintable(u"the sheet came %1 ms after openvpn's report"_s.arg(shownAt - refusedAt)));
        CHECK(m_trace->states().contains(u"EXITING"_s));
        CHECK(m_output->waitForLog(u"OpenVPN exited: termiationStatus="_s));
        expectNothingLeft();
    }

    void helperRefusesTheProfile_data()
    {
        QTest::addColumn<QString>("profile"); // made from the stack's
        QTest::addColumn<QString>("sheet");
        QTest::newRow("a directive that is not allowed (78)")
            << u"+up /bin/true"_s
            << u"Der Hilfsdienst hat das VPN-Profil abgelehnt: Es enthält eine nicht erlaubte Option. Bitte den "
               "Support kontaktieren."_s;
        QTest::newRow("not a client profile (65)")
            << u"-client"_s
            << u"Der Hilfsdienst hat das VPN-Profil abgelehnt: Es ist kein Client-Profil. Bitte den Support "
               "kontaktieren."_s;
    }
    void helperRefusesTheProfile()
    {
        QFETCH(QString, profile);
        QFETCH(QString, sheet);
        // "+line" adds a line at the end, "-line" takes the profile's first line away.
        const QString line = profile.mid(1) + u'\n';
        QString served = m_profile;
        if (profile.startsWith(u'+')) {
            served += line;
        } else {
            QVERIFY(served.startsWith(line));
            served.remove(0, line.size());
        }
        m_standIn.setProfile(served);
        const int runsBefore = helperRunRequests();
        CHECK(sheetAfterClick() == sheet);
        QCOMPARE(helperRunRequests(), runsBefore + 1);
        CHECK(m_output->waitForLog(
            u"OpenVPN exited: termiationStatus="_s + (profile.startsWith(u'+') ? u"78"_s : u"65"_s)));
        expectNothingLeft();
    }

    // A service that is down is not a wrong password.
    void accountServiceUnavailable()
    {
        m_standIn.setFailureReply(AccountStandIn::Endpoint::Login, 503, R"({"error":"maintenance"})");
        const int runsBefore = helperRunRequests();
        QCOMPARE(
            sheetAfterClick(), u"Der Quellnet-Dienst ist gerade nicht erreichbar. Bitte später erneut versuchen."_s);
        QCOMPARE(helperRunRequests(), runsBefore);
        expectNothingLeft();
    }
};

QTEST_MAIN(TestReasons)
#include "tst_reasons.moc"
