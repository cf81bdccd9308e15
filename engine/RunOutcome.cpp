#include "engine/RunOutcome.h"

#include "engine/VpnState.h"
#include "helperlink/HelperWire.h"

namespace quellnet {

namespace {

// Signs that a run ended, not why: a clearer word replaces them.
bool isVague(FailureReason reason)
{
    return reason == FailureReason::TunnelDropped || reason == FailureReason::OpenVPNEndedEarly
        || reason == FailureReason::ManagementNoAnswer;
}

} // namespace

void RunOutcome::begin()
{
    *this = RunOutcome();
}

void RunOutcome::stopRequested()
{
    m_stopped = true;
}

void RunOutcome::note(FailureReason why)
{
    if (m_reason == FailureReason::None || (isVague(m_reason) && !isVague(why)))
        m_reason = why;
}

FailureReason RunOutcome::endedWithoutReason() const
{
    return m_connected ? FailureReason::TunnelDropped : FailureReason::OpenVPNEndedEarly;
}

void RunOutcome::stateReported(const QString &name, const QString &description)
{
    if (name != VpnState::exiting)
        return;
    // openvpn names what ended it: "SIGINT" after the stop the program sends, "SIGTERM" when the
    // helper ended it, "auth-failure", "ping-exit", "server-pushed-halt", ...
    if (description == u"auth-failure")
        note(FailureReason::VpnAuthenticationFailed);
    else
        note(endedWithoutReason());
}

void RunOutcome::connected()
{
    m_connected = true;
}

void RunOutcome::verificationFailed()
{
    note(FailureReason::VpnAuthenticationFailed);
}

void RunOutcome::fatalError()
{
    note(FailureReason::OpenVPNFatalError);
}

void RunOutcome::helperStatus(std::int32_t status)
{
    switch (status) {
    case 0:
        return; // openvpn ended as asked; whatever ended it was reported before
    case RunStatus::superseded:
        // A newer request of the same user took the run's place.
        m_stopped = true;
        return;
    case RunStatus::notAClientProfile:
        return note(FailureReason::ProfileNotClient);
    case RunStatus::profileMissing:
        return note(FailureReason::ProfileUnreadable);
    case RunStatus::otherUsersRun:
        return note(FailureReason::OtherUsersConnection);
    case RunStatus::helperFailure:
        return note(FailureReason::HelperFailed);
    case RunStatus::profileNotTrusted:
        return note(FailureReason::ProfileNotTrusted);
    case RunStatus::profileRefused:
        return note(FailureReason::ProfileForbiddenOption);
    case RunStatus::cannotExecute:
        return note(FailureReason::OpenVPNNotRunnable);
    default:
        // An error exit or a signal: openvpn went, and said nothing clearer on its way.
        return note(endedWithoutReason());
    }
}

void RunOutcome::helperUnreachable()
{
    // A tunnel that is up does not need the helper; losing it then is not why the tunnel ends.
    if (!m_connected)
        note(FailureReason::HelperUnreachable);
}

void RunOutcome::startFailed(FailureReason why)
{
    note(why);
}

void RunOutcome::connectionLost()
{
    note(endedWithoutReason());
}

FailureReason RunOutcome::reason() const
{
    return m_stopped ? FailureReason::None : m_reason;
}

} // namespace quellnet
