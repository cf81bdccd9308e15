#include "tests/support/OutputCapture.h"

#include "base/SystemLog.h"
#include "engine/StandardOutput.h"
#include "tests/support/Waiting.h"

namespace quellnet::test {

OutputCapture::OutputCapture(Observer observer) : m_observer(std::move(observer))
{
    s_current = this;
    SystemLog::setSinkForTesting([this](const QString &line) { add(Channel::SystemLog, line); });
    StandardOutput::setSinkForTesting([this](const QString &text) { add(Channel::StandardOutput, text); });
}

OutputCapture::~OutputCapture()
{
    if (s_current != this)
        return;
    s_current = nullptr;
    SystemLog::setSinkForTesting({});
    StandardOutput::setSinkForTesting({});
}

void OutputCapture::add(Channel channel, const QString &text)
{
    {
        std::lock_guard lock(m_observerMutex);
        if (m_observer)
            m_observer(channel, text);
    }
    std::lock_guard lock(m_mutex);
    (channel == Channel::SystemLog ? m_log : m_output).append(text);
}

QStringList OutputCapture::logLines() const
{
    std::lock_guard lock(m_mutex);
    return m_log;
}

QStringList OutputCapture::takeLogLines()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_log, {});
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

void OutputCapture::setObserver(Observer observer)
{
    std::lock_guard lock(m_observerMutex);
    m_observer = std::move(observer);
}

bool OutputCapture::waitForLog(const QString &part, int timeoutMs) const
{
    return waitUntil([&] { return !logLines().filter(part).isEmpty(); }, timeoutMs);
}

} // namespace quellnet::test
