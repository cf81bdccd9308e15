#pragma once

#include "HelperConnection.h"

#include <QString>

#include <memory>

namespace quellnet {

// HelperConnection over the helper daemon's Unix socket: one JSON object per line each way.
// resume() starts the connection's own thread, which connects, writes queued requests and
// dispatches replies. Losing the socket (or never reaching it) fails every request still waiting
// for its reply through its error handler, then runs the invalidation handler once.
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
    class Private;
    std::shared_ptr<Private> d;
};

} // namespace quellnet
