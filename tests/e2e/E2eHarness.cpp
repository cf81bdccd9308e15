#include "E2eHarness.h"

#include "AccountStandIn.h"
#include "E2eStack.h"
#include "NotificationCenter.h"
#include "OpenVPNService.h"
#include "StandardOutput.h"
#include "SystemLog.h"
#include "TcpSocketTable.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace quellnet::e2e {

bool useOwnSettingsFolder(const QTemporaryDir &folder)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!folder.isValid())
        return false;
    qputenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", folder.path().toLocal8Bit());
    return true;
}

bool divertStandardOutput(const QString &path, FILE **console)
{
    const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int saved = ::dup(STDOUT_FILENO);
    if (file < 0 || saved < 0)
        return false;
    std::fflush(stdout);
    FILE *original = ::fdopen(saved, "w");
    const bool diverted = original != nullptr && ::dup2(file, STDOUT_FILENO) >= 0;
    ::close(file);
    if (original != nullptr)
        *console = original;
    return diverted;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

StateTrace::StateTrace(std::function<void(const QString &)> onChange) : m_onChange(std::move(onChange))
{
    NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
        const QString state = OpenVPNService::shared().state();
        m_states.append(state);
        if (m_onChange)
            m_onChange(state);
    });
}

bool StateTrace::waitFor(const QString &state, int timeoutMs)
{
    return waitUntil([&] { return m_states.contains(state); }, timeoutMs);
}

OutputCapture::OutputCapture()
{
    SystemLog::setSinkForTesting([this](const QString &line) {
        std::lock_guard lock(m_mutex);
        m_log.append(line);
    });
    StandardOutput::setSinkForTesting([this](const QString &text) {
        std::lock_guard lock(m_mutex);
        m_output.append(text);
    });
}

OutputCapture::~OutputCapture()
{
    SystemLog::setSinkForTesting({});
    StandardOutput::setSinkForTesting({});
}

QStringList OutputCapture::logLines() const
{
    std::lock_guard lock(m_mutex);
    return m_log;
}

QStringList OutputCapture::standardOutput() const
{
    std::lock_guard lock(m_mutex);
    return m_output;
}

void OutputCapture::clear()
{
    std::lock_guard lock(m_mutex);
    m_log.clear();
    m_output.clear();
}

bool serveLikeTheStack(AccountStandIn &standIn, QString *why)
{
    QFile profile(E2eStack::profilePath());
    if (!profile.open(QIODevice::ReadOnly)) {
        *why = profile.fileName() + QStringLiteral(": ") + profile.errorString();
        return false;
    }
    standIn.setProfile(QString::fromUtf8(profile.readAll()));
    for (const StackAccount &account : E2eStack::accounts())
        standIn.addAccount(account.email, account.password);
    const QString pki = QDir(E2eStack::dir()).filePath(QStringLiteral("pki/standin."));
    if (standIn.listen(pki + QStringLiteral("crt"), pki + QStringLiteral("key")))
        return true;
    *why = standIn.errorString();
    return false;
}

int helperRunRequests()
{
    QFile log(QDir(E2eStack::dir()).filePath(QStringLiteral("log/helper.log")));
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    // "run request 3 of uid 0 (pid 42) for /tmp/quellnet.ovpn"; later lines name it differently.
    const QList<QByteArray> lines = log.readAll().split('\n');
    return int(std::count_if(lines.cbegin(), lines.cend(),
        [](const QByteArray &line) { return line.startsWith("run request ") && line.contains(" of uid "); }));
}

std::optional<uint> managementPortListener()
{
    for (const TcpSocketTable::Entry &entry : TcpSocketTable::read()) {
        if (entry.state == TcpSocketTable::Listen && entry.localPort == 1337)
            return entry.uid;
    }
    return std::nullopt;
}

QString leftoversAfter(int timeoutMs)
{
    QString left;
    const auto nothingLeft = [&] {
        left.clear();
        const QList<qint64> openvpn = E2eStack::helperOpenVpnPids();
        if (!openvpn.isEmpty()) {
            QStringList pids;
            for (qint64 pid : openvpn)
                pids.append(QString::number(pid));
            left += QStringLiteral("openvpn still runs (pid %1); ").arg(pids.join(u','));
        }
        const QStringList interfaces = E2eStack::tunnelInterfaces();
        if (!interfaces.isEmpty())
            left += QStringLiteral("tunnel interface still up: %1; ").arg(interfaces.join(u','));
        return left.isEmpty();
    };
    waitUntil(nothingLeft, timeoutMs);
    return left;
}

} // namespace quellnet::e2e
