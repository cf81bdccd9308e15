#pragma once

#include <cstdint>

namespace quellnet {

// The termination status the helper reports for a run request. When openvpn ran and exited, it is
// openvpn's exit code (0 after a requested stop, 1 after an error). When openvpn was ended by a
// signal, it is the signal's number negated (-15 for SIGTERM, -9 for SIGKILL), so that it can never
// be mistaken for an exit code. When openvpn never ran, it is one of the codes below, taken from
// sysexits(3), which openvpn itself does not use.
struct RunStatus
{
    // The profile is not a client profile: it lacks `client` (or `tls-client` with `pull`) or a
    // `remote`.
    static constexpr std::int32_t notAClientProfile = 65;
    // The profile is missing, or the caller cannot open it.
    static constexpr std::int32_t profileMissing = 66;
    // Another user's openvpn runs or waits to run; the request was refused and that run left alone.
    static constexpr std::int32_t otherUsersRun = 69;
    // The helper failed on its side (writing its private copy, starting a process).
    static constexpr std::int32_t helperFailure = 71;
    // A newer run request, or a kill request, came before this one could start.
    static constexpr std::int32_t superseded = 75;
    // The profile's file may not be trusted: a symbolic link, not a regular file, not owned by the
    // caller, or writable by group or others.
    static constexpr std::int32_t profileNotTrusted = 77;
    // The profile's content was refused: a directive that is not allowed, or too large.
    static constexpr std::int32_t profileRefused = 78;
    // openvpn could not be executed.
    static constexpr std::int32_t cannotExecute = 127;

    static constexpr std::int32_t signalled(int signalNumber) { return -signalNumber; }
};

} // namespace quellnet
