// The root helper's profile allowlist on arbitrary profiles.
//
// A refusal says why in plain words without quoting a value, and hands out nothing. An accepted
// profile's rewritten copy (what openvpn is given) is accepted again and rewrites to itself, and
// openvpn, reading the copy, finds the same directives as in the profile that was checked, none
// of which is one that runs programs, loads code, touches files or the management interface or
// makes openvpn listen as root; and it is a client's profile: `client` (or `tls-client` with
// `pull`) and a `remote`. A refusal is either of the two kinds the helper reports. The reading below follows openvpn 2.6's read_config_file(): pieces of at most 255 bytes,
// a byte-order mark on the first line, a leading "--", and "<tag>" lines that open inline blocks.
#include "fuzz/FuzzCheck.h"
#include "helper/ProfileAllowlist.h"
#include "helperlink/HelperWire.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <optional>

using namespace quellnet;

namespace {

// A directive as openvpn takes it; an inline block is its tag with the block's text.
struct Directive
{
    QByteArray name;
    QList<QByteArray> params;
    bool isInlineBlock = false;

    friend bool operator==(const Directive &, const Directive &) = default;
};

// openvpn's line buffer: 256 bytes with the terminating NUL.
constexpr qsizetype pieceSize = 255;
// openvpn keeps this many parameters a line, the directive included, and ignores the rest.
constexpr qsizetype keptParameters = 16;

class ConfigReader
{
public:
    explicit ConfigReader(QByteArrayView text) : m_text(text) { }

    // The next piece as fgets() hands it over, or nothing at the end.
    std::optional<QByteArrayView> nextPiece()
    {
        if (m_at >= m_text.size())
            return std::nullopt;
        const qsizetype lineFeed = m_text.indexOf('\n', m_at);
        const qsizetype lineLength = lineFeed < 0 ? m_text.size() - m_at : lineFeed - m_at + 1;
        const QByteArrayView piece = m_text.sliced(m_at, std::min(lineLength, pieceSize));
        m_at += piece.size();
        return piece;
    }

private:
    QByteArrayView m_text;
    qsizetype m_at = 0;
};

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The directives of a configuration file, or nothing where openvpn would stop reading it.
std::optional<QList<Directive>> readAsOpenVpn(QByteArrayView text)
{
    QList<Directive> directives;
    ConfigReader reader(text);
    bool first = true;
    while (const std::optional<QByteArrayView> piece = reader.nextPiece()) {
        QByteArrayView line = *piece;
        if (first && line.startsWith("\xEF\xBB\xBF"))
            line = line.sliced(3);
        first = false;

        std::optional<QList<QByteArray>> params = ProfileAllowlist::splitLine(line);
        if (!params)
            return std::nullopt;
        if (params->isEmpty())
            continue;
        if (params->size() > keptParameters)
            params->resize(keptParameters);
        Directive directive;
        directive.name = params->takeFirst();
        if (directive.name.size() >= 3 && directive.name.startsWith("--"))
            directive.name.remove(0, 2);
        directive.params = *params;

        if (directive.params.isEmpty() && directive.name.startsWith('<') && directive.name.endsWith('>')) {
            directive.name = directive.name.sliced(1).chopped(1);
            directive.isInlineBlock = true;
            const QByteArray closeTag = "</" + directive.name + '>';
            QByteArray content;
            bool closed = false;
            while (!closed) {
                const std::optional<QByteArrayView> contentPiece = reader.nextPiece();
                if (!contentPiece)
                    return std::nullopt; // openvpn stops: the end tag is missing
                qsizetype start = 0;
                while (start < contentPiece->size() && isCSpace(contentPiece->at(start)))
                    ++start;
                closed = contentPiece->sliced(start).startsWith(closeTag);
                if (!closed)
                    content += *contentPiece;
            }
            directive.params = { content };
        }
        directives.append(directive);
    }
    return directives;
}

// What must never reach openvpn running as root, whatever the allowlist's own tables say.
bool isDangerous(const Directive &directive)
{
    static const QList<QByteArray> programs { "up", "down", "route-up", "route-pre-down", "ipchange", "tls-verify",
        "auth-user-pass-verify", "client-connect", "client-disconnect", "learn-address", "iproute", "plugin",
        "script-security", "setenv", "setenv-safe", "tls-crypt-v2-verify", "engine", "providers", "daemon", "user",
        "group", "config", "ignore-unknown-option" };
    static const QList<QByteArray> files { "log", "log-append", "status", "writepid", "cd", "chroot", "tmp-dir",
        "askpass", "ca", "cert", "key", "tls-auth", "tls-crypt", "tls-crypt-v2", "pkcs12", "dh", "crl-verify",
        "secret", "capath", "extra-certs", "dev-node", "replay-persist" };
    static const QList<QByteArray> listening { "port", "lport", "bind", "local", "float", "server", "mode",
        "tls-server" };
    static const QList<QByteArray> keyBlocks { "ca", "cert", "key", "tls-auth", "tls-crypt", "tls-crypt-v2",
        "extra-certs" };

    if (directive.isInlineBlock)
        return !keyBlocks.contains(directive.name);
    if (directive.name.startsWith("management"))
        return true;
    if (directive.name == "auth-user-pass")
        return !directive.params.isEmpty();
    // The protocol: proto's parameter, or remote's third.
    const bool protocolGiven = (directive.name == "proto" && directive.params.size() == 1)
        || (directive.name == "remote" && directive.params.size() == 3);
    if (protocolGiven && directive.params.last().endsWith("-server"))
        return true;
    return programs.contains(directive.name) || files.contains(directive.name) || listening.contains(directive.name);
}

bool hasDirective(const QList<Directive> &directives, QByteArrayView name)
{
    for (const Directive &directive : directives) {
        if (!directive.isInlineBlock && directive.name == name)
            return true;
    }
    return false;
}

bool isPlainAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView profile(data, qsizetype(size));
    const ProfileCheck check = ProfileAllowlist::check(profile);

    if (!check.accepted) {
        FUZZ_CHECK(check.status == RunStatus::profileRefused || check.status == RunStatus::notAClientProfile);
        FUZZ_CHECK(check.sanitized.isEmpty());
        FUZZ_CHECK(!check.reason.isEmpty() && isPlainAscii(check.reason));
        FUZZ_CHECK(!check.reason.contains(u'/'));
        FUZZ_CHECK(check.line >= 0 && check.line <= profile.count('\n') + 1);
        return 0;
    }

    FUZZ_CHECK(check.reason.isEmpty() && check.line == 0);
    FUZZ_CHECK(check.sanitized.endsWith('\n'));

    const ProfileCheck again = ProfileAllowlist::check(check.sanitized);
    FUZZ_CHECK(again.accepted);
    FUZZ_CHECK(again.sanitized == check.sanitized);

    const std::optional<QList<Directive>> given = readAsOpenVpn(check.sanitized);
    FUZZ_CHECK(given.has_value() && !given->isEmpty());
    for (const Directive &directive : *given)
        FUZZ_CHECK(!isDangerous(directive));
    const bool client = hasDirective(*given, "client");
    FUZZ_CHECK(client || (hasDirective(*given, "tls-client") && hasDirective(*given, "pull")));
    FUZZ_CHECK(hasDirective(*given, "remote"));
    // Without 'client', openvpn does not make plain "tcp" a client's protocol.
    for (const Directive &directive : *given) {
        if (!client && (directive.name == "proto" || (directive.name == "remote" && directive.params.size() == 3)))
            FUZZ_CHECK(!directive.params.last().startsWith("tcp") || directive.params.last().endsWith("-client"));
    }
    const std::optional<QList<Directive>> checked = readAsOpenVpn(profile);
    FUZZ_CHECK(checked == given);
    return 0;
}
