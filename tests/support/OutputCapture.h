#pragma once

#include <QStringList>

#include <functional>
#include <mutex>

namespace quellnet::test {

// What the program writes to its system log (SystemLog) and to standard output (StandardOutput)
// while this lives; it still goes to the usual places too. Filled from any thread, in the order of
// the writes. A newer capture takes over from an older one.
class OutputCapture
{
public:
    enum class Channel { SystemLog, StandardOutput };
    // Sees each text as it is written, on the writing thread, before it is kept.
    using Observer = std::function<void(Channel channel, const QString &text)>;

    explicit OutputCapture(Observer observer = {});
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    QStringList logLines() const;
    // The log lines so far, which the capture then forgets.
    QStringList takeLogLines();
    // Each write as it came, line feeds included.
    QStringList standardOutput() const;
    void clear();
    // Replaces the observer; once this returns, the one before runs no more.
    void setObserver(Observer observer);

    // Runs the event loop until a system log line contains `part`.
    bool waitForLog(const QString &part, int timeoutMs = 10000) const;

private:
    void add(Channel channel, const QString &text);

    static inline OutputCapture *s_current = nullptr;
    std::mutex m_observerMutex; // held while the observer runs
    Observer m_observer;
    mutable std::mutex m_mutex;
    QStringList m_log;
    QStringList m_output;
};

} // namespace quellnet::test
