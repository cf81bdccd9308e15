// The desktop's notifications from the real program against the local stack, on a session bus of the
// test's own (dbus-run-session) with a notification service of its own (quellnet-notification-standin):
// what arrives when the tunnel comes up, when openvpn is killed, when a connect fails while the window
// is hidden, and that nothing arrives for a disconnect the person asked for.
#include "account/ConnectFlow.h"
#include "account/Constant.h"
#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "tests/e2e/E2eHarness.h"
#include "tests/e2e/ProgramWindow.h"
#include "tests/support/AccountStandIn.h"
#include "ui/Appearance.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {
const QString connected = u"CONNECTED"_s;
const QString noProcess = u"NOPROCESS"_s;
} // namespace

class TestNotifications : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settings;
    AccountStandIn m_standIn;
    QProcess m_service;
    QList<QJsonObject> m_received;
    const StackAccount m_account = E2eStack::demoAccount();
    const StackAccount m_stranger { u"stranger@quellnet.test"_s, u"unknown to the VPN server"_s };
    std::unique_ptr<ProgramWindow> m_program;
    std::unique_ptr<StateTrace> m_trace;

    ConnectFlow &flow() { return *m_program->view().findChild<ConnectFlow *>(); }

    // What the service was given so far, as "summary: body".
    QStringList received()
    {
        while (m_service.canReadLine()) {
            const QJsonDocument line = QJsonDocument::fromJson(m_service.readLine());
            if (line.isObject())
                m_received << line.object();
        }
        QStringList texts;
        for (const QJsonObject &notification : std::as_const(m_received))
            texts << notification.value(u"summary"_s).toString() + u": "_s + notification.value(u"body"_s).toString();
        return texts;
    }
    bool receivedAfterAWhile(int count, int timeoutMs = 20000)
    {
        return waitUntil([&] { return received().size() >= count; }, timeoutMs);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0 || Constant::extraCACertificate() != E2eStack::caPath())
            QSKIP("needs root and a build that trusts <build>/e2e/pki/ca.crt (scripts/test makes one)");
        if (!qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").contains(u"/tmp"))
            QSKIP("runs on a session bus of its own: dbus-run-session (see tests/e2e/CMakeLists.txt)");
        QString why;
        QVERIFY2(stackIsReady(&why) && serveLikeTheStack(m_standIn, &why), qPrintable(why));
        m_standIn.addAccount(m_stranger.email, m_stranger.password);
        m_service.start(u"" QUELLNET_NOTIFICATION_STANDIN ""_s, {});
        QVERIFY(m_service.waitForStarted(5000));
        QVERIFY(waitUntil([this] { return m_service.canReadLine(); }, 10000));
        QCOMPARE(m_service.readLine(), QByteArray("ready\n"));
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
        m_program->delegate().reopenWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_program->view().window()));
        m_program->typeCredentials(m_account.email, m_account.password);
        received();
        m_received.clear();
        m_trace = std::make_unique<StateTrace>();
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
        m_service.terminate();
        m_service.waitForFinished(5000);
        QFile::remove(ConnectFlow::configPath());
    }

    // The tunnel comes up: one notification with its address. openvpn is killed: one more, saying the
    // connection was lost, in place of the first; the window, in view, shows the sheet too.
    void connectedThenDropped()
    {
        m_program->clickConnect();
        QVERIFY(m_trace->waitFor(connected, 30000));
        QVERIFY(receivedAfterAWhile(1));
        const QString address = OpenVPNService::shared().tunnel().value_or(VpnTunnel()).address;
        QVERIFY(address.startsWith(u"10.204.0."_s));
        QCOMPARE(received().constFirst(),
            u"Verbunden: Verbunden seit %1 · %2"_s.arg(
                OpenVPNService::shared().tunnel()->since.toString(u"HH:mm"_s), address));
        QCOMPARE(m_received.constFirst().value(u"app"_s).toString(), u"Quellnet"_s);

        const qint64 openvpn = E2eStack::helperOpenVpnPids().value(0);
        QVERIFY(openvpn != 0);
        QCOMPARE(::kill(pid_t(openvpn), SIGKILL), 0);
        QVERIFY(m_trace->waitFor(noProcess, 15000));
        QVERIFY(receivedAfterAWhile(2));
        QCOMPARE(
            received().at(1), u"Nicht verbunden: Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden."_s);
        QCOMPARE(m_received.at(1).value(u"replaces"_s), m_received.at(0).value(u"id"_s));
        QCOMPARE(m_program->closeSheets(),
            QStringList { u"Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden."_s });
        QTest::qWait(1000);
        QCOMPARE(received().size(), 2);
    }

    // Started from the tray with the window closed: the reason comes as a notification, not as a sheet
    // on a window nobody sees.
    void failureWhileTheWindowIsHidden()
    {
        m_program->typeCredentials(m_stranger.email, m_stranger.password);
        m_program->delegate().window()->hide();
        m_program->delegate().onConnectButtonClick(); // the tray's "Verbinden"
        QVERIFY(receivedAfterAWhile(1, 40000));
        QCOMPARE(
            received(), QStringList { u"Nicht verbunden: VPN-Anmeldung fehlgeschlagen. Bitte Passwort prüfen."_s });
        QVERIFY(m_program->sheets().isEmpty());
        QVERIFY(waitUntil([this] { return !flow().isSignInUnderWay(); }, 30000));
        QTest::qWait(1000);
        QCOMPARE(received().size(), 1);
        QVERIFY(m_program->sheets().isEmpty());
    }

    // "Trennen" is the person's own doing: nothing to tell.
    void nothingForTheirOwnDisconnect()
    {
        m_program->clickConnect();
        QVERIFY(m_trace->waitFor(connected, 30000));
        QVERIFY(receivedAfterAWhile(1));
        QVERIFY(received().constFirst().startsWith(u"Verbunden: "_s));
        m_trace->clear();
        m_program->clickConnect();
        QVERIFY(m_trace->waitFor(noProcess, 20000));
        QTest::qWait(1500);
        QCOMPARE(received().size(), 1);
        QVERIFY(m_program->sheets().isEmpty());
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
