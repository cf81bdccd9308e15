#include "helperlink/HelperConnectionCache.h"

#include "base/SystemLog.h"
#include "helperlink/LocalHelperConnection.h"


namespace quellnet {

HelperConnectionCache::HelperConnectionCache(Factory factory)
    : m_factory(std::move(factory))
{
    if (!m_factory) {
        m_factory = [] {
            return std::make_shared<LocalHelperConnection>(LocalHelperConnection::defaultSocketPath());
        };
    }
}

HelperConnectionCache::~HelperConnectionCache()
{
    HelperConnectionPtr connection;
    {
        std::lock_guard lock(m_mutex);
        connection = std::move(m_xpcHelperConnection);
    }
    if (connection)
        connection->setInvalidationHandler({});
}

HelperConnectionPtr HelperConnectionCache::helperConnection()
{
    std::lock_guard lock(m_mutex);
    if (m_xpcHelperConnection)
        return m_xpcHelperConnection;

    HelperConnectionPtr connection = m_factory();
    std::weak_ptr<HelperConnection> identity = connection;
    connection->setInvalidationHandler([this, identity] { onInvalidated(identity); });
    m_xpcHelperConnection = connection;
    connection->resume();
    return connection;
}

void HelperConnectionCache::onInvalidated(const std::weak_ptr<HelperConnection> &connection)
{
    // Runs on the connection's thread. The field is only emptied on the GUI thread, and only if it
    // still holds the connection that went away: a newer one cached meanwhile stays.
    m_guiThread.call([this, connection] {
        HelperConnectionPtr gone;
        {
            std::lock_guard lock(m_mutex);
            const HelperConnectionPtr invalidated = connection.lock();
            if (invalidated && m_xpcHelperConnection == invalidated)
                gone = std::move(m_xpcHelperConnection);
        }
        if (gone)
            gone->setInvalidationHandler({});
        SystemLog::write(QStringLiteral("XPC Connection Invalidated\n"));
    });
}

HelperConnectionPtr HelperConnectionCache::xpcHelperConnection() const
{
    std::lock_guard lock(m_mutex);
    return m_xpcHelperConnection;
}

void HelperConnectionCache::setXpcHelperConnection(HelperConnectionPtr connection)
{
    std::lock_guard lock(m_mutex);
    m_xpcHelperConnection = std::move(connection);
}

} // namespace quellnet
