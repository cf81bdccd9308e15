#include "ui/ApplicationDelegate.h"

namespace quellnet {

namespace {
ApplicationDelegate *g_current = nullptr;
}

ApplicationDelegate *ApplicationDelegate::current()
{
    return g_current;
}

void ApplicationDelegate::setCurrent(ApplicationDelegate *delegate)
{
    g_current = delegate;
}

} // namespace quellnet
