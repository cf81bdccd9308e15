#include "engine/NotificationCenter.h"

#include "base/AsyncTask.h"

#include <QCoreApplication>

#include <algorithm>

namespace quellnet {

NotificationCenter &NotificationCenter::defaultCenter()
{
    // Never destroyed: threads that outlive main() may still queue posts.
    static auto *center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(QObject *observer, const QString &name, std::function<void()> callback)
{
    std::lock_guard lock(m_mutex);
    m_observers.push_back({ QPointer<QObject>(observer), name, std::move(callback) });
}

void NotificationCenter::removeObserver(QObject *observer)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_observers,
        [observer](const Observer &entry) { return entry.object.isNull() || entry.object.data() == observer; });
}

void NotificationCenter::post(const QString &name)
{
    std::vector<Observer> matching;
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_observers, [](const Observer &entry) { return entry.object.isNull(); });
        for (const Observer &entry : m_observers) {
            if (entry.name == name)
                matching.push_back(entry);
        }
    }
    // Callbacks run without the lock, so they may add or remove observers. An observer destroyed
    // by an earlier callback of this same post is skipped.
    for (const Observer &entry : matching) {
        if (!entry.object.isNull())
            entry.callback();
    }
}

bool NotificationCenter::postOnGuiThread(const QString &name, std::function<void()> delivered)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    // The application object lives on the GUI thread for the whole run.
    static const CallbackTarget guiThread(app);
    guiThread.call([this, name, delivered = std::move(delivered)] {
        post(name);
        if (delivered)
            delivered();
    });
    return true;
}

} // namespace quellnet
