#pragma once

#include <QString>

namespace quellnet {

// What client.up changes on the machine beyond openvpn's own life, taken back when openvpn ended
// without running client.down (killed, crashed) or when an earlier helper died with a tunnel up.
//
// client.up keeps its records in the helper's runtime folder (root's alone):
//   resolv.conf.backup  the original /etc/resolv.conf: a copy of its content, or the same symbolic
//                       link when it was one (client.up moves a link aside, it never writes through it);
//   resolv.conf.absent  there was no /etc/resolv.conf at all;
//   resolv.conf.ours    what client.up wrote in its place;
//   dns-method          how it pointed name resolution at the tunnel.
// and blocks IPv6 beside an IPv4-only full tunnel with unreachable routes of protocol
// `ipv6GuardProtocol`. client.down undoes the same things the same way; a record of resolvconf
// ("resolvconf <device>" in dns-method) is deleted by running `resolvconf -d <device>.quellnet`.
//
// Called by OpenVPNSupervisor on the daemon's one thread; every step is a few system calls.
class ResolverState
{
public:
    static constexpr unsigned char ipv6GuardProtocol = 157;

    // `stateDir`: the helper's runtime folder. `resolvConf`, `resolvconf`: the file to restore and the
    // resolvconf program (tests use their own; an empty `resolvconf` means the system's, if any).
    explicit ResolverState(
        QString stateDir, QString resolvConf = QStringLiteral("/etc/resolv.conf"), QString resolvconf = {});

    // Restores the file, deletes a resolvconf record and drops the IPv6 routes when client.up left
    // any; logs what it did.
    void restoreLeftovers() const;

    // Puts the original back in one rename, unless the file is no longer the one client.up wrote
    // (someone else replaced it meanwhile: theirs stays). True when nothing is left to restore.
    bool restoreResolvConf(QString *error = nullptr) const;
    // Deletes every IPv6 route of ipv6GuardProtocol in the main table; how many, or -1 on failure.
    static int removeIpv6Guard(QString *error = nullptr);

private:
    bool dropResolvconfRecord(QString *error) const;

    QString m_stateDir;
    QString m_resolvConf;
    QString m_resolvconf;
};

} // namespace quellnet
