#pragma once

#include "engine/RunOutcome.h"

#include <QList>
#include <QObject>
#include <QStringList>

#include <functional>

namespace quellnet::test {

// Observes OpenVPNStateDidChange as the login view does, and keeps the state it reads at each
// notification; likewise the failure reason at each OpenVPNConnectionDidFail. GUI thread only; a
// trace that is destroyed stops observing.
class StateTrace : public QObject
{
public:
    // `onChange` sees each state as it is kept.
    explicit StateTrace(std::function<void(const QString &state)> onChange = {});

    QStringList states() const { return m_states; }
    QList<FailureReason> failures() const { return m_failures; }
    void clear()
    {
        m_states.clear();
        m_failures.clear();
    }
    // Notifications that arrived elsewhere than on the GUI thread: there must be none.
    int offGuiThread() const { return m_offGuiThread; }
    // Runs the event loop until a notification since the last clear() found `state`.
    bool waitFor(const QString &state, int timeoutMs) const;

private:
    std::function<void(const QString &)> m_onChange;
    QStringList m_states;
    QList<FailureReason> m_failures;
    int m_offGuiThread = 0;
};

} // namespace quellnet::test
