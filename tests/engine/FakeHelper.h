#pragma once

#include "HelperConnection.h"
#include "HelperConnectionProvider.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quellnet::test {

// The root helper behind a proxy: records each run request and hands it to `onRun`.
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
        if (onRun)
            onRun(request);
    }

    std::vector<RunRequest> runs() const
    {
        std::lock_guard lock(m_mutex);
        return m_runs;
    }

    std::function<void(const RunRequest &)> onRun; // on the requesting thread

private:
    mutable std::mutex m_mutex;
    std::vector<RunRequest> m_runs;
};

class FakeHelperConnection : public HelperConnection
{
public:
    explicit FakeHelperConnection(std::shared_ptr<FakeHelper> fake) : helper(std::move(fake)) { }
    void setInvalidationHandler(std::function<void()>) override { }
    void resume() override { }
    void invalidate() override { }
    std::shared_ptr<HelperProtocol> remoteObjectProxyWithErrorHandler(HelperErrorHandler) override { return helper; }
    std::shared_ptr<FakeHelper> helper;
};

class FakeDelegate : public HelperConnectionProvider
{
public:
    HelperConnectionPtr helperConnection() override { return connection; }
    HelperConnectionPtr connection;
};

} // namespace quellnet::test
