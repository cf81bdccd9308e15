#include "engine/VpnState.h"

#include <array>

namespace quellnet {

VpnState::Class VpnState::classOf(QStringView name)
{
    // Everything on the way to a tunnel, first or again after a loss.
    static constexpr std::array<QStringView, 12> inProgress { u"USER_VPN_PERMISSION", u"VPN_GENERATE_CONFIG",
        u"NONETWORK", u"CONNECTING", u"WAIT", u"RECONNECTING", u"RESOLVE", u"TCP_CONNECT", u"AUTH", u"GET_CONFIG",
        assignIp, addRoutes };
    if (name == noProcess || name == disconnected || name == exiting)
        return Class::Idle;
    if (name == connected)
        return Class::Connected;
    for (const QStringView known : inProgress) {
        if (name == known)
            return Class::InProgress;
    }
    return Class::Other;
}

} // namespace quellnet
