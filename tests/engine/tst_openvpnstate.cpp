// The VPN state of the shared service and its change notification.
#include "EngineTestSupport.h"
#include "NotificationCenter.h"
#include "OpenVPNService.h"

#include <QTest>

#include <memory>
#include <thread>
#include <vector>

using namespace quellnet;
using namespace quellnet::test;

class TestOpenVPNState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newServiceIsIdleAndSilent();
    void updates_data();
    void updates();
    void concurrentUpdatesAreAllPostedOnTheGuiThread();
    void destroyedObserverGetsNothing();
    void cleanup();
};

void TestOpenVPNState::newServiceIsIdleAndSilent()
{
    StateObserver observer;
    QCOMPARE(OpenVPNService::shared().state(), QStringLiteral("NOPROCESS"));
    drainEvents();
    QCOMPARE(observer.notifications, 0);
}

void TestOpenVPNState::updates_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("notifications");

    const QString connected = QStringLiteral("CONNECTED");
    QTest::newRow("connected drops ASSIGN_IP")
        << connected << QStringList { QStringLiteral("ASSIGN_IP") } << connected << 0;
    QTest::newRow("connected drops ADD_ROUTES")
        << connected << QStringList { QStringLiteral("ADD_ROUTES") } << connected << 0;
    QTest::newRow("connecting takes ASSIGN_IP")
        << QStringLiteral("CONNECTING") << QStringList { QStringLiteral("ASSIGN_IP") } << QStringLiteral("ASSIGN_IP")
        << 1;
    QTest::newRow("repeated name posts again") << connected << QStringList { connected, connected } << connected << 2;
    QTest::newRow("connected to reconnecting")
        << connected << QStringList { QStringLiteral("RECONNECTING") } << QStringLiteral("RECONNECTING") << 1;
    QTest::newRow("connected to exiting")
        << connected << QStringList { QStringLiteral("EXITING") } << QStringLiteral("EXITING") << 1;
    QTest::newRow("unknown and empty names")
        << QStringLiteral("NOPROCESS") << QStringList { QStringLiteral("SOMETHING_NEW"), QString() } << QString() << 2;
    QTest::newRow("filter is case-sensitive")
        << QStringLiteral("Connected") << QStringList { QStringLiteral("ASSIGN_IP") } << QStringLiteral("ASSIGN_IP")
        << 1;
    QTest::newRow("dropped names are case-sensitive")
        << connected << QStringList { QStringLiteral("assign_ip") } << QStringLiteral("assign_ip") << 1;
    QTest::newRow("filter applies again after reconnect")
        << QStringLiteral("RECONNECTING") << QStringList { connected, QStringLiteral("ADD_ROUTES") } << connected << 1;
}

void TestOpenVPNState::updates()
{
    QFETCH(QString, from);
    QFETCH(QStringList, names);
    QFETCH(QString, expected);
    QFETCH(int, notifications);

    OpenVPNService &service = OpenVPNService::shared();
    StateObserver observer;
    service.setState(from); // a direct store announces nothing
    for (const QString &name : names)
        service.updateState(name);

    QCOMPARE(service.state(), expected);
    drainEvents();
    QCOMPARE(observer.notifications, notifications);
    // Observers read the state when the notification arrives, as it is by then.
    QCOMPARE(observer.seen, QStringList(notifications, expected));
}

void TestOpenVPNState::concurrentUpdatesAreAllPostedOnTheGuiThread()
{
    constexpr int threads = 4;
    constexpr int updatesPerThread = 500;
    OpenVPNService &service = OpenVPNService::shared();
    service.setState(QStringLiteral("NOPROCESS"));
    StateObserver observer;

    // A reader on the GUI thread keeps reading while the writers run.
    std::atomic<bool> writing { true };
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&service, t] {
            for (int i = 0; i < updatesPerThread; ++i)
                service.updateState(QStringLiteral("T%1-%2").arg(t).arg(i));
        });
    }
    std::thread joiner([&] {
        for (std::thread &writer : writers)
            writer.join();
        writing = false;
    });
    while (writing) {
        const QString seen = service.state();
        QVERIFY(seen == u"NOPROCESS" || seen.startsWith(u'T'));
    }
    joiner.join();

    QTRY_COMPARE(observer.notifications, threads * updatesPerThread);
    QCOMPARE(observer.offGuiThread, 0);
    // The last notification is delivered after the last accepted update.
    QCOMPARE(observer.seen.last(), service.state());
    QVERIFY(service.state().endsWith(QStringLiteral("-%1").arg(updatesPerThread - 1)));
}

void TestOpenVPNState::destroyedObserverGetsNothing()
{
    auto doomed = std::make_unique<QObject>();
    int doomedCalls = 0;
    NotificationCenter::defaultCenter().addObserver(
        doomed.get(), OpenVPNStateDidChange(), [&doomedCalls] { ++doomedCalls; });
    StateObserver survivor;

    std::thread([] { OpenVPNService::shared().updateState(QStringLiteral("WAIT")); }).join();
    doomed.reset(); // after the post was queued, before it is delivered
    drainEvents();

    QCOMPARE(doomedCalls, 0);
    QCOMPARE(survivor.notifications, 1);
}

void TestOpenVPNState::cleanup()
{
    drainEvents();
    OpenVPNService::shared().setState(QStringLiteral("NOPROCESS"));
}

QTEST_GUILESS_MAIN(TestOpenVPNState)
#include "tst_openvpnstate.moc"
