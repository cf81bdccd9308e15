// The connection to the helper over a real Unix socket to a stand-in that speaks the real protocol,
// and the delegate's cached connection on top of it.
#include "FakeHelper.h"
#include "HelperConnectionCache.h"
#include "LocalHelperConnection.h"
#include "SystemLog.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <mutex>

using namespace quellnet;
using namespace Qt::StringLiterals;

namespace {

// What the handlers and the system log got, in order, and on which threads.
class Recorder : public std::enable_shared_from_this<Recorder>
{
public:
    void add(const QString &event)
    {
        std::lock_guard lock(m_mutex);
        m_events << event;
        (QThread::currentThread() == m_testThread ? onTestThread : offTestThread) = true;
    }
    QStringList events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    int count(const QString &prefix) const
    {
        const QStringList all = events();
        return int(std::count_if(all.begin(), all.end(), [&](const QString &e) { return e.startsWith(prefix); }));
    }
    // Whether anything was added on the test's thread, and anywhere else.
    std::atomic_bool onTestThread = false, offTestThread = false;

    // A handler of any kind that notes `what` and what it got.
    auto note(const QString &what)
    {
        return
            [self = shared_from_this(), what](const auto &...got) { self->add(what + (text(got) + ... + QString())); };
    }
    static QString text(const HelperError &error) { return u" "_s + error.description; }
    static QString text(const QString &version) { return u" "_s + version; }
    static QString text(std::int32_t status) { return u" %1"_s.arg(status); }

private:
    mutable std::mutex m_mutex;
    QStringList m_events;
    QThread *const m_testThread = QThread::currentThread();
};

} // namespace

class TestHelperConnection : public QObject
{
    Q_OBJECT

    FakeHelper m_helper;
    std::shared_ptr<Recorder> m_recorder;
    std::shared_ptr<Recorder> m_log; // the system log's lines

private Q_SLOTS:
    void init()
    {
        m_recorder = std::make_shared<Recorder>();
        m_log = std::make_shared<Recorder>();
        SystemLog::setSinkForTesting([log = m_log](const QString &line) { log->add(line); });
    }
    void cleanup() { SystemLog::setSinkForTesting({}); }

    // A request sent before resume() waits for the connection; an error reply replaces a reply
    // and leaves the connection usable while openvpn runs; everything arrives on the connection's
    // own thread.
    void repliesErrorsAndPendingTermination()
    {
        LocalHelperConnection connection(m_helper.socketPath());
        connection.setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        const auto proxy = connection.remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        connection.resume();
        proxy->runOpenVPNWithConfig(
            u"/tmp/quellnet.ovpn"_s, u"/res/client.up"_s, u"/res/client.down"_s, m_recorder->note(u"termination"_s));
        QLocalSocket *client = m_helper.acceptClient();
        const auto version = client ? FakeHelper::readRequest(client) : std::nullopt;
        const auto run = client ? FakeHelper::readRequest(client) : std::nullopt;
        QVERIFY(version && version->operation == HelperRequest::Operation::GetVersion && run);
        QCOMPARE(*run,
            (HelperRequest { run->id, HelperRequest::Operation::RunOpenVPN, u"/tmp/quellnet.ovpn"_s,
                u"/res/client.up"_s, u"/res/client.down"_s }));
        FakeHelper::reply(client, { version->id, HelperReply::Kind::Error, u"not today"_s, 0 });
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        const auto again = FakeHelper::readRequest(client);
        QVERIFY(again && again->id != version->id && again->id != run->id);
        FakeHelper::reply(client, { again->id, HelperReply::Kind::Version, u"1.0.0"_s, 0 });
        FakeHelper::reply(client, { run->id, HelperReply::Kind::TerminationStatus, {}, -15 });
        QTRY_COMPARE(
            m_recorder->events(), (QStringList { u"error not today"_s, u"version 1.0.0"_s, u"termination -15"_s }));
        QVERIFY(!m_recorder->onTestThread);
    }

    // However the helper fails the connection, every waiting request fails once through its
    // error handler, then the invalidation handler runs once; later messages fail at once.
    void helperFailures_data()
    {
        QTest::addColumn<QByteArray>("answer"); // to the run request (%1: its id); null: the helper goes
        QTest::addColumn<int>("failedRequests");
        // Unreachable: the kill request never went out, so it fails as well.
        QTest::newRow("no helper listening") << QByteArray() << 2;
        QTest::newRow("helper goes away") << QByteArray() << 1;
        QTest::newRow("garbage from the helper") << QByteArray("Segmentation fault\n") << 1;
        QTest::newRow("reply to an unknown request") << QByteArray("{\"id\":999999,\"terminationStatus\":0}\n") << 1;
        QTest::newRow("version reply to a run request") << QByteArray("{\"id\":%1,\"version\":\"1.0.0\"}\n") << 1;
        QTest::newRow("line longer than the limit") << QByteArray(HelperWire::maxLineLength + 2, '{') << 1;
    }
    void helperFailures()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, failedRequests);
        const bool reachable = failedRequests == 1;
        LocalHelperConnection connection(m_helper.socketPath() + (reachable ? u""_s : u".none"_s));
        connection.setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        const auto proxy = connection.remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        // Queued before resume(), so that both are waiting whenever the connection fails.
        proxy->runOpenVPNWithConfig(u"/tmp/quellnet.ovpn"_s, u"/u"_s, u"/d"_s, m_recorder->note(u"termination"_s));
        proxy->killOpenVPN();
        connection.resume();
        if (reachable) {
            QLocalSocket *client = m_helper.acceptClient();
            const auto run = client ? FakeHelper::readRequest(client) : std::nullopt;
            QVERIFY(run && FakeHelper::readRequest(client));
            if (answer.isNull())
                client->disconnectFromServer();
            else
                QVERIFY(FakeHelper::send(client, answer.replace("%1", QByteArray::number(run->id))));
        }

        QTRY_COMPARE(m_recorder->count(u"invalidated"_s), 1);
        QCOMPARE(m_recorder->events().mid(failedRequests), QStringList { u"invalidated"_s });
        QCOMPARE(
            m_recorder->count(u"error The connection to service named com.quellnet.macos.helper"_s), failedRequests);
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        QTRY_COMPARE(m_recorder->count(u"error"_s), failedRequests + 1);
        QTest::qWait(50);
        QCOMPARE(m_recorder->events().size(), failedRequests + 2);
        QVERIFY(!m_recorder->onTestThread);
    }

    void destructionWhileAReplyIsDispatched()
    {
        auto gate = std::make_shared<QSemaphore>();
        auto connection = std::make_unique<LocalHelperConnection>(m_helper.socketPath());
        connection->setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        connection->resume();
        const auto proxy = connection->remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        proxy->getVersionWithResponseHandler([recorder = m_recorder, gate](const QString &) {
            recorder->add(u"entered"_s);
            gate->tryAcquire(1, 10000);
            recorder->add(u"left"_s);
        });
        proxy->runOpenVPNWithConfig(u"/tmp/quellnet.ovpn"_s, u"/u"_s, u"/d"_s, m_recorder->note(u"termination"_s));
        QLocalSocket *client = m_helper.acceptClient();
        const auto version = client ? FakeHelper::readRequest(client) : std::nullopt;
        QVERIFY(version && FakeHelper::readRequest(client));
        FakeHelper::reply(client, { version->id, HelperReply::Kind::Version, u"1.0.0"_s, 0 });
        QTRY_COMPARE(m_recorder->count(u"entered"_s), 1);

        QElapsedTimer timer;
        timer.start();
        connection.reset();
        QVERIFY2(timer.elapsed() < 1000, "the destructor waited for a running reply handler");

        // The run request still gets its one answer, the error, once the handler is done; the
        // owner let go, so there is no invalidation call.
        gate->release();
        QTRY_COMPARE(m_recorder->count(u"error "_s), 1);
        QCOMPARE(m_recorder->events().mid(0, 2), (QStringList { u"entered"_s, u"left"_s }));
        // A proxy that outlives its connection fails its messages, never on the caller's thread.
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        QTRY_COMPARE(m_recorder->count(u"error "_s), 2);
        QCOMPARE(m_recorder->events().size(), 4);
        QVERIFY(!m_recorder->onTestThread);
    }

    // The cache connects on first use, hands out the same connection until the helper goes away,
    // then empties itself on the GUI thread with one log line, and connects afresh.
    void cacheFollowsTheHelper()
    {
        HelperConnectionCache cache([&] { return std::make_shared<LocalHelperConnection>(m_helper.socketPath()); });
        QVERIFY(!cache.xpcHelperConnection());
        const HelperConnectionPtr first = cache.helperConnection();
        QVERIFY(first && cache.helperConnection() == first && cache.xpcHelperConnection() == first);
        // It comes resumed: the helper sees it connect without any message sent.
        QLocalSocket *firstClient = m_helper.acceptClient();
        QVERIFY(firstClient);

        firstClient->disconnectFromServer();
        QTRY_VERIFY(!cache.xpcHelperConnection());
        QCOMPARE(m_log->events(), QStringList { u"XPC Connection Invalidated\n"_s });
        QVERIFY(!m_log->offTestThread);
        const HelperConnectionPtr second = cache.helperConnection();
        QVERIFY(second && second != first && m_helper.acceptClient());
        QTest::qWait(50);
        QVERIFY(cache.xpcHelperConnection() == second && m_log->events().size() == 1);
    }
};

QTEST_GUILESS_MAIN(TestHelperConnection)
#include "tst_helperconnection.moc"
