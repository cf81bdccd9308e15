#pragma once

#include "base/AsyncTask.h"
#include "helperlink/HelperConnectionProvider.h"

#include <QObject>

#include <functional>
#include <mutex>

namespace quellnet {

// The application delegate's cached helper connection. helperConnection() hands out the cached
// connection unchecked, or creates, resumes and caches a new one. When a connection is
// invalidated (the helper went away or never answered), the cache is emptied on the GUI thread
// and "XPC Connection Invalidated\n" is logged, so the next request connects afresh.
//
// Call helperConnection() and setXpcHelperConnection() on the GUI thread.
class HelperConnectionCache : public HelperConnectionProvider
{
public:
    using Factory = std::function<HelperConnectionPtr()>;

    // `factory` makes an unresumed connection; by default one to the installed helper's socket.
    explicit HelperConnectionCache(Factory factory = {});
    ~HelperConnectionCache() override;

    HelperConnectionPtr helperConnection() override;

    HelperConnectionPtr xpcHelperConnection() const;
    void setXpcHelperConnection(HelperConnectionPtr connection);

private:
    void onInvalidated(const std::weak_ptr<HelperConnection> &connection);

    Factory m_factory;
    mutable std::mutex m_mutex;
    HelperConnectionPtr m_xpcHelperConnection;
    // Stands for the cache on the GUI thread: callbacks queued for the cache are dropped with it.
    QObject m_guiContext;
    const CallbackTarget m_guiThread { &m_guiContext };
};

} // namespace quellnet
