#pragma once

#include "engine/VpnState.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

namespace quellnet {

// Tells the desktop when the tunnel comes up, and when it is lost while openvpn gets it back; the
// end of a run is the login view's to tell. A tunnel that flaps gets one notice a minute at most:
// a notice that comes sooner waits until the minute is over, is replaced by a later one meanwhile,
// and is dropped if it would only repeat the last one shown. A new run starts afresh.
//
// Observes the VPN state from its creation; GUI thread only.
class StatusNotices : public QObject
{
    Q_OBJECT

public:
    using Show = std::function<void(const QString &summary, const QString &body)>;

    static constexpr int minimumIntervalMs = 60000;

    explicit StatusNotices(Show show, QObject *parent = nullptr);

    void setMinimumIntervalForTesting(int milliseconds) { m_interval = milliseconds; }

private:
    enum class Notice { Connected, Interrupted };

    void openVPNStateDidChange();
    void post(Notice notice);
    void showNow(Notice notice);
    void showDeferred();
    void startAfresh();

    Show m_show;
    int m_interval = minimumIntervalMs;
    VpnState::Class m_previous = VpnState::Class::Idle;
    QElapsedTimer m_sinceShown; // invalid until a notice of this run was shown
    std::optional<Notice> m_lastShown;
    std::optional<Notice> m_waiting;
    QTimer m_deferred;
};

} // namespace quellnet
