#pragma once

#include "account/ConnectFlow.h"
#include "account/Constant.h"
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "engine/VpnState.h"
#include "tests/e2e/E2eHarness.h"
#include "tests/e2e/ProgramWindow.h"
#include "tests/support/AccountStandIn.h"
#include "tests/support/TestTools.h"
#include "ui/Appearance.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

namespace quellnet::test {

inline const QString connectedState = VpnState::connected.toString();
inline const QString noProcessState = VpnState::noProcess.toString();
inline const QString connectTitle = QStringLiteral("Verbinden");

// What the tests of the real window against the local stack share: the program in this process, signing
// in at an account stand-in of the test's own that serves what the stack's serves (so that a test can
// make it fail and see what it received), the demo account in the form, and for each test a fresh trace
// of the states and capture of the output. A test class derives from it and calls its steps from its
// own slots. GUI thread only.
class WindowTest : public QObject
{
protected:
    QTemporaryDir m_settings;
    AccountStandIn m_standIn;
    QString m_profile; // the stack's client profile, which the stand-in serves
    const StackAccount m_account = E2eStack::demoAccount();
    // The account service knows this one; the VPN server does not.
    const StackAccount m_stranger { QStringLiteral("stranger@quellnet.test"),
        QStringLiteral("unknown to the VPN server") };
    std::unique_ptr<ProgramWindow> m_program;
    std::unique_ptr<StateTrace> m_trace;
    std::unique_ptr<OutputCapture> m_output;

    ConnectFlow &flow() { return *m_program->view().findChild<ConnectFlow *>(); }
    // The states and the log lines so far, for the message of a failed check.
    QString seen() const { return m_trace->states().join(u',') + u'\n' + m_output->logLines().join(u'|'); }

    // From initTestCase: skips without root or a build that signs in at the stack, then shows the window.
    void launchProgram()
    {
        if (::geteuid() != 0 || Constant::extraCACertificate() != E2eStack::caPath())
            QSKIP("needs root and a build that trusts <build>/e2e/pki/ca.crt (scripts/test makes one)");
        QString why;
        QVERIFY2(stackIsReady(&why) && serveLikeTheStack(m_standIn, &why), qPrintable(why));
        m_standIn.addAccount(m_stranger.email, m_stranger.password);
        m_profile = QString::fromUtf8(readFile(E2eStack::profilePath()));
        QVERIFY(useOwnSettingsFolder(m_settings));
        AppPaths::setPrefixForTesting(QStringLiteral(QUELLNET_BUILD_PREFIX));
        Appearance::applyTo(qApp);
        m_program = std::make_unique<ProgramWindow>();
        QVERIFY(QTest::qWaitForWindowExposed(m_program->view().window()));
        flow().setBaseURLForTesting(m_standIn.baseUrl().toString());
    }
    // From init.
    void prepareTest()
    {
        QVERIFY2(waitUntil([] { return !managementPortListener(); }, 120000), "port 1337 stays taken");
        m_program->typeCredentials(m_account.email, m_account.password);
        m_standIn.clearFailures();
        m_standIn.clearRequests();
        m_standIn.setProfile(m_profile);
        m_trace = std::make_unique<StateTrace>();
        m_output = std::make_unique<OutputCapture>();
    }
    // From cleanup: whatever the test left ends, so that one failure does not spill into the next.
    void restoreAfterTest()
    {
        m_program->closeSheets();
        waitUntil([this] { return !flow().isSignInUnderWay(); }, 30000);
        QString left;
        QVERIFY2(restoreStack(m_program->delegate(), &left), qPrintable(left));
        // The helper's word on the last openvpn, after its "EXITING", must not reach the next test.
        waitUntil([] { return OpenVPNService::shared().state() == noProcessState; }, 15000);
        QCoreApplication::processEvents();
    }
    // From cleanupTestCase.
    void quitProgram()
    {
        m_program.reset();
        unplant(ConnectFlow::configPath());
        QString left;
        QVERIFY2(nothingLeftAfter(20000, &left), qPrintable(left));
    }

    // The form offers "Verbinden" again, in the window and the tray, and nothing is left running.
    void expectIdleAndNothingLeft(int timeoutMs = 30000)
    {
        QVERIFY2(waitUntil([this] { return !flow().isSignInUnderWay() && m_program->buttonTitle() == connectTitle; },
                     timeoutMs),
            qPrintable(seen()));
        QCOMPARE(m_program->trayConnectTitle(), connectTitle);
        QVERIFY(m_program->formEnabled());
        QString left;
        QVERIFY2(nothingLeftAfter(15000, &left), qPrintable(left));
    }
};

// QVERIFY in a WindowTest, with what the test has seen so far for a failure.
#define CHECK(condition) QVERIFY2(condition, qPrintable(seen()))

} // namespace quellnet::test
