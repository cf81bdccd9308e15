#include "E2eHarness.h"

#include "E2eStack.h"
#include "NotificationCenter.h"
#include "OpenVPNService.h"
#include "StandardOutput.h"
#include "SystemLog.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

namespace quellnet::e2e {

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
