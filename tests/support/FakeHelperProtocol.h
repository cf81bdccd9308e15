#pragma once

#include "base/AppPaths.h"
#include "engine/OpenVPNService.h"
#include "helperlink/HelperConnection.h"
#include "helperlink/HelperConnectionProvider.h"
#include "tests/support/Waiting.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <mutex>
#include <vector>

namespace quellnet::test {

// The root helper as the VPN service sees it, in this process: records each run request and hands
// it to `onRun`; versions are empty, kills are counted, and the run it reports is what `onGetRun`
// says (none by default). For tests of the engine, which need the helper's part of a start but not
// its socket (HelperSocketStandIn has that).
class FakeHelperProtocol : public HelperProtocol
{
public:
    struct RunRequest
    {
        QString config;
        QString managementPassword;
        std::function<void(std::int32_t)> terminationHandler;
    };

    void getVersionWithResponseHandler(std::function<void(const QString &)> reply) override { reply(QString()); }
    void killOpenVPN() override { ++kills; }
    void getRunWithResponseHandler(std::function<void(const std::optional<HelperRun> &)> reply) override
    {
        reply(onGetRun ? onGetRun() : std::nullopt);
    }
    void runOpenVPNWithConfig(const QString &config, const QString &, const QString &,
        const QString &managementPassword, std::function<void(std::int32_t)> terminationHandler) override
    {
        const RunRequest request { config, managementPassword, std::move(terminationHandler) };
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
    std::function<std::optional<HelperRun>()> onGetRun; // likewise
    std::atomic<int> kills { 0 };

private:
    mutable std::mutex m_mutex;
    std::vector<RunRequest> m_runs;
};

// A connection that hands out the fake helper as its proxy, whatever the error handler.
class FakeHelperConnection : public HelperConnection
{
public:
    explicit FakeHelperConnection(std::shared_ptr<FakeHelperProtocol> fake) : helper(std::move(fake)) { }
    void setInvalidationHandler(std::function<void()>) override { }
    void resume() override { }
    void invalidate() override { }
    std::shared_ptr<HelperProtocol> remoteObjectProxyWithErrorHandler(HelperErrorHandler) override { return helper; }
    std::shared_ptr<FakeHelperProtocol> helper;
};

// Stands in for the application delegate that holds the cached connection.
class FakeConnectionProvider : public HelperConnectionProvider
{
public:
    HelperConnectionPtr helperConnection() override { return connection; }
    HelperConnectionPtr connection;
};

// The program's client.up and client.down, empty, under `prefix`, which becomes the program's: the
// VPN service does not start without them.
inline bool stageScripts(const QString &prefix)
{
    AppPaths::setPrefixForTesting(prefix);
    return QDir(prefix).mkpath(QStringLiteral("share/quellnet"))
        && QFile(prefix + QStringLiteral("/share/quellnet/client.up")).open(QIODevice::WriteOnly)
        && QFile(prefix + QStringLiteral("/share/quellnet/client.down")).open(QIODevice::WriteOnly);
}

// For one test case of the VPN service: a new fake helper behind `delegate`, which becomes the
// application delegate, and the state back at "NOPROCESS".
inline std::shared_ptr<FakeHelperProtocol> attachFakeHelper(FakeConnectionProvider &delegate)
{
    auto helper = std::make_shared<FakeHelperProtocol>();
    delegate.connection = std::make_shared<FakeHelperConnection>(helper);
    HelperConnectionProvider::setApplicationDelegate(&delegate);
    OpenVPNService::shared().setState(QStringLiteral("NOPROCESS"));
    return helper;
}

// After such a test case: the start and the reader ended, the delegate gone, "NOPROCESS" again.
inline void detachFakeHelper()
{
    OpenVPNService &service = OpenVPNService::shared();
    QTRY_VERIFY_WITH_TIMEOUT(!service.isStarting(), 30000);
    service.management().socket().close();
    QTRY_COMPARE(service.management().readerCount(), 0);
    drainEvents();
    HelperConnectionProvider::setApplicationDelegate(nullptr);
    service.setState(QStringLiteral("NOPROCESS"));
}

} // namespace quellnet::test
