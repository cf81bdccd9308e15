#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

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

// A message from the client to the root helper daemon.
struct HelperRequest
{
    enum class Operation { GetVersion, RunOpenVPN, KillOpenVPN, GetRun };

    std::uint64_t id = 0;
    Operation operation = Operation::GetVersion;
    // RunOpenVPN only: the profile to run and the client's own up and down scripts.
    QString config;
    QString clientUp;
    QString clientDown;
    // RunOpenVPN only: the secret that openvpn's management interface is to ask for, chosen by
    // the client (HelperWire::isManagementPassword()).
    QString managementPassword;

    friend bool operator==(const HelperRequest &, const HelperRequest &) = default;
};

// The openvpn run the helper has (the running one, else the one waiting to start), as a getRun
// reply describes it.
struct HelperRun
{
    std::uint32_t owner = 0; // the uid that asked for it
    // Only for the owner and for root; nothing for anyone else.
    std::optional<QString> managementPassword;

    friend bool operator==(const HelperRun &, const HelperRun &) = default;
};

// A message from the helper back to the client, answering the request with the same id.
struct HelperReply
{
    enum class Kind { Version, TerminationStatus, Error, Run };

    std::uint64_t id = 0;
    Kind kind = Kind::Error;
    // Version: the helper's version string; Error: what went wrong, for a person to read.
    QString text;
    // TerminationStatus only.
    std::int32_t terminationStatus = 0;
    // Run only: the helper's run, or nothing when no openvpn runs or waits to run.
    std::optional<HelperRun> run;

    friend bool operator==(const HelperReply &, const HelperReply &) = default;
};

// The outcome of reading one line: the message, or why it was refused. When the line was refused
// but still carried a readable id, `id` holds it so that the refusal can be answered.
template<typename Message> struct HelperDecoded
{
    std::optional<Message> message;
    QString error;
    std::optional<std::uint64_t> id;
};

// The wire protocol between the client and the root helper daemon: one compact JSON object per
// line in each direction, every line ending in '\n'.
//
//   requests  {"id":N,"op":"getVersion"}
//             {"id":N,"op":"runOpenVPN","config":P,"client_up":P,"client_down":P,"management_password":S}
//             {"id":N,"op":"killOpenVPN"}
//             {"id":N,"op":"getRun"}
//   replies   {"id":N,"version":S}
//             {"id":N,"terminationStatus":I}
//             {"id":N,"error":S}
//             {"id":N,"run":null}
//             {"id":N,"run":{"owner":U,"management_password":S}}
//             {"id":N,"run":{"owner":U}}
//
// Ids are chosen by the client, integers from 0 to 2^53-1 so that any JSON reader keeps them
// exact. killOpenVPN has no reply. A runOpenVPN request gets exactly one terminationStatus reply,
// when its openvpn has ended, or an error reply. getRun gets one run reply: null when no openvpn
// runs or waits to run; its owner's uid U (0 to 2^32-2) otherwise, with the run's management
// password only when the caller is the owner or root. A management password is 32 to 128
// lowercase hexadecimal digits.
//
// The decoders are pure functions: any byte string yields a message or a refusal, never a crash,
// and they do no I/O, so they can be fuzzed directly. They are strict: a member of the wrong type,
// a member that does not belong to the message, a path holding a NUL character or broken UTF-16,
// a management password of another form, or a line longer than maxLineLength bytes is refused.
// Refusals never quote the input, because the helper writes them to its log.
class HelperWire
{
public:
    // Longest line either side accepts, not counting the '\n'.
    static constexpr qsizetype maxLineLength = qsizetype { 64 } * 1024;
    static constexpr std::uint64_t maxId = (std::uint64_t { 1 } << 53) - 1;

    // One line each, '\n' included.
    static QByteArray encode(const HelperRequest &request);
    static QByteArray encode(const HelperReply &reply);

    // `line` may end in '\n'.
    static HelperDecoded<HelperRequest> decodeRequest(QByteArrayView line);
    static HelperDecoded<HelperReply> decodeReply(QByteArrayView line);

    // Whether `text` can be a run's management password: 32 to 128 lowercase hexadecimal digits,
    // so that it holds at least 128 random bits and can go on a line of its own anywhere.
    static bool isManagementPassword(QStringView text);
};

} // namespace quellnet
