#include "engine/OpenVPNService.h"

#include "base/AppPaths.h"
#include "base/SystemLog.h"
#include "engine/EngineLog.h"
#include "engine/ManagementPassword.h"
#include "engine/ManagementStart.h"
#include "engine/NotificationCenter.h"
#include "engine/OpenVPNManagement.h"
#include "engine/StandardOutput.h"
#include "engine/VpnState.h"
#include "helperlink/HelperConnectionProvider.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace quellnet {

namespace {

constexpr auto readerDrainTimeout = std::chrono::seconds(1);
// openvpn reports its first state right after it took the credentials; one that stays silent longer
// is stuck (say, on a prompt nobody answers), and a new start must not be held off by it.
constexpr auto firstReportTimeout = std::chrono::seconds(5);

} // namespace

const QString &OpenVPNStateDidChange()
{
    static const QString name = QStringLiteral("OpenVPNStateDidChange");
    return name;
}

const QString &OpenVPNConnectionDidFail()
{
    static const QString name = QStringLiteral("OpenVPNConnectionDidFail");
    return name;
}

OpenVPNService &OpenVPNService::shared()
{
    // Never destroyed: the management reader and the helper's replies may still use it while the
    // process exits.
    static auto *service = new OpenVPNService;
    return *service;
}

OpenVPNService::OpenVPNService()
    : m_state(VpnState::noProcess.toString())
    , m_management(std::make_unique<OpenVPNManagement>([this](const QString &name) { updateState(name); }, this))
    , m_start(std::make_unique<ManagementStart>(
          *m_management,
          [this](ManagementStart::GiveUp why) {
              giveUpStart(why == ManagementStart::GiveUp::PortNotRoot ? FailureReason::ManagementPortTaken
                      : why == ManagementStart::GiveUp::NoAnswer      ? FailureReason::ManagementNoAnswer
                                                                      : FailureReason::None);
          },
          [this](bool reattached) {
              // Before the reader starts, so that its first report always finds this set.
              std::lock_guard lock(m_stateMutex);
              m_reattached = reattached;
              // A run taken over is one of its own from here: its end gets a reason too.
              if (reattached)
                  beginRun();
              else
                  m_firstReportAwaitedSince = std::chrono::steady_clock::now();
          }))
{
    m_management->setConnectionLostHandler([this] { onManagementConnectionLost(); });
}

OpenVPNService::~OpenVPNService() = default;

void OpenVPNService::updateState(const QString &name)
{
    std::unique_lock lock(m_stateMutex);
    // The window's display mode and its log line come from the state as it is when the notification
    // arrives. A state that replaced the previous one before the GUI thread took it would never be
    // seen there; the GUI thread itself takes each notification after it has stored the state.
    const QCoreApplication *app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() != app->thread()
        && !m_statePostDelivered.wait_for(lock, stateDeliveryTimeout, [this] { return m_statePostsPending == 0; })) {
        // A GUI thread that is held up (or gone, at the end) does not hold up openvpn's reports.
        qCDebug(lcEngine) << "the GUI thread has not taken the previous state yet";
        m_statePostsPending = 0;
    }
    const std::optional<StateReport> report = std::exchange(m_lastReport, std::nullopt);
    if (m_state == VpnState::connected && (name == VpnState::assignIp || name == VpnState::addRoutes))
        return;
    m_state = name;
    m_firstReportAwaitedSince.reset();

    m_tunnel.reset();
    if (name == VpnState::connected && report && report->name == name) {
        const qint64 time = report->time.toLongLong();
        m_tunnel = VpnTunnel { report->tunnelAddress, report->tunnelAddress6, report->remoteAddress, report->remotePort,
            time > 0 ? QDateTime::fromSecsSinceEpoch(time) : QDateTime::currentDateTime() };
    }
    bool failed = false;
    if (m_runLive && name == VpnState::connected)
        m_outcome.connected();
    if (m_runLive && VpnState::classOf(name) == VpnState::Class::Idle) {
        m_runLive = false;
        m_failureReason = m_outcome.reason();
        failed = m_failureReason != FailureReason::None;
        if (failed)
            qCInfo(lcEngine) << "the run ended in a failure:" << int(m_failureReason);
    }
    // Queued under the lock, so the posts arrive in the order the updates were accepted.
    const bool queued = NotificationCenter::defaultCenter().postOnGuiThread(OpenVPNStateDidChange(), [this] {
        {
            std::lock_guard deliveredLock(m_stateMutex);
            m_statePostsPending = std::max(0, m_statePostsPending - 1);
        }
        m_statePostDelivered.notify_all();
    });
    if (queued)
        ++m_statePostsPending;
    if (failed)
        NotificationCenter::defaultCenter().postOnGuiThread(OpenVPNConnectionDidFail());
}

void OpenVPNService::stateReported(const StateReport &report)
{
    std::lock_guard lock(m_stateMutex);
    m_lastReport = report;
    if (m_runLive)
        m_outcome.stateReported(report.name, report.description);
}

void OpenVPNService::byteCountReported(std::uint64_t received, std::uint64_t sent)
{
    std::lock_guard lock(m_stateMutex);
    m_traffic = VpnTraffic { received, sent };
}

void OpenVPNService::verificationFailed()
{
    std::lock_guard lock(m_stateMutex);
    if (m_runLive)
        m_outcome.verificationFailed();
}

void OpenVPNService::fatalReported(const QString &message)
{
    SystemLog::write(QStringLiteral("OpenVPN stopped on an error: ") + message);
    std::lock_guard lock(m_stateMutex);
    if (m_runLive)
        m_outcome.fatalError();
}

void OpenVPNService::beginRun()
{
    m_runLive = true;
    m_outcome.begin();
    m_traffic = {};
}

OpenVPNManagement &OpenVPNService::management()
{
    return *m_management;
}

bool OpenVPNService::isIdleState(const QString &name)
{
    return VpnState::classOf(name) == VpnState::Class::Idle;
}

bool OpenVPNService::isStarting() const
{
    return m_start->isStarting();
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
    {
        std::lock_guard lock(m_stateMutex);
        beginRun();
    }

    HelperConnectionProvider *delegate = HelperConnectionProvider::applicationDelegate();
    const HelperConnectionPtr connection = delegate != nullptr ? delegate->helperConnection() : nullptr;
    std::shared_ptr<HelperProtocol> helper;
    if (connection) {
        // The proxy carries only this start's run request: its failure means no openvpn of this
        // start is left to wait for.
        helper = connection->remoteObjectProxyWithErrorHandler([this, generation](const HelperError &error) {
            SystemLog::write(QStringLiteral("XPCService error: ") + error.description);
            noteForRun(generation, [](RunOutcome &outcome) { outcome.helperUnreachable(); });
            m_start->runEnded(generation, ManagementStart::RunEnd::RequestFailed);
        });
    }
    if (!helper) {
        qCDebug(lcEngine) << "no helper to run openvpn";
        noteForRun(generation, [](RunOutcome &outcome) { outcome.helperUnreachable(); });
    }

    const QString clientUp = AppPaths::resource(QStringLiteral("client.up"));
    const QString clientDown = AppPaths::resource(QStringLiteral("client.down"));

    ManagementStart::Job job;
    job.generation = generation;
    job.connection = connection;
    const std::optional<QString> configPath = config();
    const std::optional<QString> user = username();
    const std::optional<QString> secret = password();
    QString problem;
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
    else if (!ManagementStart::acceptsCredential(*user, &problem))
        job.refusal = QStringLiteral("OpenVPN not started: the user name ") + problem;
    else if (!ManagementStart::acceptsCredential(*secret, &problem))
        job.refusal = QStringLiteral("OpenVPN not started: the password ") + problem;

    if (!job.refusal.isEmpty()) {
        // What the person can mend themselves, and what only a new installation mends.
        const bool credential
            = configPath && user && secret && QFileInfo(clientUp).isFile() && QFileInfo(clientDown).isFile();
        noteForRun(generation, [credential](RunOutcome &outcome) {
            outcome.startFailed(
                credential ? FailureReason::CredentialsUnusable : FailureReason::InstallationIncomplete);
        });
    } else {
        job.username = *user;
        job.password = *secret;
        job.managementPassword = ManagementPassword::generate();
        if (helper) {
            // Sent by the start itself, once it has made way for it.
            job.requestRun = [this, helper, generation, config = *configPath, clientUp, clientDown,
                                 managementPassword = job.managementPassword] {
                helper->runOpenVPNWithConfig(config, clientUp, clientDown, managementPassword,
                    [this, generation](std::int32_t status) { onOpenVPNExited(generation, status); });
                qCDebug(lcEngine) << "run request sent";
            };
        }
    }
    m_start->start(std::move(job));
}

void OpenVPNService::reattach()
{
    HelperConnectionProvider *delegate = HelperConnectionProvider::applicationDelegate();
    ManagementStart::Job job;
    job.kind = ManagementStart::Job::Kind::Reattach;
    job.connection = delegate != nullptr ? delegate->helperConnection() : nullptr;
    if (job.connection.expired())
        return;
    job.generation = ++m_generation;
    m_start->start(std::move(job));
}

void OpenVPNService::stopOpenVPN()
{
    {
        std::lock_guard lock(m_stateMutex);
        if (m_runLive)
            m_outcome.stopRequested();
    }
    m_management->send(QStringLiteral("signal SIGINT\n"));
}

void OpenVPNService::noteForRun(std::uint64_t generation, const std::function<void(RunOutcome &)> &note)
{
    std::lock_guard lock(m_stateMutex);
    if (m_runLive && generation == m_generation.load())
        note(m_outcome);
}

void OpenVPNService::giveUpStart(FailureReason why)
{
    {
        std::lock_guard lock(m_stateMutex);
        if (m_runLive && why != FailureReason::None)
            m_outcome.startFailed(why);
    }
    StandardOutput::writeLine(QStringLiteral("error while starting mgmt interface"));
    updateState(VpnState::noProcess.toString());
}

void OpenVPNService::onOpenVPNExited(std::uint64_t generation, std::int32_t terminationStatus)
{
    SystemLog::write(QStringLiteral("OpenVPN exited: termiationStatus=") + QString::number(terminationStatus));
    // Noted before the start hears of it, so that a start that gives up because of it finds it.
    noteForRun(generation, [terminationStatus](RunOutcome &outcome) { outcome.helperStatus(terminationStatus); });
    m_start->runEnded(generation, ManagementStart::RunEnd::Reported);
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
    // The helper tells the launch that asked for a run when its openvpn has gone; for a run taken
    // over from an earlier launch, the closed connection is the only word of it.
    bool unexpected = false;
    bool reattached = false;
    {
        std::lock_guard lock(m_stateMutex);
        reattached = std::exchange(m_reattached, false);
        unexpected = m_firstReportAwaitedSince.has_value() || !isIdleState(m_state);
        m_firstReportAwaitedSince.reset();
        if (unexpected && m_runLive)
            m_outcome.connectionLost();
    }
    if (unexpected || (reattached && state() != VpnState::noProcess))
        updateState(VpnState::noProcess.toString());
}

} // namespace quellnet
