#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace quellnet {

// The outcome of checking a client profile.
struct ProfileCheck
{
    bool accepted = false;
    // Why the profile was refused, for the log. It names at most a directive, never a value.
    QString reason;
    // The line the refusal is about (from 1), or 0.
    int line = 0;
    // When refused: the RunStatus to report, profileRefused or notAClientProfile.
    std::int32_t status = 0;
    // The accepted profile, rewritten the way openvpn is to read it: one directive a line, every
    // parameter quoted where needed, comments dropped, inline blocks copied unchanged.
    QByteArray sanitized;
};

// Decides whether openvpn, running as root, may be given a client profile that a local user
// supplied. Only the directives a provider's client profile needs are allowed, each with the
// number and kind of parameters it takes; anything that would run a program, load code, read or
// write a file as root, make openvpn listen or take packets from anywhere, touch the management
// interface or change how openvpn is supervised refuses the whole profile (RunStatus::
// profileRefused). Certificates and keys are accepted only as inline blocks. The lines are
// checked first, in order; then the profile must be a client's: `client` (or `tls-client` with
// `pull`) and at least one `remote`, else RunStatus::notAClientProfile.
//
// Lines are cut into parameters exactly as openvpn 2.6 does (blanks separate; double quotes with
// the escapes \\ and \" , single quotes without escapes; backslash-escaped blanks; '#' and ';'
// start comments; a leading "--" is dropped; a lone <tag> opens an inline block that ends at the
// first line starting with </tag>). openvpn reads its file in pieces of 255 bytes and would take
// the rest of a longer line as a line of its own, so longer lines are refused, as are NUL and
// other control characters. The helper hands openvpn `sanitized`, never the original bytes, so
// that what was checked is what runs.
//
// Pure functions without I/O or global state: safe from any thread, and fit for fuzzing.
class ProfileAllowlist
{
public:
    static constexpr qsizetype maxProfileSize = qsizetype { 1024 } * 1024;
    // Bytes before the line feed; openvpn's line buffer holds 255 bytes with the line feed.
    static constexpr qsizetype maxLineLength = 254;
    // openvpn's limits: parameters a line (with the directive) and bytes a parameter.
    static constexpr int maxParameters = 16;
    static constexpr qsizetype maxParameterLength = 256;

    static ProfileCheck check(QByteArrayView profile);

    // One configuration line cut into its parameters as openvpn does it, or nothing where openvpn
    // would refuse the line (bad backslash, open quote, over-long parameter). A comment or blank
    // line gives an empty list. Excess parameters are kept, so a caller can refuse them.
    static std::optional<QList<QByteArray>> splitLine(QByteArrayView line);
};

} // namespace quellnet
