#include "engine/ManagementStart.h"

#include "base/Error.h"
#include "base/SystemLog.h"
#include "engine/EngineLog.h"
#include "engine/ManagementPassword.h"
#include "engine/OpenVPNManagement.h"
#include "engine/TcpSocketTable.h"

#include <algorithm>
#include <thread>

#include <arpa/inet.h>
#include <pthread.h>

namespace quellnet {

namespace {

// One double-quoted command parameter. Inside double quotes openvpn knows exactly two escapes,
// \\ and \", so blanks, quotes and backslashes all reach it unchanged.
QString quotedParameter(QString value)
{
    value.replace(u'\\', QLatin1String("\\\\"));
    value.replace(u'"', QLatin1String("\\\""));
    return u'"' + value + u'"';
}

} // namespace

ManagementStart::ManagementStart(
    OpenVPNManagement &management, std::function<void(GiveUp why)> giveUp, std::function<void()> handingOver)
    : m_management(management), m_giveUp(std::move(giveUp)), m_handingOver(std::move(handingOver))
{ }

// Never reached while a worker runs: the service that owns this lives until the process ends.
ManagementStart::~ManagementStart() = default;

bool ManagementStart::acceptsCredential(const QString &value, QString *error)
{
    if (std::any_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; }))
        return failWith(error, QStringLiteral("holds a control character"));
    if (value.toUtf8().size() > maxCredentialBytes)
        return failWith(error, QStringLiteral("is longer than %1 bytes").arg(maxCredentialBytes));
    return true;
}

void ManagementStart::start(Job job)
{
    ++m_pending;
    std::lock_guard lock(m_queueMutex);
    m_queue.push_back(std::move(job));
    if (!m_workerRunning) {
        // Lives as long as the service, that is until the process ends.
        std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "qn-vpn-start");
            runWorker();
        }).detach();
        m_workerRunning = true;
    }
    m_queued.notify_one();
}

bool ManagementStart::isStarting() const
{
    return m_pending.load() > 0;
}

void ManagementStart::runWorker()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_queueMutex);
            m_queued.wait(lock, [this] { return !m_queue.empty(); });
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        run(job);
        --m_pending;
    }
}

void ManagementStart::run(const Job &job)
{
    if (!job.refusal.isEmpty()) {
        SystemLog::write(job.refusal);
        m_giveUp(GiveUp::Refused);
        return;
    }
    waitForEarlierOpenVPN(job);
    GiveUp why = GiveUp::NoAnswer;
    if (!connectManagement(job, &why)) {
        m_giveUp(why);
        return;
    }
    handOver(job);
}

void ManagementStart::runRequested(std::uint64_t generation, const std::weak_ptr<HelperConnection> &connection)
{
    std::lock_guard lock(m_runsMutex);
    // A connection that is gone failed what it carried; nothing more comes of those.
    std::erase_if(m_runsInFlight, [](const RunInFlight &run) { return run.connection.expired(); });
    m_runsInFlight.push_back({ generation, connection });
}

void ManagementStart::runEnded(std::uint64_t generation)
{
    {
        std::lock_guard lock(m_runsMutex);
        std::erase_if(m_runsInFlight, [generation](const RunInFlight &run) { return run.generation == generation; });
    }
    m_runEnded.notify_all();
}

void ManagementStart::waitForEarlierOpenVPN(const Job &job)
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

bool ManagementStart::connectManagement(const Job &job, GiveUp *why)
{
    TcpClient &socket = m_management.socket();
    for (int attempt = 1; attempt <= connectAttempts; ++attempt) {
        QString error;
        if (socket.connect(attemptTimeoutSeconds, &error)) {
            // Any local user could have opened the port before openvpn; such a listener must never
            // see this run's password, let alone the credentials.
            if (!peerBelongsToRoot()) {
                socket.close();
                *why = GiveUp::PortNotRoot;
                return false;
            }
            if (authenticate(job.managementPassword, &error)) {
                qCDebug(lcEngine) << "management connected on attempt" << attempt;
                return true;
            }
        }
        qCDebug(lcEngine) << "management connection attempt" << attempt << "failed:" << error;
        std::this_thread::sleep_for(pauseAfterFailedAttempt);
    }
    *why = GiveUp::NoAnswer;
    return false;
}

bool ManagementStart::peerBelongsToRoot()
{
    const TcpClient &socket = m_management.socket();
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

bool ManagementStart::authenticate(const QString &managementPassword, QString *error)
{
    // Another run's openvpn (an earlier one still ending, another user's) asks for a password too,
    // but not for this one: it gets nothing more.
    TcpClient &socket = m_management.socket();
    const std::shared_ptr<TcpConnection> connection = socket.connection();
    if (!connection)
        return failWith(error, QStringLiteral("Not connected"));
    if (ManagementPassword::answerPrompt(
            *connection, managementPassword, std::chrono::seconds(attemptTimeoutSeconds), error))
        return true;
    socket.close();
    return false;
}

void ManagementStart::handOver(const Job &job)
{
    // Before the reader starts, so that its first report always finds this done.
    m_handingOver();
    m_management.send(QStringLiteral("state on\n"));
    m_management.send(QStringLiteral("bytecount 1\n"));
    m_management.send(QStringLiteral("log on\n"));
    m_management.send(QStringLiteral("username 'Auth' ") + quotedParameter(job.username) + u'\n');
    m_management.send(QStringLiteral("password 'Auth' ") + quotedParameter(job.password) + u'\n');
    m_management.startReading();
}

} // namespace quellnet
