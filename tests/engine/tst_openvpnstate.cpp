// The VPN state: what each name means, the shared service's state and its change notification.
#include "engine/OpenVPNService.h"
#include "engine/VpnState.h"
#include "tests/support/StateTrace.h"
#include "tests/support/Waiting.h"

#include <QTest>

#include <thread>
#include <vector>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(VpnState::Class)

class TestOpenVPNState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCOMPARE(OpenVPNService::shared().state(), u"NOPROCESS"_s); }

    void cleanup()
    {
        drainEvents();
        OpenVPNService::shared().setState(u"NOPROCESS"_s);
    }

    // The login view's display modes, the connect flow's choice between signing in and stopping, and
    // the service's own idle checks all follow this one table.
    void classes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<VpnState::Class>("expected");
        using Class = VpnState::Class;
        for (const char *name : { "NOPROCESS", "DISCONNECTED", "EXITING" })
            QTest::newRow(name) << QString::fromLatin1(name) << Class::Idle;
        for (const char *name : { "NONETWORK", "WAIT", "RECONNECTING", "ADD_ROUTES" })
            QTest::newRow(name) << QString::fromLatin1(name) << Class::InProgress;
        QTest::newRow("CONNECTED") << u"CONNECTED"_s << Class::Connected;
        QTest::newRow("AUTH_PENDING") << u"AUTH_PENDING"_s << Class::Other;
        QTest::newRow("other letter case") << u"connected"_s << Class::Other;
        QTest::newRow("trailing blank") << u"EXITING "_s << Class::Other;
        QTest::newRow("empty") << QString() << Class::Other;
    }
    void classes()
    {
        QFETCH(QString, name);
        QFETCH(VpnState::Class, expected);
        QCOMPARE(VpnState::classOf(name), expected);
        QCOMPARE(OpenVPNService::isIdleState(name), expected == VpnState::Class::Idle);
    }

    void updates_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("notifications");
        const QString connected = u"CONNECTED"_s;
        QTest::newRow("connected drops ASSIGN_IP, ADD_ROUTES")
            << connected << QStringList { u"ASSIGN_IP"_s, u"ADD_ROUTES"_s } << connected << 0;
        QTest::newRow("connecting takes ASSIGN_IP")
            << u"CONNECTING"_s << QStringList { u"ASSIGN_IP"_s } << u"ASSIGN_IP"_s << 1;
        QTest::newRow("repeated name posts again") << connected << QStringList(2, connected) << connected << 2;
        QTest::newRow("connected to exiting") << connected << QStringList { u"EXITING"_s } << u"EXITING"_s << 1;
        QTest::newRow("unknown and empty names")
            << u"NOPROCESS"_s << QStringList { u"SOMETHING_NEW"_s, QString() } << QString() << 2;
        QTest::newRow("filter applies again after reconnect")
            << u"RECONNECTING"_s << QStringList { connected, u"ADD_ROUTES"_s } << connected << 1;
    }

    void updates()
    {
        QFETCH(QString, from);
        QFETCH(QStringList, names);
        QFETCH(QString, expected);
        QFETCH(int, notifications);
        StateTrace trace;
        OpenVPNService::shared().setState(from); // a direct store announces nothing
        for (const QString &name : names)
            OpenVPNService::shared().updateState(name);
        QCOMPARE(OpenVPNService::shared().state(), expected);
        drainEvents();
        QCOMPARE(trace.states(), QStringList(notifications, expected));
    }

    void concurrentUpdatesAreAllPostedOnTheGuiThread()
    {
        constexpr int threads = 4, updatesPerThread = 500;
        StateTrace trace;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < updatesPerThread; ++i)
                    OpenVPNService::shared().updateState(u"T%1-%2"_s.arg(t).arg(i));
            });
        }
        for (std::thread &writer : writers)
            writer.join();
        QTRY_COMPARE(trace.states().size(), threads * updatesPerThread);
        QCOMPARE(trace.offGuiThread(), 0);
        QCOMPARE(trace.states().last(), OpenVPNService::shared().state());
        QVERIFY(trace.states().last().endsWith(u"-%1"_s.arg(updatesPerThread - 1)));
    }
};

QTEST_GUILESS_MAIN(TestOpenVPNState)
#include "tst_openvpnstate.moc"
