#pragma once

class QAction;

namespace quellnet {

// The application delegate as the login view sees it: the object that holds the status menu
// whose connect item the view retitles with each display mode. The application registers its
// delegate before it creates the login view, which takes it once, at creation.
//
// GUI thread only.
class ApplicationDelegate
{
public:
    virtual ~ApplicationDelegate() = default;

    // The status menu's connect item; null when the application has no status menu.
    virtual QAction *connectItem() const = 0;

    // The application's delegate, or null before one is registered.
    static ApplicationDelegate *current();
    static void setCurrent(ApplicationDelegate *delegate);
};

} // namespace quellnet
