#pragma once

#include "HelperConnection.h"
#include "HelperConnectionProvider.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quellnet::test {

// Stands in for the root helper behind a proxy: records each run request with its termination
// handler, and answers it through the proxy's error handler instead while `refusal` is set.
class FakeHelper : public HelperProtocol
{
public:
    struct RunRequest
    {
        QString config;
        QString clientUp;
        QString clientDown;
        std::function<void(std::int32_t)> terminationHandler;
    };

    void getVersionWithResponseHandler(std::function<void(const QString &)> reply) override
    {
        reply(QStringLiteral("1.0.0"));
    }
    void killOpenVPN() override { }
    void runOpenVPNWithConfig(const QString &config, const QString &clientUp, const QString &clientDown,
        std::function<void(std::int32_t)> terminationHandler) override
    {
        const RunRequest request { config, clientUp, clientDown, std::move(terminationHandler) };
        {
            std::lock_guard lock(m_mutex);
            m_runs.push_back(request);
        }
        if (!refusal.isEmpty())
            errorHandler(HelperError { refusal });
        else if (onRun)
            onRun(request);
    }

    std::vector<RunRequest> runs() const
    {
        std::lock_guard lock(m_mutex);
        return m_runs;
    }

    QString refusal;
    // Runs for each accepted run request, on the requesting thread: a test's own openvpn.
    std::function<void(const RunRequest &)> onRun;
    HelperErrorHandler errorHandler;

private:
    mutable std::mutex m_mutex;
    std::vector<RunRequest> m_runs;
};

// A connection whose proxies are `helper`.
class FakeHelperConnection : public HelperConnection
{
public:
    explicit FakeHelperConnection(std::shared_ptr<FakeHelper> fake) : helper(std::move(fake)) { }

    void setInvalidationHandler(std::function<void()>) override { }
    void resume() override { }
    void invalidate() override { }
    std::shared_ptr<HelperProtocol> remoteObjectProxyWithErrorHandler(HelperErrorHandler handler) override
    {
        helper->errorHandler = std::move(handler);
        return helper;
    }

    std::shared_ptr<FakeHelper> helper;
};

// The application delegate as the service sees it.
class FakeDelegate : public HelperConnectionProvider
{
public:
    HelperConnectionPtr helperConnection() override { return connection; }
    HelperConnectionPtr connection;
};

} // namespace quellnet::test
