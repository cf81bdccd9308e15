#include "FakeHelper.h"
#include "HelperConnectionCache.h"
#include "LocalHelperConnection.h"
#include "SystemLog.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <mutex>

using namespace quellnet;

namespace {

const QString invalidatedLine = QStringLiteral("XPC Connection Invalidated\n");

// The system log's lines, with whether each was written on the test's (the GUI) thread.
class LogCapture
{
public:
    LogCapture()
    {
        SystemLog::setSinkForTesting([this](const QString &line) {
            std::lock_guard lock(m_mutex);
            m_lines.append(line);
            m_offThread = m_offThread || QThread::currentThread() != m_guiThread;
        });
    }
    ~LogCapture() { SystemLog::setSinkForTesting({}); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    int count(const QString &line) const
    {
        std::lock_guard lock(m_mutex);
        return int(m_lines.count(line));
    }
    bool anyOffGuiThread() const
    {
        std::lock_guard lock(m_mutex);
        return m_offThread;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
    QThread *const m_guiThread = QThread::currentThread();
    bool m_offThread = false;
};

} // namespace

class TestHelperConnectionCache : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void createdOnFirstUseAndReused()
    {
        FakeHelper helper;
        std::atomic<int> made { 0 };
        HelperConnectionCache cache([&] {
            ++made;
            return std::make_shared<LocalHelperConnection>(helper.socketPath());
        });
        QVERIFY(!cache.xpcHelperConnection());

        const HelperConnectionPtr first = cache.helperConnection();
        QVERIFY(first);
        QCOMPARE(cache.helperConnection(), first);
        QCOMPARE(cache.xpcHelperConnection(), first);
        QCOMPARE(made.load(), 1);
        // It comes resumed: the helper sees it connect without any message sent.
        QVERIFY(helper.acceptClient());
    }

    void helperGoingAwayEmptiesTheCacheOnTheGuiThread()
    {
        FakeHelper helper;
        LogCapture log;
        HelperConnectionCache cache([&] { return std::make_shared<LocalHelperConnection>(helper.socketPath()); });

        const HelperConnectionPtr first = cache.helperConnection();
        QLocalSocket *firstClient = helper.acceptClient();
        QVERIFY(firstClient);
        firstClient->disconnectFromServer();

        QTRY_VERIFY(!cache.xpcHelperConnection());
        QCOMPARE(log.count(invalidatedLine), 1);
        QVERIFY(!log.anyOffGuiThread());

        // The next request connects afresh.
        const HelperConnectionPtr second = cache.helperConnection();
        QVERIFY(second);
        QVERIFY(second != first);
        QLocalSocket *secondClient = helper.acceptClient();
        QVERIFY(secondClient);
        QTest::qWait(50);
        QCOMPARE(cache.xpcHelperConnection(), second);
        QCOMPARE(log.count(invalidatedLine), 1);
    }

    void olderInvalidationKeepsANewerConnection()
    {
        FakeHelper helper;
        LogCapture log;
        HelperConnectionCache cache([&] { return std::make_shared<LocalHelperConnection>(helper.socketPath()); });

        // As after an installation: the field is emptied while the old connection still lives.
        const HelperConnectionPtr old = cache.helperConnection();
        QLocalSocket *oldClient = helper.acceptClient();
        QVERIFY(oldClient);
        cache.setXpcHelperConnection(nullptr);
        const HelperConnectionPtr newer = cache.helperConnection();
        QVERIFY(newer != old);
        QVERIFY(helper.acceptClient());

        oldClient->disconnectFromServer();
        QTRY_COMPARE(log.count(invalidatedLine), 1);
        QCOMPARE(cache.xpcHelperConnection(), newer);
    }
};

QTEST_GUILESS_MAIN(TestHelperConnectionCache)
#include "tst_helperconnectioncache.moc"
