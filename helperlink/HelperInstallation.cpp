#include "helperlink/HelperInstallation.h"

#include "base/AppPaths.h"
#include "base/AsyncTask.h"
#include "base/SystemLog.h"
#include "helperlink/HelperConnectionCache.h"
#include "helperlink/PkexecPrivilegeStep.h"
#include "helperlink/ShippedHelper.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QThread>

#include <atomic>

namespace quellnet {

Q_LOGGING_CATEGORY(lcInstall, "quellnet.helperlink.install", QtInfoMsg)

HelperInstallation::HelperInstallation(
    HelperConnectionCache &connections, std::unique_ptr<PrivilegeStep> privilegeStep, QObject *parent)
    : QObject(parent)
    , m_connections(connections)
    , m_privilegeStep(privilegeStep ? std::move(privilegeStep) : std::make_unique<PkexecPrivilegeStep>())
{ }

HelperInstallation::~HelperInstallation()
{
    // An install step still running is ended without its outcome being handled.
    if (m_install != nullptr) {
        m_install->disconnect(this);
        delete m_install;
    }
}

void HelperInstallation::shouldInstallHelper(std::function<void(bool current)> callback)
{
    // Running the shipped helper for its information takes 10 to 40 ms, and up to 3 s when it
    // hangs: it is done off the GUI thread, so that the window's first frame never waits; the rest
    // follows on the GUI thread.
    AsyncTask::runThenCallback(
        [path = AppPaths::shippedHelper()] {
            ShippedVersion shipped;
            shipped.version = ShippedHelper::bundleVersion(path, &shipped.problem);
            return shipped;
        },
        this,
        [this, callback = std::move(callback)](const ShippedVersion &shipped) { askInstalledVersion(shipped, callback); });
}

void HelperInstallation::askInstalledVersion(
    const ShippedVersion &shipped, const std::function<void(bool current)> &callback)
{
    if (!shipped.version) {
        qCWarning(lcInstall).noquote() << "the shipped helper's information cannot be read:" << shipped.problem;
        callback(false);
        return;
    }
    SystemLog::write(QStringLiteral("Helper: Bundle Version => ") + *shipped.version);

    // The connection runs the reply or the error handler, never both; the callback runs once even
    // if it did.
    auto answered = std::make_shared<std::atomic_bool>(false);
    auto answer = [answered, callback](bool current) {
        if (!answered->exchange(true))
            callback(current);
    };
    const std::shared_ptr<HelperProtocol> proxy
        = m_connections.helperConnection()->remoteObjectProxyWithErrorHandler([answer](const HelperError &error) {
              SystemLog::write(error.description);
              answer(false);
          });
    proxy->getVersionWithResponseHandler([answer, shipped = *shipped.version](const QString &installed) {
        SystemLog::write(QStringLiteral("Helper: Installed Version => ") + installed);
        // Exact strings: a newer helper, or the same number written differently, is replaced too.
        answer(installed == shipped);
    });
}

std::function<void(bool current)> HelperInstallation::startUpCallback()
{
    // The work after the reply runs on the GUI thread, where the VPN service also uses the cached
    // connection.
    return [this, gui = CallbackTarget(this), guiThread = thread()](bool current) {
        std::function<void()> next = [this] { Q_EMIT helperReady(); };
        if (!current) {
            next = [this] {
                installHelper();
                m_connections.setXpcHelperConnection(nullptr);
            };
        }
        if (QThread::currentThread() == guiThread)
            next();
        else
            gui.call(next);
    };
}

void HelperInstallation::installHelper()
{
    if (m_install != nullptr)
        return;
    const QString helper = AppPaths::shippedHelper();
    if (!QFileInfo(helper).isExecutable()) {
        fail(QStringLiteral("Bless Error: The helper that ships with the program is missing: %1").arg(helper));
        return;
    }

    auto *process = new QProcess(this);
    QString problem;
    if (!m_privilegeStep->prepare(*process, helper, { QStringLiteral("--install") }, &problem)) {
        delete process;
        fail(QStringLiteral("Authorization error: ") + problem);
        return;
    }
    m_install = process;
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        onInstallFinished(exitCode, status == QProcess::CrashExit);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        m_install = nullptr;
        process->deleteLater();
        fail(QStringLiteral("Authorization error: %1 cannot be started: %2")
                 .arg(process->program(), process->errorString()));
    });
    qCInfo(lcInstall).noquote() << "running" << process->program() << process->arguments().join(QLatin1Char(' '));
    process->start();
}

void HelperInstallation::onInstallFinished(int exitCode, bool crashed)
{
    QProcess *process = std::exchange(m_install, nullptr);
    process->deleteLater();
    // What pkexec or the install step said, as one line.
    QString said = QString::fromLocal8Bit(process->readAllStandardError()).simplified();
    if (said.size() > 500)
        said = said.left(500) + QStringLiteral("...");

    if (!crashed && exitCode == 0) {
        SystemLog::write(QStringLiteral(QUELLNET_HELPER_ID " installed successfully"));
        m_connections.setXpcHelperConnection(nullptr);
        Q_EMIT helperReady();
        return;
    }
    const QString detail = said.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(said);
    if (!crashed && exitCode == PrivilegeStep::dismissedStatus) {
        fail(QStringLiteral("Authorization error: The request for the administrator's authorization was dismissed.")
            + detail);
    } else if (!crashed && exitCode == PrivilegeStep::notAuthorizedStatus) {
        fail(QStringLiteral("Authorization error: The administrator's authorization was not granted.") + detail);
    } else if (!said.isEmpty()) {
        fail(QStringLiteral("Bless Error: ") + said);
    } else {
        fail(crashed ? QStringLiteral("Bless Error: The install step crashed.")
                     : QStringLiteral("Bless Error: The install step failed with exit status %1.").arg(exitCode));
    }
}

void HelperInstallation::fail(const QString &line)
{
    SystemLog::write(line);
    // Queued: during the launch the event loop that quit() ends is not running yet.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

} // namespace quellnet
