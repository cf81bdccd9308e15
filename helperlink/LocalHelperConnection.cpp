// PLACEHOLDER until the helper connection over the Unix socket lands: a connection that never
// reaches a helper.
#include "LocalHelperConnection.h"

namespace quellnet {

class LocalHelperConnection::Private
{
};

LocalHelperConnection::LocalHelperConnection(QString) {}
LocalHelperConnection::~LocalHelperConnection() = default;
QString LocalHelperConnection::defaultSocketPath()
{
    return QStringLiteral("/run/" QUELLNET_HELPER_ID ".sock");
}
void LocalHelperConnection::setInvalidationHandler(std::function<void()>) {}
void LocalHelperConnection::resume() {}
void LocalHelperConnection::invalidate() {}
std::shared_ptr<HelperProtocol> LocalHelperConnection::remoteObjectProxyWithErrorHandler(HelperErrorHandler)
{
    return nullptr;
}

} // namespace quellnet
