#include "FakeHelper.h"
#include "LocalHelperConnection.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <mutex>

using namespace quellnet;

namespace {

// What the connection's handlers did, from whichever thread they ran on.
class Recorder : public std::enable_shared_from_this<Recorder>
{
public:
    void add(const QString &event)
    {
        std::lock_guard lock(m_mutex);
        m_events.append(event);
        m_onTestThread = m_onTestThread || QThread::currentThread() == m_testThread;
    }
    QStringList events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    int count(const QString &prefix) const
    {
        std::lock_guard lock(m_mutex);
        return int(
            std::count_if(m_events.begin(), m_events.end(), [&](const QString &e) { return e.startsWith(prefix); }));
    }
    bool ranOnTestThread() const
    {
        std::lock_guard lock(m_mutex);
        return m_onTestThread;
    }

    HelperErrorHandler errorHandler()
    {
        return [self = shared_from_this()](
                   const HelperError &error) { self->add(QStringLiteral("error ") + error.description); };
    }
    std::function<void(const QString &)> versionReply()
    {
        return [self = shared_from_this()](const QString &version) { self->add(QStringLiteral("version ") + version); };
    }
    std::function<void(std::int32_t)> terminationHandler()
    {
        return [self = shared_from_this()](
                   std::int32_t status) { self->add(QStringLiteral("termination %1").arg(status)); };
    }
    std::function<void()> invalidationHandler()
    {
        return [self = shared_from_this()] { self->add(QStringLiteral("invalidated")); };
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_events;
    QThread *const m_testThread = QThread::currentThread();
    bool m_onTestThread = false;
};

enum class Misbehaviour { Unreachable, Closes, SendsGarbage, AnswersUnknownId, AnswersWrongKind, SendsOverlongLine };

} // namespace

Q_DECLARE_METATYPE(Misbehaviour)

class TestLocalHelperConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void repliesErrorsAndPendingTermination()
    {
        FakeHelper helper;
        QVERIFY(helper.listening());
        auto recorder = std::make_shared<Recorder>();
        LocalHelperConnection connection(helper.socketPath());
        connection.setInvalidationHandler(recorder->invalidationHandler());
        const auto proxy = connection.remoteObjectProxyWithErrorHandler(recorder->errorHandler());

        // Sent before resume(): it waits for the connection.
        proxy->getVersionWithResponseHandler(recorder->versionReply());
        connection.resume();
        QLocalSocket *client = helper.acceptClient();
        QVERIFY(client);
        const auto version = helper.readRequest(client);
        QVERIFY(version);
        QCOMPARE(version->operation, HelperRequest::Operation::GetVersion);
        helper.reply(client, { version->id, HelperReply::Kind::Version, QStringLiteral("1.0.0"), 0 });
        QTRY_COMPARE(recorder->events(), QStringList { QStringLiteral("version 1.0.0") });

        proxy->runOpenVPNWithConfig(QStringLiteral("/tmp/quellnet.ovpn"), QStringLiteral("/res/client.up"),
            QStringLiteral("/res/client.down"), recorder->terminationHandler());
        const auto run = helper.readRequest(client);
        QVERIFY(run);
        QCOMPARE(run->operation, HelperRequest::Operation::RunOpenVPN);
        QCOMPARE(run->config, QStringLiteral("/tmp/quellnet.ovpn"));
        QCOMPARE(run->clientUp, QStringLiteral("/res/client.up"));
        QCOMPARE(run->clientDown, QStringLiteral("/res/client.down"));
        QVERIFY(run->id != version->id);

        // While openvpn runs, other requests come and go; an error reply replaces its reply and
        // leaves the connection usable.
        proxy->getVersionWithResponseHandler(recorder->versionReply());
        const auto refused = helper.readRequest(client);
        QVERIFY(refused);
        helper.reply(client, { refused->id, HelperReply::Kind::Error, QStringLiteral("not today"), 0 });
        QTRY_COMPARE(recorder->count(QStringLiteral("error not today")), 1);

        helper.reply(client, { run->id, HelperReply::Kind::TerminationStatus, {}, -15 });
        QTRY_COMPARE(recorder->count(QStringLiteral("termination -15")), 1);
        QCOMPARE(recorder->events(),
            QStringList({ QStringLiteral("version 1.0.0"), QStringLiteral("error not today"),
                QStringLiteral("termination -15") }));
        QVERIFY(!recorder->ranOnTestThread());
    }

    // However the helper fails the connection, every waiting request fails once through its
    // error handler, then the invalidation handler runs once; later messages fail at once.
    void helperFailures_data()
    {
        QTest::addColumn<Misbehaviour>("misbehaviour");
        QTest::addColumn<int>("failedRequests");
        // Unreachable: the kill request never went out, so it fails as well.
        QTest::newRow("no helper listening") << Misbehaviour::Unreachable << 2;
        QTest::newRow("helper goes away") << Misbehaviour::Closes << 1;
        QTest::newRow("garbage from the helper") << Misbehaviour::SendsGarbage << 1;
        QTest::newRow("reply to an unknown request") << Misbehaviour::AnswersUnknownId << 1;
        QTest::newRow("version reply to a run request") << Misbehaviour::AnswersWrongKind << 1;
        QTest::newRow("line longer than the limit") << Misbehaviour::SendsOverlongLine << 1;
    }
    void helperFailures()
    {
        QFETCH(Misbehaviour, misbehaviour);
        QFETCH(int, failedRequests);

        FakeHelper helper;
        auto recorder = std::make_shared<Recorder>();
        const QString path = misbehaviour == Misbehaviour::Unreachable ? helper.socketPath() + QStringLiteral(".none")
                                                                       : helper.socketPath();
        LocalHelperConnection connection(path);
        connection.setInvalidationHandler(recorder->invalidationHandler());
        const auto proxy = connection.remoteObjectProxyWithErrorHandler(recorder->errorHandler());
        // Queued before resume(), so that both are waiting whenever the connection fails.
        proxy->runOpenVPNWithConfig(QStringLiteral("/tmp/quellnet.ovpn"), QStringLiteral("/u"), QStringLiteral("/d"),
            recorder->terminationHandler());
        proxy->killOpenVPN();
        connection.resume();

        if (misbehaviour != Misbehaviour::Unreachable) {
            QLocalSocket *client = helper.acceptClient();
            QVERIFY(client);
            const auto run = helper.readRequest(client);
            QVERIFY(run);
            const auto kill = helper.readRequest(client);
            QVERIFY(kill);
            QCOMPARE(kill->operation, HelperRequest::Operation::KillOpenVPN);
            switch (misbehaviour) {
            case Misbehaviour::Closes:
                client->disconnectFromServer();
                break;
            case Misbehaviour::SendsGarbage:
                helper.send(client, "Segmentation fault\n");
                break;
            case Misbehaviour::AnswersUnknownId:
                helper.reply(client, { run->id + 1000, HelperReply::Kind::TerminationStatus, {}, 0 });
                break;
            case Misbehaviour::AnswersWrongKind:
                helper.reply(client, { run->id, HelperReply::Kind::Version, QStringLiteral("1.0.0"), 0 });
                break;
            case Misbehaviour::SendsOverlongLine:
                helper.send(client, QByteArray(HelperWire::maxLineLength + 2, '{'));
                break;
            case Misbehaviour::Unreachable:
                break;
            }
        }

        QTRY_COMPARE(recorder->count(QStringLiteral("invalidated")), 1);
        QStringList events = recorder->events();
        QCOMPARE(events.size(), failedRequests + 1);
        QCOMPARE(events.last(), QStringLiteral("invalidated"));
        QCOMPARE(recorder->count(QStringLiteral("error The connection to service named com.quellnet.macos.helper")),
            failedRequests);

        proxy->getVersionWithResponseHandler(recorder->versionReply());
        connection.remoteObjectProxyWithErrorHandler(recorder->errorHandler())->killOpenVPN();
        QTRY_COMPARE(recorder->count(QStringLiteral("error")), failedRequests + 2);
        QTest::qWait(50);
        QCOMPARE(recorder->count(QStringLiteral("invalidated")), 1);
        QCOMPARE(recorder->count(QStringLiteral("termination")) + recorder->count(QStringLiteral("version")), 0);
        QVERIFY(!recorder->ranOnTestThread());
    }

    void invalidateEndsTheConnection()
    {
        FakeHelper helper;
        auto recorder = std::make_shared<Recorder>();
        LocalHelperConnection connection(helper.socketPath());
        connection.setInvalidationHandler(recorder->invalidationHandler());
        connection.resume();
        connection.remoteObjectProxyWithErrorHandler(recorder->errorHandler())
            ->getVersionWithResponseHandler(recorder->versionReply());
        QLocalSocket *client = helper.acceptClient();
        QVERIFY(client);
        QVERIFY(helper.readRequest(client));

        connection.invalidate();
        QVERIFY(helper.waitForClosed(client));
        QTRY_COMPARE(recorder->events().size(), 2);
        QVERIFY(recorder->events().first().startsWith(QStringLiteral("error ")));
        QCOMPARE(recorder->events().last(), QStringLiteral("invalidated"));

        connection.invalidate();
        QTest::qWait(50);
        QCOMPARE(recorder->count(QStringLiteral("invalidated")), 1);
    }

    void destructionWhileAReplyIsDispatched()
    {
        FakeHelper helper;
        auto recorder = std::make_shared<Recorder>();
        auto gate = std::make_shared<QSemaphore>();
        auto connection = std::make_unique<LocalHelperConnection>(helper.socketPath());
        connection->setInvalidationHandler(recorder->invalidationHandler());
        connection->resume();
        const auto proxy = connection->remoteObjectProxyWithErrorHandler(recorder->errorHandler());
        proxy->getVersionWithResponseHandler([recorder, gate](const QString &) {
            recorder->add(QStringLiteral("entered"));
            gate->tryAcquire(1, 10000);
            recorder->add(QStringLiteral("left"));
        });
        proxy->runOpenVPNWithConfig(QStringLiteral("/tmp/quellnet.ovpn"), QStringLiteral("/u"), QStringLiteral("/d"),
            recorder->terminationHandler());
        QLocalSocket *client = helper.acceptClient();
        QVERIFY(client);
        const auto version = helper.readRequest(client);
        QVERIFY(version);
        QVERIFY(helper.readRequest(client));
        helper.reply(client, { version->id, HelperReply::Kind::Version, QStringLiteral("1.0.0"), 0 });
        QTRY_COMPARE(recorder->count(QStringLiteral("entered")), 1);

        QElapsedTimer timer;
        timer.start();
        connection.reset();
        QVERIFY2(timer.elapsed() < 1000, "the destructor waited for a running reply handler");

        // The run request still gets its one answer, the error, once the handler is done; the
        // owner let go, so there is no invalidation call.
        gate->release();
        QTRY_COMPARE(recorder->count(QStringLiteral("error ")), 1);
        QCOMPARE(recorder->events().mid(0, 2), QStringList({ QStringLiteral("entered"), QStringLiteral("left") }));

        // A proxy that outlives its connection fails its messages, never on the caller's thread.
        proxy->getVersionWithResponseHandler(recorder->versionReply());
        QTRY_COMPARE(recorder->count(QStringLiteral("error ")), 2);
        QCOMPARE(recorder->count(QStringLiteral("invalidated")) + recorder->count(QStringLiteral("termination")), 0);
        QVERIFY(!recorder->ranOnTestThread());
    }
};

QTEST_GUILESS_MAIN(TestLocalHelperConnection)
#include "tst_localhelperconnection.moc"
