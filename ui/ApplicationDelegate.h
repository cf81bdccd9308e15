#pragma once

#include <QString>

#include <functional>

class QAction;

namespace quellnet {

// The application delegate as the login view sees it: the object that holds the status menu
// whose connect item the view retitles with each display mode, and the way to the desktop's
// notifications. The application registers its delegate before it creates the login view, which
// takes it once, at creation.
//
// GUI thread only.
class ApplicationDelegate
{
public:
    virtual ~ApplicationDelegate() = default;

    // The status menu's connect item; null when the application has no status menu.
    virtual QAction *connectItem() const = 0;

    // Shows a desktop notification. `undelivered` runs on the GUI thread, now or later, if no
    // notification service took it, so that the caller can say it another way; by default nothing
    // is delivered.
    virtual void notify(const QString & /*summary*/, const QString & /*body*/, std::function<void()> undelivered)
    {
        if (undelivered)
            undelivered();
    }

    // The application's delegate, or null before one is registered.
    static ApplicationDelegate *current();
    static void setCurrent(ApplicationDelegate *delegate);
};

} // namespace quellnet
