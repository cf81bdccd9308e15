#include "tests/support/StateTrace.h"

#include "engine/NotificationCenter.h"
#include "engine/OpenVPNService.h"
#include "tests/support/Waiting.h"

#include <QThread>

namespace quellnet::test {

StateTrace::StateTrace(std::function<void(const QString &)> onChange) : m_onChange(std::move(onChange))
{
    NotificationCenter::defaultCenter().addObserver(this, OpenVPNStateDidChange(), [this] {
        m_offGuiThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        m_states.append(OpenVPNService::shared().state());
        if (m_onChange)
            m_onChange(m_states.last());
    });
    NotificationCenter::defaultCenter().addObserver(
        this, OpenVPNConnectionDidFail(), [this] { m_failures.append(OpenVPNService::shared().failureReason()); });
}

bool StateTrace::waitFor(const QString &state, int timeoutMs) const
{
    return waitUntil([&] { return m_states.contains(state); }, timeoutMs);
}

} // namespace quellnet::test
