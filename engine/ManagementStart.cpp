// The start and stop of a connection, and how the service learns that openvpn has gone.
#include "engine/OpenVPNService.h"

#include "base/AppPaths.h"
#include "base/SystemLog.h"
#include "engine/EngineLog.h"
#include "engine/OpenVPNManagement.h"
#include "engine/StandardOutput.h"
#include "engine/TcpSocketTable.h"
#include "engine/VpnState.h"
#include "helperlink/HelperConnectionProvider.h"

#include <QFileInfo>

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <pthread.h>

namespace quellnet {

namespace {

constexpr int connectAttempts = 8;
constexpr int connectTimeoutSeconds = 3;
constexpr auto pauseAfterFailedAttempt = std::chrono::milliseconds(300);
// openvpn takes a command parameter of at most 256 bytes and rejects the whole command otherwise.
constexpr qsizetype maxCredentialBytes = 256;
constexpr auto readerDrainTimeout = std::chrono::seconds(1);
// The helper ends an earlier openvpn within 10 s of a new request (SIGTERM after 5 s, SIGKILL after
// 10 s); one more second lets its termination reply arrive.
constexpr auto earlierOpenVPNEndTimeout = std::chrono::seconds(11);
// openvpn reports its first state right after it took the credentials; one that stays silent longer
// is stuck (say, on a prompt nobody answers), and a new start must not be held off by it.
constexpr auto firstReportTimeout = std::chrono::seconds(5);

// Why openvpn could not take `value` as a credential, or nothing. openvpn's management parser
// silently drops control characters, and a line feed would end the command and start another.
QString credentialProblem(const QString &value)
{
    for (const QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return QStringLiteral("holds a control character");
    }
    if (value.toUtf8().size() > maxCredentialBytes)
        return QStringLiteral("is longer than %1 bytes").arg(maxCredentialBytes);
    return {};
}

// One double-quoted command parameter. Inside double quotes openvpn knows exactly two escapes,
// \\ and \", so blanks, quotes and backslashes all reach it unchanged.
QString quotedParameter(QString value)
{
    value.replace(u'\\', QLatin1String("\\\\"));
    value.replace(u'"', QLatin1String("\\\""));
    return u'"' + value + u'"';
}

} // namespace

bool OpenVPNService::isIdleState(const QString &name)
{
    return VpnState::classOf(name) == VpnState::Class::Idle;
}

bool OpenVPNService::isStarting() const
{
    return m_startsPending.load() > 0;
}

bool OpenVPNService::isAwaitingFirstReport() const
{
    std::lock_guard lock(m_stateMutex);
    return m_firstReportAwaitedSince
        && std::chrono::steady_clock::now() - *m_firstReportAwaitedSince < firstReportTimeout;
}

void OpenVPNService::startOpenVPN()
{
    const std::uint64_t generation = ++m_generation;

    HelperConnectionProvider *delegate = HelperConnectionProvider::applicationDelegate();
    const HelperConnectionPtr connection = delegate != nullptr ? delegate->helperConnection() : nullptr;
    std::shared_ptr<HelperProtocol> helper;
    if (connection) {
        // The proxy carries only this start's run request: its failure means no openvpn of this
        // start is left to wait for.
        helper = connection->remoteObjectProxyWithErrorHandler([this, generation](const HelperError &error) {
            SystemLog::write(QStringLiteral("XPCService error: ") + error.description);
            onRunEnded(generation);
        });
    }
    if (!helper)
        qCDebug(lcEngine) << "no helper to run openvpn";

    const QString clientUp = AppPaths::resource(QStringLiteral("client.up"));
    const QString clientDown = AppPaths::resource(QStringLiteral("client.down"));

    StartJob job;
    job.generation = generation;
    job.connection = connection;
    job.requestedAt = std::chrono::steady_clock::now();
    const std::optional<QString> configPath = config();
    const std::optional<QString> user = username();
    const std::optional<QString> secret = password();
    if (!configPath)
        job.refusal = QStringLiteral("OpenVPN not started: no configuration file is set");
    else if (!user)
        job.refusal = QStringLiteral("OpenVPN not started: no user name is set");
    else if (!secret)
        job.refusal = QStringLiteral("OpenVPN not started: no password is set");
    else if (!QFileInfo(clientUp).isFile())
        job.refusal = QStringLiteral("OpenVPN not started: resource missing: ") + clientUp;
    else if (!QFileInfo(clientDown).isFile())
        job.refusal = QStringLiteral("OpenVPN not started: resource missing: ") + clientDown;
    else if (const QString userProblem = credentialProblem(*user); !userProblem.isEmpty())
        job.refusal = QStringLiteral("OpenVPN not started: the user name ") + userProblem;
    else if (const QString passwordProblem = credentialProblem(*secret); !passwordProblem.isEmpty())
        job.refusal = QStringLiteral("OpenVPN not started: the password ") + passwordProblem;

    if (job.refusal.isEmpty()) {
        job.username = *user;
        job.password = *secret;
        if (helper) {
            {
                std::lock_guard lock(m_runsMutex);
                // A connection that is gone failed what it carried; nothing more comes of those.
                std::erase_if(m_runsInFlight, [](const RunInFlight &run) { return run.connection.expired(); });
                m_runsInFlight.push_back({ generation, connection });
            }
            helper->runOpenVPNWithConfig(*configPath, clientUp, clientDown,
                [this, generation](std::int32_t status) { onOpenVPNExited(generation, status); });
            qCDebug(lcEngine) << "run request sent";
        }
    }
    enqueueStart(std::move(job));
}

void OpenVPNService::stopOpenVPN()
{
    m_management->send(QStringLiteral("signal SIGINT\n"));
}

void OpenVPNService::enqueueStart(StartJob job)
{
    ++m_startsPending;
    std::lock_guard lock(m_startMutex);
    m_startQueue.push_back(std::move(job));
    if (!m_workerRunning) {
        // Lives as long as the service, that is until the process ends.
        std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "qn-vpn-start");
            runStartWorker();
        }).detach();
        m_workerRunning = true;
    }
    m_startQueued.notify_one();
}

void OpenVPNService::runStartWorker()
{
    for (;;) {
        StartJob job;
        {
            std::unique_lock lock(m_startMutex);
            m_startQueued.wait(lock, [this] { return !m_startQueue.empty(); });
            job = std::move(m_startQueue.front());
            m_startQueue.pop_front();
        }
        runStart(job);
        --m_startsPending;
    }
}

void OpenVPNService::runStart(const StartJob &job)
{
    if (!job.refusal.isEmpty()) {
        SystemLog::write(job.refusal);
        giveUpStart();
        return;
    }

    waitForEarlierOpenVPN(job);

    TcpClient &socket = m_management->socket();
    bool connected = false;
    for (int attempt = 1; attempt <= connectAttempts && !connected; ++attempt) {
        const TcpResult result = socket.connect(connectTimeoutSeconds);
        connected = result.ok;
        if (connected) {
            qCDebug(lcEngine) << "management connected on attempt" << attempt;
        } else {
            qCDebug(lcEngine) << "management connection attempt" << attempt << "failed:" << result.errorDescription;
            std::this_thread::sleep_for(pauseAfterFailedAttempt);
        }
    }
    if (!connected) {
        giveUpStart();
        return;
    }

    // Any local user could have opened the port before openvpn; such a listener must never see
    // the credentials.
    if (!managementPeerBelongsToRoot()) {
        socket.close();
        giveUpStart();
        return;
    }

    {
        // Before the reader starts, so that its first report always finds this set.
        std::lock_guard lock(m_stateMutex);
        m_firstReportAwaitedSince = std::chrono::steady_clock::now();
    }
    m_management->send(QStringLiteral("state on\n"));
    m_management->send(QStringLiteral("bytecount 1\n"));
    m_management->send(QStringLiteral("log on\n"));
    m_management->send(QStringLiteral("username 'Auth' ") + quotedParameter(job.username) + u'\n');
    m_management->send(QStringLiteral("password 'Auth' ") + quotedParameter(job.password) + u'\n');
    m_management->startReading();
}

void OpenVPNService::giveUpStart()
{
    StandardOutput::writeLine(QStringLiteral("error while starting mgmt interface"));
    updateState(VpnState::noProcess.toString());
}

void OpenVPNService::waitForEarlierOpenVPN(const StartJob &job)
{
    // Runs sent through another connection are not waited for: a connection is replaced only after
    // it was lost, and losing it failed every request it still carried.
    const auto earlierOnSameConnection = [this, &job] {
        for (const RunInFlight &run : m_runsInFlight) {
            if (run.generation < job.generation && !run.connection.owner_before(job.connection)
                && !job.connection.owner_before(run.connection))
                return true;
        }
        return false;
    };
    std::unique_lock lock(m_runsMutex);
    if (!earlierOnSameConnection())
        return;
    qCDebug(lcEngine) << "waiting for the earlier openvpn to end before reaching the management port";
    if (!m_runEnded.wait_until(
            lock, job.requestedAt + earlierOpenVPNEndTimeout, [&] { return !earlierOnSameConnection(); }))
        qCDebug(lcEngine) << "the earlier openvpn's end was not reported in time; trying the port anyway";
}

void OpenVPNService::onRunEnded(std::uint64_t generation)
{
    {
        std::lock_guard lock(m_runsMutex);
        std::erase_if(m_runsInFlight, [generation](const RunInFlight &run) { return run.generation == generation; });
    }
    m_runEnded.notify_all();
}

bool OpenVPNService::managementPeerBelongsToRoot()
{
    const TcpClient &socket = m_management->socket();
    const std::shared_ptr<TcpConnection> connection = socket.connection();
    in_addr server {};
    if (!connection || ::inet_pton(AF_INET, socket.address().toLatin1().constData(), &server) != 1)
        return false;
    const std::optional<uint> owner = TcpSocketTable::ownerOfPeer(TcpSocketTable::read(), connection->localAddress(),
        connection->localPort(), ntohl(server.s_addr), socket.port());
    if (owner && *owner == 0)
        return true;
    const QString where = socket.address() + u':' + QString::number(socket.port());
    SystemLog::write(owner
            ? QStringLiteral("Refusing the management interface on %1: it belongs to uid %2, not to root")
                  .arg(where)
                  .arg(*owner)
            : QStringLiteral("Refusing the management interface on %1: its owner is unknown").arg(where));
    return false;
}

void OpenVPNService::onOpenVPNExited(std::uint64_t generation, std::int32_t terminationStatus)
{
    SystemLog::write(QStringLiteral("OpenVPN exited: termiationStatus=") + QString::number(terminationStatus));
    onRunEnded(generation);
    if (generation != m_generation.load()) {
        qCDebug(lcEngine) << "an earlier start's openvpn exited; the state stays";
        return;
    }
    // This reply may overtake openvpn's last reports ("EXITING"), which its reader has yet to
    // handle; applied after them, NOPROCESS is not overwritten. The connection is closed by now,
    // so the reader ends on its own once it has read everything.
    if (!m_management->waitForReaders(readerDrainTimeout))
        qCDebug(lcEngine) << "the management reader is still running after openvpn exited";
    if (state() != VpnState::noProcess)
        updateState(VpnState::noProcess.toString());
}

void OpenVPNService::onManagementConnectionLost()
{
    // openvpn reports "EXITING" before it closes on a normal stop; a connection that ends without
    // it means the process is gone, and the state must not stay at, say, "CONNECTED". Nor may the
    // window keep showing a connection on its way when openvpn went before it reported anything:
    // the idle state then is the one from before the start, and nobody would be told.
    bool unreported = false;
    {
        std::lock_guard lock(m_stateMutex);
        unreported = m_firstReportAwaitedSince.has_value();
        m_firstReportAwaitedSince.reset();
    }
    if (unreported || !isIdleState(state()))
        updateState(VpnState::noProcess.toString());
}

} // namespace quellnet
