#pragma once

#include "helperlink/HelperConnection.h"

namespace quellnet {

// Whoever holds the program's cached helper connection: the application delegate. The VPN
// service reaches it through this interface, so the engine never depends on the application.
class HelperConnectionProvider
{
public:
    virtual ~HelperConnectionProvider() = default;

    // The cached connection, created and resumed on first use.
    virtual HelperConnectionPtr helperConnection() = 0;

    // The application's delegate, registered once at start-up (tests register their own).
    static HelperConnectionProvider *applicationDelegate();
    static void setApplicationDelegate(HelperConnectionProvider *provider);
};

} // namespace quellnet
