#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

namespace quellnet {

// The program's notification centre: named notifications without payload, delivered on the GUI
// thread. Every observer is bound to a QObject and is forgotten when that object is destroyed,
// so a notification never reaches a destroyed observer.
class NotificationCenter
{
public:
    static NotificationCenter &defaultCenter();

    // `callback` runs on the GUI thread for every notification `name` posted from now on, until
    // `observer` is destroyed or removed. Call on the GUI thread.
    void addObserver(QObject *observer, const QString &name, std::function<void()> callback);
    void removeObserver(QObject *observer);

    // Delivers `name` to its observers now. Call on the GUI thread.
    void post(const QString &name);

    // Queues a post of `name` on the GUI thread and returns at once; `delivered`, if given, runs on
    // the GUI thread once the observers have had it. May be called from any thread; the posts of
    // one thread are delivered in the order they were queued, and so are posts whose queuing is
    // ordered by a lock. False when there is no application to deliver on: nothing was queued.
    bool postOnGuiThread(const QString &name, std::function<void()> delivered = {});

private:
    struct Observer
    {
        QPointer<QObject> object;
        QString name;
        std::function<void()> callback;
    };

    std::mutex m_mutex;
    std::vector<Observer> m_observers;
};

} // namespace quellnet
