#pragma once

#include "base/AppPaths.h"
#include "base/SystemLog.h"
#include "engine/NotificationCenter.h"
#include "engine/OpenVPNService.h"
#include "engine/StandardOutput.h"
#include "helperlink/HelperConnection.h"
#include "helperlink/HelperConnectionProvider.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QThread>

#include <mutex>
#include <vector>

namespace quellnet::test {

// Collects what one of the program's writers (StandardOutput, SystemLog) emits while it lives.
template<typename Writer> class Capture
{
public:
    Capture()
    {
        Writer::setSinkForTesting([this](const QString &text) {
            std::lock_guard lock(m_mutex);
            m_texts.append(text);
        });
    }
    ~Capture() { Writer::setSinkForTesting({}); }
    QStringList texts() const
    {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }
    QString joined() const { return texts().join(QString()); }

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
};

using OutputCapture = Capture<StandardOutput>;
using LogCapture = Capture<SystemLog>;

// Observes OpenVPNStateDidChange like the login view: the state read on each notification.
class StateObserver : public QObject
{
public:
    StateObserver()
    {
        NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
            seen.append(OpenVPNService::shared().state());
            offGuiThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        });
    }
    int offGuiThread = 0;
    QStringList seen;
};

inline bool stageScripts(const QString &prefix)
{
    AppPaths::setPrefixForTesting(prefix);
    return QDir(prefix).mkpath(QStringLiteral("share/quellnet"))
        && QFile(prefix + QStringLiteral("/share/quellnet/client.up")).open(QIODevice::WriteOnly)
        && QFile(prefix + QStringLiteral("/share/quellnet/client.down")).open(QIODevice::WriteOnly);
}

inline void drainEvents()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(10);
    }
}

// The root helper behind a proxy: records each run request and hands it to `onRun`.
class FakeHelper : public HelperProtocol
{
public:
    struct RunRequest
    {
        QString config;
        std::function<void(std::int32_t)> terminationHandler;
    };

    void getVersionWithResponseHandler(std::function<void(const QString &)> reply) override { reply(QString()); }
    void killOpenVPN() override { }
    void runOpenVPNWithConfig(const QString &config, const QString &, const QString &,
        std::function<void(std::int32_t)> terminationHandler) override
    {
        const RunRequest request { config, std::move(terminationHandler) };
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
