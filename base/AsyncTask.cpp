#include "base/AsyncTask.h"

#include <mutex>

namespace quellnet {

// Tells the threads that call back whether the context still lives. The context's end takes the
// mutex, so it waits for a call() that is queueing at that moment; what is queued by then is
// dropped with the context's other posted events.
struct CallbackTarget::Guard
{
    std::mutex mutex;
    QObject *context = nullptr;
    QMetaObject::Connection watch;

    ~Guard() { QObject::disconnect(watch); }
};

CallbackTarget::CallbackTarget(QObject *context) : m_guard(std::make_shared<Guard>())
{
    m_guard->context = context;
    // Without a receiver the connection is direct: it runs on the thread that destroys the context.
    m_guard->watch = QObject::connect(context, &QObject::destroyed, [guard = std::weak_ptr<Guard>(m_guard)] {
        if (const std::shared_ptr<Guard> alive = guard.lock()) {
            std::lock_guard lock(alive->mutex);
            alive->context = nullptr;
        }
    });
}

void CallbackTarget::call(std::function<void()> callback) const
{
    std::lock_guard lock(m_guard->mutex);
    if (m_guard->context != nullptr)
        QMetaObject::invokeMethod(m_guard->context, std::move(callback), Qt::QueuedConnection);
}

} // namespace quellnet
