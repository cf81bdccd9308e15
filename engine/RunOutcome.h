#pragma once

#include <QString>

#include <cstdint>

namespace quellnet {

// Why a run (one start and the tunnel it brought up) ended other than as the person asked. None
// while it lasts, and when it ended on request.
enum class FailureReason {
    None,
    VpnAuthenticationFailed, // the VPN server refused the credentials
    TunnelDropped, // the tunnel was up and went down without anyone asking
    OpenVPNEndedEarly, // openvpn ended before the tunnel came up and gave no reason
    OpenVPNFatalError, // openvpn stopped on an error of its own (">FATAL:")
    ManagementPortTaken, // the management port belonged to another user
    ManagementNoAnswer, // openvpn's management interface never answered
    HelperUnreachable, // no helper daemon took the run request
    OtherUsersConnection, // the helper refused: another user's tunnel runs
    ProfileNotClient, // the helper refused the profile: not a client profile
    ProfileForbiddenOption, // the helper refused the profile: a directive that is not allowed
    ProfileNotTrusted, // the helper refused the profile's file: not safely the caller's
    ProfileUnreadable, // the helper could not open the profile
    HelperFailed, // the helper failed on its side
    OpenVPNNotRunnable, // the helper could not execute openvpn
    CredentialsUnusable, // openvpn cannot take the e-mail address or password as they are
    InstallationIncomplete, // a file the start needs is missing
};

// Works out a run's FailureReason from what happens to it, in the order it happens. What openvpn or
// the helper says outright (an authentication failure, a fatal error, a refusal) is kept once known;
// a mere sign that something ended (the connection lost, an error exit, no management answer) only
// stands until a clearer word comes. A run the person stopped, or that a newer request of theirs
// replaced, has no failure at all.
//
// Not thread-safe: the VPN service calls it under its state lock.
class RunOutcome
{
public:
    // A new run: everything of the previous one is forgotten.
    void begin();

    void stopRequested();
    // Every state report of openvpn, with its description field ("auth-failure", "SIGTERM", ...).
    void stateReported(const QString &name, const QString &description);
    // The state that was accepted was CONNECTED: a later end is a dropped tunnel.
    void connected();
    // ">PASSWORD:Verification Failed".
    void verificationFailed();
    // ">FATAL:".
    void fatalError();
    // The helper's termination status for this run's request.
    void helperStatus(std::int32_t status);
    // The run request could not be delivered: no helper, or its connection failed before the tunnel
    // was up.
    void helperUnreachable();
    // The start did not go ahead: refused beforehand, or the management port was never reached.
    void startFailed(FailureReason why);
    // openvpn closed the management connection without reporting an end first.
    void connectionLost();

    FailureReason reason() const;
    bool wasConnected() const { return m_connected; }

private:
    void note(FailureReason why);
    FailureReason endedWithoutReason() const;

    FailureReason m_reason = FailureReason::None;
    bool m_stopped = false;
    bool m_connected = false;
};

} // namespace quellnet
