#pragma once

#include "helperlink/HelperProtocol.h"

#include <functional>
#include <memory>

namespace quellnet {

// A connection to the root helper daemon, the client's end of its Unix socket. Modelled on a
// privileged XPC connection: it is created unconnected, resume() starts it, messages go through
// proxies that each carry an error handler, and once the connection is lost (the helper cannot
// be reached, or went away) it is invalidated for good: the invalidation handler runs once and
// every later message fails through its error handler. A new connection is needed after that.
//
// Replies, error handlers and the invalidation handler run on the connection's own thread.
// All methods may be called from any thread.
class HelperConnection
{
public:
    virtual ~HelperConnection() = default;

    virtual void setInvalidationHandler(std::function<void()> handler) = 0;
    virtual void resume() = 0;
    virtual void invalidate() = 0;
    virtual std::shared_ptr<HelperProtocol> remoteObjectProxyWithErrorHandler(HelperErrorHandler handler) = 0;
};

using HelperConnectionPtr = std::shared_ptr<HelperConnection>;

} // namespace quellnet
