#include "engine/ManagementStart.h"

#include "base/Error.h"
#include "base/SystemLog.h"
#include "engine/EngineLog.h"
#include "engine/ManagementPassword.h"
#include "engine/OpenVPNManagement.h"
#include "engine/TcpSocketTable.h"
#include "helperlink/HelperConnection.h"

#include <algorithm>
#include <thread>

#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

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

// Asks the helper behind `connection` for its run and waits for the answer: nothing when the helper
// cannot be asked or does not answer within helperAnswerTimeout; otherwise its run, or none.
std::optional<std::optional<HelperRun>> askForRun(const std::weak_ptr<HelperConnection> &connection)
{
    struct Answer
    {
        std::mutex mutex;
        std::condition_variable arrived;
        bool done = false;
        std::optional<std::optional<HelperRun>> run;
    };
    auto answer = std::make_shared<Answer>();
    const auto finish = [answer](std::optional<std::optional<HelperRun>> run) {
        {
            std::lock_guard lock(answer->mutex);
            answer->done = true;
            answer->run = std::move(run);
        }
        answer->arrived.notify_all();
    };
    if (const std::shared_ptr<HelperConnection> alive = connection.lock()) {
        alive
            ->remoteObjectProxyWithErrorHandler([finish](const HelperError &error) {
                qCDebug(lcEngine) << "the helper could not say which openvpn it runs:" << error.description;
                finish(std::nullopt);
            })
            ->getRunWithResponseHandler([finish](const std::optional<HelperRun> &run) { finish(run); });
    } else {
        return std::nullopt;
    }
    std::unique_lock lock(answer->mutex);
    if (!answer->arrived.wait_for(lock, ManagementStart::helperAnswerTimeout, [&] { return answer->done; }))
        qCDebug(lcEngine) << "the helper did not say which openvpn it runs";
    return answer->run;
}

// The management password of the helper's run when that run is this user's; nothing otherwise, or
// when the helper cannot say.
std::optional<QString> passwordOfOwnRun(const std::weak_ptr<HelperConnection> &connection)
{
    const std::optional<std::optional<HelperRun>> answer = askForRun(connection);
    if (!answer || !*answer || (*answer)->owner != ::geteuid())
        return std::nullopt;
    return (*answer)->managementPassword;
}

} // namespace

ManagementStart::ManagementStart(OpenVPNManagement &management, std::function<void(GiveUp why)> giveUp,
    std::function<void(bool reattached)> handingOver)
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
    // A reattachment counts only once it has found a run to take over (see reattach()): asking the
    // helper takes a moment at launch, and a click meanwhile must not be lost.
    if (job.kind != Job::Kind::Reattach)
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
        {
            std::lock_guard lock(m_runsMutex);
            m_currentGeneration = job.generation;
            m_currentRunReportedEnded = false;
        }
        run(job);
        if (job.kind != Job::Kind::Reattach)
            --m_pending;
    }
}

void ManagementStart::run(Job &job)
{
    if (job.kind == Job::Kind::Reattach) {
        reattach(job);
        return;
    }
    if (!job.refusal.isEmpty()) {
        SystemLog::write(job.refusal);
        m_giveUp(GiveUp::Refused);
        return;
    }
    requestRun(job);
    waitForEarlierOpenVPN(job);
    GiveUp why = GiveUp::NoAnswer;
    if (!connectManagement(job, &why)) {
        m_giveUp(why);
        return;
    }
    handOver(job);
}

void ManagementStart::reattach(Job &job)
{
    if (m_pending.load() > 0) {
        // A start asked for meanwhile ends the earlier launch's run anyway.
        qCDebug(lcEngine) << "a start is waiting; not reattaching";
        return;
    }
    const std::optional<QString> secret = passwordOfOwnRun(job.connection);
    if (!secret) {
        qCDebug(lcEngine) << "no openvpn of this user to reattach to";
        return;
    }
    qCInfo(lcEngine) << "reattaching to the openvpn that an earlier launch left running";
    job.managementPassword = *secret;
    ++m_pending;
    GiveUp why = GiveUp::NoAnswer;
    if (connectManagement(job, &why))
        handOver(job);
    else
        m_giveUp(why);
    --m_pending;
}

void ManagementStart::requestRun(Job &job)
{
    if (!job.requestRun)
        return;
    const std::optional<QString> ending = endEarlierLaunchsRun(job);
    {
        std::lock_guard lock(m_runsMutex);
        // A connection that is gone failed what it carried; nothing more comes of those.
        std::erase_if(m_runsInFlight, [](const RunInFlight &run) { return run.connection.expired(); });
        m_runsInFlight.push_back({ job.generation, job.connection, job.managementPassword });
    }
    job.runRequested = true;
    job.requestedAt = std::chrono::steady_clock::now();
    job.requestRun();
    if (ending)
        waitForEndOf(*ending, job);
}

std::optional<QString> ManagementStart::endEarlierLaunchsRun(const Job &job)
{
    const std::optional<QString> ownRun = passwordOfOwnRun(job.connection);
    if (!ownRun)
        return std::nullopt;
    const QString secret = *ownRun;
    {
        std::lock_guard lock(m_runsMutex);
        if (std::any_of(m_runsInFlight.cbegin(), m_runsInFlight.cend(),
                [&](const RunInFlight &run) { return run.managementPassword == secret; }))
            return std::nullopt;
    }
    const std::shared_ptr<HelperConnection> connection = job.connection.lock();
    if (!connection)
        return std::nullopt;
    qCInfo(lcEngine) << "ending the openvpn that an earlier launch left running";
    connection->remoteObjectProxyWithErrorHandler({})->killOpenVPN();
    return secret;
}

void ManagementStart::waitForEndOf(const QString &managementPassword, const Job &job)
{
    const auto deadline = job.requestedAt + earlierOpenVPNEndTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::optional<std::optional<HelperRun>> answer = askForRun(job.connection);
        if (!answer || !*answer || (*answer)->managementPassword != managementPassword)
            return;
        std::unique_lock lock(m_runsMutex);
        if (m_runEnded.wait_for(lock, runEndPollInterval, [&] { return runHasEnded(job); }))
            return;
    }
    qCDebug(lcEngine) << "the earlier launch's openvpn did not end in time; trying the port anyway";
}

void ManagementStart::runEnded(std::uint64_t generation, RunEnd how)
{
    {
        std::lock_guard lock(m_runsMutex);
        std::erase_if(m_runsInFlight, [generation](const RunInFlight &run) { return run.generation == generation; });
        // A failed request says nothing of an openvpn: the helper may have started it all the same.
        if (how == RunEnd::Reported && generation == m_currentGeneration)
            m_currentRunReportedEnded = true;
    }
    m_runEnded.notify_all();
}

bool ManagementStart::runHasEnded(const Job &job) const
{
    return job.runRequested && job.generation == m_currentGeneration && m_currentRunReportedEnded;
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
    if (!m_runEnded.wait_until(lock, job.requestedAt + earlierOpenVPNEndTimeout,
            [&] { return !earlierOnSameConnection() || runHasEnded(job); }))
        qCDebug(lcEngine) << "the earlier openvpn's end was not reported in time; trying the port anyway";
}

bool ManagementStart::connectManagement(const Job &job, GiveUp *why)
{
    TcpClient &socket = m_management.socket();
    for (int attempt = 1; attempt <= connectAttempts; ++attempt) {
        if (std::lock_guard lock(m_runsMutex); runHasEnded(job)) {
            // The helper refused the request, or its openvpn is gone: nothing is left to reach.
            qCDebug(lcEngine) << "the helper reported the run's end before the management connection was made";
            *why = GiveUp::NoAnswer; // what the helper reported says more, and the service has it
            return false;
        }
        // Root's listeners before the attempt: one that shows up after it may be this run's openvpn.
        const std::vector<quint64> listenersBefore = managementPortListeners();
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
        // After the last attempt nothing would come of an opened port: the whole pause, as ever.
        pauseAfterFailure(job, listenersBefore, attempt < connectAttempts);
    }
    *why = GiveUp::NoAnswer;
    return false;
}

std::vector<quint64> ManagementStart::managementPortListeners() const
{
    const TcpClient &socket = m_management.socket();
    in_addr server {};
    if (::inet_pton(AF_INET, socket.address().toLatin1().constData(), &server) != 1)
        return {};
    return TcpSocketTable::rootListeners(
        TcpSocketTable::read(socket.port(), true), ntohl(server.s_addr), socket.port());
}

void ManagementStart::pauseAfterFailure(
    const Job &job, const std::vector<quint64> &listenersBefore, bool untilPortOpens)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + pauseAfterFailedAttempt;
    std::unique_lock lock(m_runsMutex);
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= end)
            return;
        const Clock::time_point look = untilPortOpens ? std::min(end, now + portWatchInterval) : end;
        if (m_runEnded.wait_until(lock, look, [&] { return runHasEnded(job); }) || look == end)
            return;
        lock.unlock();
        const std::vector<quint64> listeners = managementPortListeners();
        lock.lock();
        const bool opened = std::any_of(listeners.cbegin(), listeners.cend(), [&](quint64 inode) {
            return std::find(listenersBefore.cbegin(), listenersBefore.cend(), inode) == listenersBefore.cend();
        });
        if (opened) {
            qCDebug(lcEngine) << "root listens on the management port now";
            return;
        }
    }
}

bool ManagementStart::peerBelongsToRoot()
{
    const TcpClient &socket = m_management.socket();
    const std::shared_ptr<TcpConnection> connection = socket.connection();
    in_addr server {};
    if (!connection || ::inet_pton(AF_INET, socket.address().toLatin1().constData(), &server) != 1)
        return false;
    const std::optional<uint> owner = TcpSocketTable::ownerOfPeer(TcpSocketTable::read(socket.port()),
        connection->localAddress(), connection->localPort(), ntohl(server.s_addr), socket.port());
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
    const bool reattached = job.kind == Job::Kind::Reattach;
    // Before the reader starts, so that its first report always finds this done.
    m_handingOver(reattached);
    m_management.send(QStringLiteral("state on\n"));
    if (reattached) {
        // The state reports of its start went to the earlier launch; this one asks for the state now.
        bool awaitsCredentials = false;
        QString error;
        if (!m_management.takeCurrentState(std::chrono::seconds(attemptTimeoutSeconds), &awaitsCredentials, &error))
            qCDebug(lcEngine) << "openvpn did not tell its state:" << error;
        m_management.send(QStringLiteral("bytecount 1\n"));
        m_management.send(QStringLiteral("log on\n"));
        // Its credentials were for the earlier launch to send; nobody will.
        if (awaitsCredentials)
            m_management.send(QStringLiteral("signal SIGINT\n"));
        m_management.startReading();
        return;
    }
    m_management.send(QStringLiteral("bytecount 1\n"));
    m_management.send(QStringLiteral("log on\n"));
    m_management.send(QStringLiteral("username 'Auth' ") + quotedParameter(job.username) + u'\n');
    m_management.send(QStringLiteral("password 'Auth' ") + quotedParameter(job.password) + u'\n');
    m_management.startReading();
}

} // namespace quellnet
