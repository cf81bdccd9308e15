#include "helperlink/HelperConnectionCache.h"
#include "helperlink/LocalHelperConnection.h"
#include "tests/support/HelperSocketStandIn.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TestTools.h"

#include <QTest>
#include <QThread>

#include <mutex>
#include <vector>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

// What the handlers got, in order, and whether on the test's thread.
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
    static QString text(const std::optional<HelperRun> &run)
    {
        return !run ? u" none"_s : u" uid %1 %2"_s.arg(run->owner).arg(run->managementPassword.value_or(u"-"_s));
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_events;
    QThread *const m_testThread = QThread::currentThread();
};

} // namespace

class TestHelperConnection : public QObject
{
    Q_OBJECT

    HelperSocketStandIn m_helper;
    std::shared_ptr<Recorder> m_recorder;
    std::unique_ptr<OutputCapture> m_output;
    std::atomic_bool m_loggedOffTestThread = false;

private Q_SLOTS:
    void init()
    {
        m_recorder = std::make_shared<Recorder>();
        m_loggedOffTestThread = false;
        m_output = std::make_unique<OutputCapture>([this](OutputCapture::Channel, const QString &) {
            m_loggedOffTestThread = m_loggedOffTestThread || QThread::currentThread() != thread();
        });
    }
    void cleanup() { m_output.reset(); }

    // However the helper fails, the waiting request fails once, then invalidation runs once;
    // later messages fail at once. A request that was answered (the kill) gets no error.
    void helperFailures_data()
    {
        // to the run request (%1: its id); null: the helper goes
        addRows<QByteArray>("answer",
            { { "helper goes away", QByteArray() }, { "garbage from the helper", "Segmentation fault\n" },
                { "version reply to a run request", "{\"id\":%1,\"version\":\"1.0.0\"}\n" },
                { "run reply to a run request", "{\"id\":%1,\"run\":null}\n" } });
    }
    void helperFailures()
    {
        QFETCH(QByteArray, answer);
        LocalHelperConnection connection(m_helper.socketPath());
        connection.setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        const auto proxy = connection.remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        const QString secret = u"0123456789abcdef0123456789abcdef"_s;
        proxy->runOpenVPNWithConfig(
            u"/run/user/1000/quellnet/quellnet.ovpn"_s, u"/u"_s, u"/d"_s, secret, m_recorder->note(u"termination"_s));
        proxy->killOpenVPN();
        connection.resume();
        QLocalSocket *client = m_helper.acceptClient();
        const auto run = client ? HelperSocketStandIn::readRequest(client) : std::nullopt;
        QVERIFY(run && HelperSocketStandIn::readRequest(client));
        QCOMPARE(run->managementPassword, secret);
        if (answer.isNull())
            client->disconnectFromServer();
        else
            QVERIFY(HelperSocketStandIn::send(client, answer.replace("%1", QByteArray::number(run->id))));
        QTRY_COMPARE(m_recorder->events().count(u"invalidated"_s), 1);
        QVERIFY(m_recorder->events().size() == 2 && m_recorder->events().last() == u"invalidated"_s);
        QCOMPARE(m_recorder->events()
                     .filter(u"error The connection to service named " QUELLNET_HELPER_ID " was invalidated"_s)
                     .size(),
            1);
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        QTRY_COMPARE(m_recorder->events().filter(u"error "_s).size(), 2);
        QTest::qWait(50);
        QCOMPARE(m_recorder->events().size(), 3);
        QVERIFY(!m_recorder->onTestThread);
    }

    // Each answer reaches the request with its id, whatever the order; an error answers any
    // request, and only its error handler runs.
    void answersFindTheirRequests()
    {
        LocalHelperConnection connection(m_helper.socketPath());
        connection.resume();
        QLocalSocket *client = m_helper.acceptClient();
        QVERIFY(client);
        const auto proxy = [this](const QString &name) { return m_recorder->note(name); };
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error A"_s))
            ->getVersionWithResponseHandler(m_recorder->note(u"version A"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error B"_s))
            ->runOpenVPNWithConfig(
                u"/c"_s, u"/u"_s, u"/d"_s, u"0123456789abcdef0123456789abcdef"_s, m_recorder->note(u"termination B"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error C"_s))
            ->getVersionWithResponseHandler(m_recorder->note(u"version C"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error D"_s))
            ->getRunWithResponseHandler(m_recorder->note(u"run D"_s));
        connection.remoteObjectProxyWithErrorHandler(proxy(u"error E"_s))
            ->getRunWithResponseHandler(m_recorder->note(u"run E"_s));
        std::vector<HelperRequest> requests;
        while (requests.size() < 5) {
            const auto request = HelperSocketStandIn::readRequest(client);
            QVERIFY(request);
            requests.push_back(*request);
        }
        QCOMPARE(requests[3].operation, HelperRequest::Operation::GetRun);
        using Kind = HelperReply::Kind;
        const QString secret = u"00112233445566778899aabbccddeeff"_s;
        for (const HelperReply &reply : { HelperReply { requests[4].id, Kind::Run, {}, 0, HelperRun { 1001, {} } },
                 HelperReply { requests[2].id, Kind::Error, u"busy"_s, 0, {} },
                 HelperReply { requests[1].id, Kind::TerminationStatus, {}, 7, {} },
                 HelperReply { requests[3].id, Kind::Run, {}, 0, HelperRun { 1000, secret } },
                 HelperReply { requests[0].id, Kind::Version, u"1.0.0"_s, 0, {} } })
            QVERIFY(HelperSocketStandIn::send(client, HelperWire::encode(reply)));
        QTRY_COMPARE(m_recorder->events(),
            (QStringList { u"run E uid 1001 -"_s, u"error C busy"_s, u"termination B 7"_s,
                u"run D uid 1000 "_s + secret, u"version A 1.0.0"_s }));
        QVERIFY(!m_recorder->onTestThread);
    }

    // However the connection ends before its helper answers, each message fails once, off the
    // sender's thread; only an invalidation runs the invalidation handler, and a connection that
    // ends before it was resumed never reaches the helper.
    void endingWithoutAnswers_data()
    {
        QTest::addColumn<bool>("resumed");
        QTest::addColumn<bool>("released"); // or invalidated
        QTest::newRow("invalidated before resume") << false << false;
        QTest::newRow("released before resume") << false << true;
        QTest::newRow("invalidated while waiting") << true << false;
        QTest::newRow("released while waiting") << true << true;
    }
    void endingWithoutAnswers()
    {
        QFETCH(bool, resumed);
        QFETCH(bool, released);
        auto connection = std::make_unique<LocalHelperConnection>(m_helper.socketPath());
        connection->setInvalidationHandler(m_recorder->note(u"invalidated"_s));
        const auto proxy = connection->remoteObjectProxyWithErrorHandler(m_recorder->note(u"error"_s));
        proxy->getVersionWithResponseHandler(m_recorder->note(u"version"_s));
        if (resumed) {
            connection->resume();
            QLocalSocket *client = m_helper.acceptClient();
            QVERIFY(client && HelperSocketStandIn::readRequest(client));
        }
        if (released)
            connection.reset();
        else
            connection->invalidate();
        QTRY_COMPARE(m_recorder->events().size(), released ? 1 : 2);
        proxy->killOpenVPN(); // to a connection that has ended, or is gone
        QTRY_COMPARE(m_recorder->events().filter(u"error The connection to service named"_s).size(), 2);
        QTest::qWait(50);
        QCOMPARE(m_recorder->events().count(u"invalidated"_s), released ? 0 : 1);
        QVERIFY(!m_recorder->onTestThread);
        if (!resumed)
            QCOMPARE(m_helper.acceptClient(100), nullptr);
    }

    // The cache connects on first use, hands out the same connection until the helper goes away,
    // then empties itself on the GUI thread with one log line, and connects afresh.
    void cacheFollowsTheHelper()
    {
        HelperConnectionCache cache([&] { return std::make_shared<LocalHelperConnection>(m_helper.socketPath()); });
        QVERIFY(!cache.xpcHelperConnection());
        const HelperConnectionPtr first = cache.helperConnection();
        QVERIFY(first && cache.helperConnection() == first && cache.xpcHelperConnection() == first);
        QLocalSocket *firstClient = m_helper.acceptClient();
        QVERIFY(firstClient);
        firstClient->disconnectFromServer();
        QTRY_VERIFY(!cache.xpcHelperConnection());
        QCOMPARE(m_output->logLines(), QStringList { u"XPC Connection Invalidated\n"_s });
        QVERIFY(!m_loggedOffTestThread);
        const HelperConnectionPtr second = cache.helperConnection();
        QVERIFY(second && second != first && m_helper.acceptClient());
        QTest::qWait(50);
        QVERIFY(cache.xpcHelperConnection() == second && m_output->logLines().size() == 1);
    }
};

QTEST_GUILESS_MAIN(TestHelperConnection)
#include "tst_helperconnection.moc"
