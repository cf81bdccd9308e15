#pragma once

#include <QStringView>

namespace quellnet {

// The VPN state is the name of openvpn's own state as it reports it (">STATE:"), or "NOPROCESS" while
// there is no openvpn process to talk to. Names are compared exactly, letter case included. Every
// part of the program that asks what a state means asks here.
class VpnState
{
public:
    static constexpr QStringView noProcess = u"NOPROCESS";
    static constexpr QStringView connected = u"CONNECTED";
    static constexpr QStringView disconnected = u"DISCONNECTED";
    static constexpr QStringView exiting = u"EXITING";
    static constexpr QStringView assignIp = u"ASSIGN_IP";
    static constexpr QStringView addRoutes = u"ADD_ROUTES";

    enum class Class {
        Idle, // no tunnel, and none on its way: a click signs in
        InProgress, // a tunnel on its way (again): a click stops it
        Connected, // the tunnel is up
        Other, // a name the program does not know, such as AUTH_PENDING: nothing follows from it
    };

    static Class classOf(QStringView name);
};

} // namespace quellnet
