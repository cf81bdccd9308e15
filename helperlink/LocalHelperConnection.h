#pragma once

#include "helperlink/HelperConnection.h"

#include <QString>

#include <memory>

namespace quellnet {

// HelperConnection over the helper daemon's Unix socket: one JSON object per line each way.
// resume() starts the connection's own thread, whose event loop connects, writes queued requests
// and dispatches each reply to the request with its id. Losing the socket (or never reaching it) fails every request still waiting
// for its reply through its error handler, then runs the invalidation handler once.
//
// Messages sent before resume() wait for it. Every message gets exactly one of its reply or its
// error handler; a runOpenVPN termination handler stays pending until its one termination reply.
// After invalidation the thread stays on to fail later messages at once, until the connection is
// destroyed. The destructor never waits for a handler that is running: it fails what is still
// pending (without the invalidation handler) and lets the thread finish on its own.
//
// Once setInvalidationHandler() returns, the previous handler is no longer running and will not
// run (unless it is called from that handler itself, on the connection's thread).
class LocalHelperConnection final : public HelperConnection
{
public:
    explicit LocalHelperConnection(QString socketPath);
    ~LocalHelperConnection() override;

    LocalHelperConnection(const LocalHelperConnection &) = delete;
    LocalHelperConnection &operator=(const LocalHelperConnection &) = delete;

    // The socket the installed helper daemon serves, named after its identifier.
    static QString defaultSocketPath();

    void setInvalidationHandler(std::function<void()> handler) override;
    void resume() override;
    void invalidate() override;
    std::shared_ptr<HelperProtocol> remoteObjectProxyWithErrorHandler(HelperErrorHandler handler) override;

private:
    class Link;
    std::shared_ptr<Link> d;
};

} // namespace quellnet
