#include "helperlink/HelperConnectionProvider.h"

#include <atomic>

namespace quellnet {

namespace {
std::atomic<HelperConnectionProvider *> g_applicationDelegate{nullptr};
}

HelperConnectionProvider *HelperConnectionProvider::applicationDelegate()
{
    return g_applicationDelegate.load();
}

void HelperConnectionProvider::setApplicationDelegate(HelperConnectionProvider *provider)
{
    g_applicationDelegate.store(provider);
}

} // namespace quellnet
