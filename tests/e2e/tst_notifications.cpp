// The desktop's notifications from the real program against the local stack, on a session bus of the
// test's own (dbus-run-session) with a notification service of its own (quellnet-notification-standin):
// what arrives when the tunnel comes up, when openvpn is killed, when a connect fails while the window
// is hidden, and that nothing arrives for a disconnect the person asked for.
#include "tests/e2e/WindowTest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <csignal>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

class TestNotifications : public WindowTest
{
    Q_OBJECT

    QProcess m_service;
    QList<QJsonObject> m_received;

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
        if (!qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").contains(u"/tmp"))
            QSKIP("runs on a session bus of its own: dbus-run-session (see tests/e2e/CMakeLists.txt)");
        m_service.start(u"" QUELLNET_NOTIFICATION_STANDIN ""_s, {});
        QVERIFY(m_service.waitForStarted(5000));
        QVERIFY(waitUntil([this] { return m_service.canReadLine(); }, 10000));
        QCOMPARE(m_service.readLine(), QByteArray("ready\n"));
        launchProgram();
    }
    void init()
    {
        m_program->delegate().reopenWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_program->view().window()));
        prepareTest();
        received();
        m_received.clear();
    }
    void cleanup() { restoreAfterTest(); }
    void cleanupTestCase()
    {
        quitProgram();
        m_service.terminate();
        m_service.waitForFinished(5000);
    }

    // The tunnel comes up: one notification with its address. "Trennen" is the person's own doing:
    // nothing to tell. Up again, openvpn is killed: one more, saying the connection was lost, in place of
    // the one before; the window, in view, shows the sheet too.
    void connectedThenDropped()
    {
        m_program->clickConnect();
        QVERIFY(m_trace->waitFor(connectedState, 30000));
        QVERIFY(receivedAfterAWhile(1));
        QCOMPARE(m_received.constFirst().value(u"app"_s).toString(), u"Quellnet"_s);
        m_trace->clear();
        m_program->clickConnect();
        QVERIFY(m_trace->waitFor(noProcessState, 20000));
        QTest::qWait(1500);
        QCOMPARE(received().size(), 1);
        QVERIFY(m_program->sheets().isEmpty());

        QTRY_COMPARE(m_program->buttonTitle(), connectTitle);
        m_program->clickConnect();
        QVERIFY(m_trace->waitFor(connectedState, 30000));
        QVERIFY(receivedAfterAWhile(2));
        const QString address = OpenVPNService::shared().tunnel().value_or(VpnTunnel()).address;
        QVERIFY(address.startsWith(u"10.204.0."_s));
        QCOMPARE(received().at(1),
            u"Verbunden: Verbunden seit %1 · %2"_s.arg(
                OpenVPNService::shared().tunnel()->since.toString(u"HH:mm"_s), address));

        const qint64 openvpn = E2eStack::helperOpenVpnPids().value(0);
        QVERIFY(openvpn != 0);
        QCOMPARE(::kill(pid_t(openvpn), SIGKILL), 0);
        QVERIFY(m_trace->waitFor(noProcessState, 15000));
        QVERIFY(receivedAfterAWhile(3));
        QCOMPARE(
            received().at(2), u"Nicht verbunden: Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden."_s);
        QCOMPARE(m_received.at(2).value(u"replaces"_s), m_received.at(1).value(u"id"_s));
        QCOMPARE(m_program->closeSheets(),
            QStringList { u"Die VPN-Verbindung wurde unterbrochen. Bitte erneut verbinden."_s });
        QTest::qWait(1000);
        QCOMPARE(received().size(), 3);
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
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
