#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace quellnet {

// The desktop's notifications: org.freedesktop.Notifications on the session bus, called without
// waiting. Each notification replaces the one the program showed before, so that its notifications
// never pile up. GUI thread only.
class DesktopNotifications : public QObject
{
    Q_OBJECT

public:
    static constexpr int callTimeoutMs = 5000;

    explicit DesktopNotifications(QObject *parent = nullptr);

    // Returns at once. `done` runs later, on this thread: true once the notification service took
    // the notification, false when there is no session bus or no service answered.
    void show(const QString &summary, const QString &body, std::function<void(bool delivered)> done = {});

private:
    uint m_shownId = 0; // the service's id of the last notification shown, 0 for none
};

} // namespace quellnet
