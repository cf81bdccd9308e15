#pragma once

#include <QObject>
#include <QThreadPool>

#include <functional>
#include <memory>

namespace quellnet {

// The one way in which work leaves a thread and comes back to it.
//
// A CallbackTarget is the way back to `context`'s thread. Take it while `context` surely lives (on
// its own thread, for instance); call() then works from any thread and at any time: the callback
// runs on the context's thread, after the events already queued there, unless the context is
// destroyed first. Callbacks queued by one thread run in the order they were queued.
class CallbackTarget
{
public:
    explicit CallbackTarget(QObject *context);

    void call(std::function<void()> callback) const;

private:
    struct Guard;
    std::shared_ptr<Guard> m_guard;
};

namespace AsyncTask {

// Runs `task` on a thread of Qt's global pool, so that it never holds up `context`'s thread (the GUI
// thread, mostly), then `callback` with the task's result on `context`'s thread, unless `context`
// was destroyed meanwhile. Call it on `context`'s thread. The application waits for the pool's work
// before Qt tears itself down.
template<typename Task, typename Callback> void runThenCallback(Task task, QObject *context, Callback callback)
{
    QThreadPool::globalInstance()->start(
        [target = CallbackTarget(context), task = std::move(task), callback = std::move(callback)]() mutable {
            target.call([result = task(), callback = std::move(callback)]() mutable { callback(std::move(result)); });
        });
}

} // namespace AsyncTask

} // namespace quellnet
