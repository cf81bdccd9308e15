#include "helper/ProfileAllowlist.h"

#include "helperlink/HelperWire.h"

#include <array>
#include <cstring>
#include <initializer_list>

namespace quellnet {

namespace {

// openvpn's space(): the end of the line or a C-locale blank.
bool isSpace(char c)
{
    return c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isAlnum(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool oneOf(QByteArrayView value, std::initializer_list<const char *> choices)
{
    for (const char *choice : choices) {
        if (value == QByteArrayView(choice))
            return true;
    }
    return false;
}

bool allOf(QByteArrayView value, qsizetype maxLength, bool (*allowed)(char))
{
    if (value.isEmpty() || value.size() > maxLength)
        return false;
    for (char c : value) {
        if (!allowed(c))
            return false;
    }
    return true;
}

// --- Parameter kinds -----------------------------------------------------------------------------

using ParamCheck = bool (*)(QByteArrayView);

bool number(QByteArrayView v)
{
    return allOf(v, 9, isDigit);
}

bool port(QByteArrayView v)
{
    return number(v) && v.toInt() >= 1 && v.toInt() <= 65535;
}

// Names and addresses: host names, IPv4 and IPv6 addresses, never starting with a dash.
bool host(QByteArrayView v)
{
    return allOf(v, 253, [](char c) { return isAlnum(c) || c == '.' || c == ':' || c == '-' || c == '_'; })
        && !v.startsWith('-');
}

// One word of the kinds ciphers, digests, routes and curves are written in.
bool word(QByteArrayView v)
{
    return allOf(v, 250, [](char c) { return isAlnum(c) || std::strchr("_.:+/@=,!-", c) != nullptr; })
        && !v.startsWith('-');
}

// Free text such as a certificate subject: anything printable.
bool text(QByteArrayView v)
{
    return allOf(v, 250, [](char c) { return (c >= 0x20 && c != 0x7f) || (c & 0x80) != 0; });
}

bool hexWord(QByteArrayView v)
{
    return allOf(v, 6, [](char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); });
}

bool deviceName(QByteArrayView v)
{
    return (v.startsWith("tun") || v.startsWith("tap")) && v.size() <= 7
        && allOf(v.sliced(3).isEmpty() ? QByteArrayView("0") : v.sliced(3), 4, isDigit);
}

bool deviceType(QByteArrayView v)
{
    return oneOf(v, { "tun", "tap" });
}

bool protocol(QByteArrayView v)
{
    return oneOf(v, { "udp", "udp4", "udp6", "tcp", "tcp4", "tcp6", "tcp-client", "tcp4-client", "tcp6-client" });
}

bool retryLimit(QByteArrayView v)
{
    return number(v) || v == "infinite";
}

bool lzoMode(QByteArrayView v)
{
    return oneOf(v, { "yes", "no", "adaptive" });
}

bool compression(QByteArrayView v)
{
    return oneOf(v, { "lzo", "lz4", "lz4-v2", "stub", "stub-v2" });
}

bool compressionPolicy(QByteArrayView v)
{
    return oneOf(v, { "no", "asym", "yes" });
}

bool gatewayFlag(QByteArrayView v)
{
    return oneOf(v, { "local", "autolocal", "def1", "bypass-dhcp", "bypass-dns", "block-local", "ipv6", "!ipv4" });
}

bool dhcpOption(QByteArrayView v)
{
    return oneOf(v, { "DNS", "DNS6", "DOMAIN", "DOMAIN-SEARCH", "ADAPTER_DOMAIN_SUFFIX" });
}

bool filterAction(QByteArrayView v)
{
    return oneOf(v, { "accept", "ignore", "reject" });
}

bool topology(QByteArrayView v)
{
    return oneOf(v, { "net30", "p2p", "subnet" });
}

bool x509NameType(QByteArrayView v)
{
    return oneOf(v, { "subject", "name", "name-prefix" });
}

bool orHighest(QByteArrayView v)
{
    return v == "or-highest";
}

bool certProfile(QByteArrayView v)
{
    return oneOf(v, { "insecure", "legacy", "preferred", "suiteb" });
}

bool server(QByteArrayView v)
{
    return v == "server";
}

bool keyDirection(QByteArrayView v)
{
    return oneOf(v, { "0", "1" });
}

bool mtuDiscovery(QByteArrayView v)
{
    return oneOf(v, { "no", "maybe", "yes" });
}

bool fragmentMode(QByteArrayView v)
{
    return v == "mtu";
}

bool mssfixMode(QByteArrayView v)
{
    return oneOf(v, { "mtu", "fixed" });
}

// --- The allowlist -------------------------------------------------------------------------------

struct Rule
{
    const char *name;
    int minParams;
    int maxParams;
    // The kind of the first, second, and third and every further parameter.
    std::array<ParamCheck, 3> params;
};

const Rule rules[] = {
    // Role and transport.
    { "client", 0, 0, {} },
    { "tls-client", 0, 0, {} },
    { "pull", 0, 0, {} },
    { "dev", 1, 1, { deviceName } },
    { "dev-type", 1, 1, { deviceType } },
    { "proto", 1, 1, { protocol } },
    { "remote", 1, 3, { host, port, protocol } },
    { "rport", 1, 1, { port } },
    { "nobind", 0, 0, {} },
    { "remote-random", 0, 0, {} },
    { "remote-random-hostname", 0, 0, {} },
    { "resolv-retry", 1, 1, { retryLimit } },
    { "connect-retry", 1, 2, { number, number } },
    { "connect-retry-max", 1, 1, { number } },
    { "connect-timeout", 1, 1, { number } },
    { "server-poll-timeout", 1, 1, { number } },
    { "persist-key", 0, 0, {} },
    { "persist-tun", 0, 0, {} },
    { "persist-remote-ip", 0, 0, {} },
    { "persist-local-ip", 0, 0, {} },
    { "disable-dco", 0, 0, {} },
    { "topology", 1, 1, { topology } },
    { "tun-ipv6", 0, 0, {} },
    { "ifconfig-nowarn", 0, 0, {} },
    { "allow-pull-fqdn", 0, 0, {} },
    { "pull-filter", 2, 2, { filterAction, text } },
    // Cryptography and peer verification.
    { "cipher", 1, 1, { word } },
    { "data-ciphers", 1, 1, { word } },
    { "ncp-ciphers", 1, 1, { word } },
    { "data-ciphers-fallback", 1, 1, { word } },
    { "auth", 1, 1, { word } },
    { "tls-cipher", 1, 1, { word } },
    { "tls-ciphersuites", 1, 1, { word } },
    { "tls-groups", 1, 1, { word } },
    { "ecdh-curve", 1, 1, { word } },
    { "tls-version-min", 1, 2, { word, orHighest } },
    { "tls-version-max", 1, 1, { word } },
    { "tls-cert-profile", 1, 1, { certProfile } },
    { "remote-cert-tls", 1, 1, { server } },
    { "ns-cert-type", 1, 1, { server } },
    { "remote-cert-ku", 1, 8, { hexWord, hexWord, hexWord } },
    { "remote-cert-eku", 1, 1, { text } },
    { "verify-x509-name", 1, 2, { text, x509NameType } },
    { "key-direction", 1, 1, { keyDirection } },
    { "auth-user-pass", 0, 0, {} },
    { "auth-nocache", 0, 0, {} },
    { "push-peer-info", 0, 0, {} },
    { "tls-exit", 0, 0, {} },
    // Compression.
    { "comp-lzo", 0, 1, { lzoMode } },
    { "compress", 0, 1, { compression } },
    { "allow-compression", 1, 1, { compressionPolicy } },
    // Routes and name servers.
    { "route", 1, 4, { word, word, word } },
    { "route-ipv6", 1, 3, { word, word, word } },
    { "route-metric", 1, 1, { number } },
    { "route-delay", 0, 2, { number, number } },
    { "route-gateway", 1, 1, { word } },
    { "route-nopull", 0, 0, {} },
    { "redirect-gateway", 0, 8, { gatewayFlag, gatewayFlag, gatewayFlag } },
    { "redirect-private", 0, 8, { gatewayFlag, gatewayFlag, gatewayFlag } },
    { "block-ipv6", 0, 0, {} },
    { "dhcp-option", 2, 2, { dhcpOption, host } },
    // Timers.
    { "ping", 1, 1, { number } },
    { "ping-restart", 1, 1, { number } },
    { "ping-exit", 1, 1, { number } },
    { "ping-timer-rem", 0, 0, {} },
    { "keepalive", 2, 2, { number, number } },
    { "inactive", 1, 2, { number, number } },
    { "hand-window", 1, 1, { number } },
    { "tran-window", 1, 1, { number } },
    { "tls-timeout", 1, 1, { number } },
    { "reneg-sec", 1, 2, { number, number } },
    { "reneg-bytes", 1, 1, { number } },
    { "reneg-pkts", 1, 1, { number } },
    { "replay-window", 1, 2, { number, number } },
    { "explicit-exit-notify", 0, 1, { number } },
    // Messages.
    { "verb", 1, 1, { number } },
    { "mute", 1, 1, { number } },
    { "mute-replay-warnings", 0, 0, {} },
    { "suppress-timestamps", 0, 0, {} },
    // Link tuning.
    { "tun-mtu", 1, 1, { number } },
    { "link-mtu", 1, 1, { number } },
    { "fragment", 1, 2, { number, fragmentMode } },
    { "mssfix", 0, 2, { number, mssfixMode } },
    { "mtu-disc", 1, 1, { mtuDiscovery } },
    { "sndbuf", 1, 1, { number } },
    { "rcvbuf", 1, 1, { number } },
    { "txqueuelen", 1, 1, { number } },
    { "fast-io", 0, 0, {} },
    { "passtos", 0, 0, {} },
};

// Certificates and keys are taken only inline: as directives they name files, read as root.
const char *const inlineBlocks[] = { "ca", "cert", "key", "tls-auth", "tls-crypt", "tls-crypt-v2", "extra-certs" };

struct Refusal
{
    std::initializer_list<const char *> names;
    const char *reason;
};

// Why well-known directives are refused; anything else not allowed gets a plain refusal.
const Refusal refusals[] = {
    { { "up", "down", "route-up", "route-pre-down", "ipchange", "tls-verify", "auth-user-pass-verify", "client-connect",
          "client-disconnect", "learn-address", "iproute", "tls-crypt-v2-verify" },
        "runs a program as root" },
    { { "plugin", "engine", "providers", "pkcs11-providers", "pkcs11-id", "pkcs11-id-management" },
        "loads code into openvpn" },
    { { "setenv", "setenv-safe" }, "sets variables for the scripts that run as root" },
    { { "config" }, "reads another configuration file as root" },
    { { "log", "log-append", "status", "writepid", "tmp-dir", "cd", "chroot", "askpass", "pkcs12", "dh", "crl-verify",
          "secret", "capath", "dev-node", "replay-persist", "tls-export-cert", "auth-gen-token-secret",
          "ifconfig-pool-persist", "client-config-dir", "http-proxy-user-pass", "ca", "cert", "key", "tls-auth",
          "tls-crypt", "tls-crypt-v2", "extra-certs" },
        "reads or writes a file as root (certificates and keys belong in inline blocks)" },
    { { "port", "lport", "bind", "local", "float" },
        "would make openvpn listen, or take packets from any address, as root" },
    { { "user", "group" }, "changes the user or group openvpn runs as" },
    { { "daemon", "inetd" }, "takes openvpn out of the helper's supervision" },
    { { "script-security", "auth-retry", "management-query-passwords", "down-pre" }, "is set by the helper" },
    { { "up-delay", "up-restart" }, "changes when the helper's scripts run" },
    { { "connection" }, "opens a block of its own, which is not supported" },
    { { "ignore-unknown-option" }, "would hide directives from this check" },
};

const Rule *findRule(QByteArrayView name)
{
    for (const Rule &rule : rules) {
        if (name == QByteArrayView(rule.name))
            return &rule;
    }
    return nullptr;
}

bool isInlineBlock(QByteArrayView tag)
{
    for (const char *name : inlineBlocks) {
        if (tag == QByteArrayView(name))
            return true;
    }
    return false;
}

// A directive's name fit to appear in the log: it comes from the user's file, so only a
// directive-like word is shown, never a value that might be a key.
QString shownName(QByteArrayView name)
{
    const bool plain = !name.isEmpty() && name.size() <= 40 && (name[0] >= 'a' && name[0] <= 'z')
        && allOf(name, 40, [](char c) { return (c >= 'a' && c <= 'z') || isDigit(c) || c == '-'; });
    return plain ? QStringLiteral("'%1'").arg(QString::fromLatin1(name)) : QStringLiteral("an unknown directive");
}

QString refusalFor(QByteArrayView name)
{
    if (name.startsWith("management"))
        return QStringLiteral("%1 opens or changes the management interface").arg(shownName(name));
    for (const Refusal &refusal : refusals) {
        for (const char *refused : refusal.names) {
            if (name == QByteArrayView(refused))
                return QStringLiteral("%1 %2").arg(shownName(name), QLatin1String(refusal.reason));
        }
    }
    return QStringLiteral("%1 is not allowed").arg(shownName(name));
}

QString checkParams(const Rule &rule, const QList<QByteArray> &params)
{
    const int count = int(params.size());
    if (rule.name == QByteArrayView("auth-user-pass") && count > 0)
        return QStringLiteral("'auth-user-pass' with a file reads that file as root");
    if (count < rule.minParams || count > rule.maxParams) {
        return QStringLiteral("'%1' takes %2 to %3 parameters, not %4")
            .arg(QLatin1String(rule.name))
            .arg(rule.minParams)
            .arg(rule.maxParams)
            .arg(count);
    }
    for (int i = 0; i < count; ++i) {
        const ParamCheck check = rule.params[size_t(std::min(i, 2))];
        if (!check || !check(params[i]))
            return QStringLiteral("parameter %1 of '%2' is not acceptable").arg(i + 1).arg(QLatin1String(rule.name));
    }
    return {};
}

// A parameter as openvpn is to read it back: bare where that is unambiguous, else in double quotes.
QByteArray written(const QByteArray &param)
{
    const bool bare = allOf(param, ProfileAllowlist::maxParameterLength,
        [](char c) { return isAlnum(c) || std::strchr("_.:+/@=,!-", c) != nullptr; });
    if (bare)
        return param;
    QByteArray escaped = param;
    escaped.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + escaped + '"';
}

// What makes a raw line unusable whatever it says.
QString lineProblem(QByteArrayView line)
{
    QByteArrayView body = line;
    if (body.endsWith('\n'))
        body.chop(1);
    if (body.size() > ProfileAllowlist::maxLineLength)
        return QStringLiteral("is longer than %1 bytes").arg(ProfileAllowlist::maxLineLength);
    for (char c : body) {
        if ((c >= 0 && c < 0x20 && c != '\t' && c != '\r') || c == 0x7f)
            return QStringLiteral("holds a control character");
    }
    return {};
}

QByteArrayView leftTrimmed(QByteArrayView line)
{
    while (!line.isEmpty() && isSpace(line.front()) && line.front() != '\0')
        line = line.sliced(1);
    return line;
}

QList<QByteArrayView> splitIntoLines(QByteArrayView text)
{
    QList<QByteArrayView> lines;
    while (!text.isEmpty()) {
        const qsizetype end = text.indexOf('\n');
        const qsizetype length = end < 0 ? text.size() : end + 1;
        lines.append(text.first(length));
        text = text.sliced(length);
    }
    return lines;
}

ProfileCheck refuse(int line, const QString &reason, std::int32_t status = RunStatus::profileRefused)
{
    ProfileCheck result;
    result.line = line;
    result.status = status;
    result.reason = line > 0 ? QStringLiteral("line %1 %2").arg(line).arg(reason) : reason;
    return result;
}

} // namespace

std::optional<QList<QByteArray>> ProfileAllowlist::splitLine(QByteArrayView line)
{
    enum class State { Initial, Quoted, Unquoted, SingleQuoted };

    QList<QByteArray> params;
    QByteArray param;
    State state = State::Initial;
    bool backslash = false;

    // Like openvpn, look at the terminating NUL as well: it ends an unquoted parameter.
    for (qsizetype i = 0; i <= line.size(); ++i) {
        const char in = i < line.size() ? line[i] : '\0';
        char out = 0;
        if (!backslash && in == '\\' && state != State::SingleQuoted) {
            backslash = true;
        } else {
            bool done = false;
            switch (state) {
            case State::Initial:
                if (!isSpace(in)) {
                    if (in == ';' || in == '#')
                        return params; // the rest is a comment
                    if (!backslash && in == '"') {
                        state = State::Quoted;
                    } else if (!backslash && in == '\'') {
                        state = State::SingleQuoted;
                    } else {
                        out = in;
                        state = State::Unquoted;
                    }
                }
                break;
            case State::Unquoted:
                if (!backslash && isSpace(in))
                    done = true;
                else
                    out = in;
                break;
            case State::Quoted:
                if (!backslash && in == '"')
                    done = true;
                else
                    out = in;
                break;
            case State::SingleQuoted:
                if (in == '\'')
                    done = true;
                else
                    out = in;
                break;
            }
            if (done) {
                params.append(param);
                param.clear();
                state = State::Initial;
            }
            // Only \\, \" and an escaped blank are escapes; openvpn refuses the line otherwise.
            if (backslash && out != 0 && !(out == '\\' || out == '"' || isSpace(out)))
                return std::nullopt;
            backslash = false;
        }
        if (out != 0) {
            if (param.size() >= maxParameterLength)
                return std::nullopt;
            param.append(out);
        }
    }
    if (state != State::Initial)
        return std::nullopt;
    return params;
}

ProfileCheck ProfileAllowlist::check(QByteArrayView profile)
{
    if (profile.size() > maxProfileSize)
        return refuse(0, QStringLiteral("the profile is larger than %1 bytes").arg(maxProfileSize));

    const QList<QByteArrayView> lines = splitIntoLines(profile);
    QByteArray sanitized;
    sanitized.reserve(profile.size());
    bool anyDirective = false;
    // What makes a client profile, and the first line that asks for plain "tcp".
    bool client = false, tlsClient = false, pull = false, remote = false;
    int plainTcpLine = 0;

    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i + 1);
        QByteArrayView line = lines[i];
        if (const QString problem = lineProblem(line); !problem.isEmpty())
            return refuse(number, problem);
        if (i == 0 && line.startsWith("\xEF\xBB\xBF"))
            line = line.sliced(3);

        const std::optional<QList<QByteArray>> params = splitLine(line);
        if (!params)
            return refuse(number, QStringLiteral("cannot be read (quotes or backslashes)"));
        if (params->isEmpty())
            continue;
        if (params->size() > maxParameters)
            return refuse(number, QStringLiteral("has more than %1 parameters").arg(maxParameters));

        QByteArray name = params->first();
        if (name.size() >= 3 && name.startsWith("--"))
            name = name.mid(2);
        anyDirective = true;

        if (params->size() == 1 && name.startsWith('<') && name.endsWith('>') && name.size() >= 2) {
            const QByteArray tag = name.mid(1, name.size() - 2);
            if (!isInlineBlock(tag)) {
                return refuse(number,
                    tag == "connection" ? refusalFor(tag)
                                        : QStringLiteral("inline block %1 is not allowed").arg(shownName(tag)));
            }
            const QByteArray closeTag = "</" + tag + '>';
            sanitized += '<' + tag + ">\n";
            bool closed = false;
            while (!closed && ++i < lines.size()) {
                const QByteArrayView content = lines[i];
                if (const QString problem = lineProblem(content); !problem.isEmpty())
                    return refuse(int(i + 1), problem);
                closed = leftTrimmed(content).startsWith(closeTag);
                if (!closed)
                    sanitized += content;
            }
            if (!closed)
                return refuse(number, QStringLiteral("inline block '%1' is never closed").arg(QLatin1String(tag)));
            sanitized += closeTag + '\n';
            continue;
        }

        const Rule *rule = findRule(name);
        if (!rule)
            return refuse(number, refusalFor(name));
        const QList<QByteArray> values = params->mid(1);
        if (const QString problem = checkParams(*rule, values); !problem.isEmpty())
            return refuse(number, problem);
        client = client || name == "client";
        tlsClient = tlsClient || name == "tls-client";
        pull = pull || name == "pull";
        remote = remote || name == "remote";
        const QByteArray *protocolValue = name == "proto" ? &values[0]
            : name == "remote" && values.size() == 3      ? &values[2]
                                                          : nullptr;
        if (protocolValue && !plainTcpLine && oneOf(*protocolValue, { "tcp", "tcp4", "tcp6" }))
            plainTcpLine = number;

        QByteArray directive = name;
        for (const QByteArray &value : values)
            directive += ' ' + written(value);
        if (directive.size() > maxLineLength)
            return refuse(number, QStringLiteral("would be longer than %1 bytes once rewritten").arg(maxLineLength));
        sanitized += directive + '\n';
    }

    if (!anyDirective)
        return refuse(0, QStringLiteral("the profile holds no directive"), RunStatus::notAClientProfile);
    if (!client && !(tlsClient && pull)) {
        return refuse(0, QStringLiteral("not a client profile: 'client' (or 'tls-client' with 'pull') is missing"),
            RunStatus::notAClientProfile);
    }
    if (!remote)
        return refuse(0, QStringLiteral("not a client profile: 'remote' is missing"), RunStatus::notAClientProfile);
    // Only 'client' turns plain "tcp" into "tcp-client"; otherwise openvpn could take it as a server.
    if (!client && plainTcpLine) {
        return refuse(plainTcpLine,
            QStringLiteral("asks for plain 'tcp' without 'client', which could make openvpn listen; 'tcp-client' "
                           "is allowed"));
    }
    ProfileCheck result;
    result.accepted = true;
    result.sanitized = std::move(sanitized);
    return result;
}

} // namespace quellnet
