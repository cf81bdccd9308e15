// Callbacks come back to their context's thread, in order, and never once the context is gone.
#include "base/AsyncTask.h"
#include "tests/support/TestTools.h"

#include <QTest>
#include <QThread>

#include <latch>
#include <memory>
#include <thread>

using namespace quellnet;
using namespace quellnet::test;

class TestAsyncTask : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // From another thread, whatever the order of the queueing and the context's end.
    void callBackToTheContext_data()
    {
        // callbacks queued before the context goes; -1: it stays
        addRows<int>("destroyAfter",
            { { "context stays", -1 }, { "context gone before anything is queued", 0 },
                { "context gone with callbacks queued", 50 } });
    }
    void callBackToTheContext()
    {
        QFETCH(int, destroyAfter);
        auto context = std::make_unique<QObject>();
        const CallbackTarget target(context.get());
        QList<int> ran;
        bool offThread = false;
        const auto queue = [&](int from, int to) {
            std::thread([&, from, to] {
                for (int i = from; i < to; ++i) {
                    target.call([&, i] {
                        ran.append(i);
                        offThread = offThread || QThread::currentThread() != thread();
                    });
                }
            }).join();
        };
        queue(0, destroyAfter < 0 ? 100 : destroyAfter);
        if (destroyAfter >= 0) {
            context.reset();
            queue(destroyAfter, 100);
        }
        QCoreApplication::sendPostedEvents();
        QList<int> expected;
        for (int i = 0; i < (destroyAfter < 0 ? 100 : 0); ++i)
            expected.append(i);
        QCOMPARE(ran, expected);
        QVERIFY(!offThread);
    }

    // The task runs elsewhere; its result comes back on the context's thread, or not at all when
    // the context went meanwhile.
    void runThenCallback_data()
    {
        addRows<bool>("contextStays", { { "context stays", true }, { "context gone while the task runs", false } });
    }
    void runThenCallback()
    {
        QFETCH(bool, contextStays);
        auto context = std::make_unique<QObject>();
        std::atomic<QThread *> taskThread = nullptr;
        std::latch release(1);
        QString result;
        QThread *callbackThread = nullptr;
        AsyncTask::runThenCallback(
            [&] {
                taskThread = QThread::currentThread();
                release.wait();
                return QStringLiteral("done");
            },
            context.get(),
            [&](const QString &value) {
                result = value;
                callbackThread = QThread::currentThread();
            });
        QTRY_VERIFY(taskThread != nullptr);
        QVERIFY(taskThread != thread());
        if (!contextStays)
            context.reset();
        release.count_down();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(5000));
        QCoreApplication::sendPostedEvents();
        QCOMPARE(result, contextStays ? QStringLiteral("done") : QString());
        QCOMPARE(callbackThread, contextStays ? thread() : nullptr);
    }
};

QTEST_GUILESS_MAIN(TestAsyncTask)
#include "tst_asynctask.moc"
