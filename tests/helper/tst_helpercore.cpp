// The root helper's own parts, without its daemon: its profile allowlist; client.up and client.down,
// run the way openvpn runs them (route-up, then down, with the state folder as their argument), against
// recording stand-ins for resolvectl, systemctl, resolvconf and ip placed first on their PATH, each case
// in a mount namespace of its own with a private /etc, so that the /etc/resolv.conf path is exercised
// for real and the machine's file is never touched; and the helper's own restore of what they
// recorded. Runs in a network namespace of its own.
#include "helper/ProfileAllowlist.h"
#include "helper/ResolverState.h"
#include "helperlink/HelperWire.h"
#include "tests/support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

// Each stand-in appends "name|arg|arg|" to calls. ip answers route lookups: the tunnel device is the
// way to the internet when the file full-tunnel exists. resolvectl fails for an address listed in
// refuse. systemctl reports systemd-resolved running when resolved-runs exists.
const char *const standIns = R"sh(
cat >resolvectl <<'EOF'
#!/bin/sh
printf 'resolvectl|' >>"$STANDIN/calls"; printf '%s|' "$@" >>"$STANDIN/calls"; echo >>"$STANDIN/calls"
for a; do grep -qxF -- "$a" "$STANDIN/refuse" 2>/dev/null && exit 1; done
exit 0
EOF
cat >systemctl <<'EOF'
#!/bin/sh
[ -e "$STANDIN/resolved-runs" ]
EOF
cat >resolvconf <<'EOF'
#!/bin/sh
[ "$1" = --version ] && exit 1
printf 'resolvconf|' >>"$STANDIN/calls"; printf '%s|' "$@" >>"$STANDIN/calls"; echo >>"$STANDIN/calls"
[ "$1" = -a ] && sed 's/^/  /' >>"$STANDIN/calls"
exit 0
EOF
cat >ip <<'EOF'
#!/bin/sh
case "$*" in
*'-6 -o route get'*)
    echo "$5 from :: via fe80::1 dev eth0 proto ra src 2001:db8:1::2 metric 1024 pref medium"
    exit 0 ;;
*'route get'*)
    for to; do :; done
    if [ -e "$STANDIN/full-tunnel" ]; then echo "$to dev tun7 src 10.8.0.2 uid 0"; else echo "$to via 192.168.1.1 dev eth0 src 192.168.1.2 uid 0"; fi
    exit 0 ;;
*'route show'*)
    [ -e "$STANDIN/guard" ] && echo "unreachable ::/3 dev lo proto 157 metric 1024"
    exit 0 ;;
*'route replace'*) : >"$STANDIN/guard" ;;
*'route del'*) rm -f "$STANDIN/guard" ;;
esac
printf 'ip|' >>"$STANDIN/calls"; printf '%s|' "$@" >>"$STANDIN/calls"; echo >>"$STANDIN/calls"
EOF
chmod 755 resolvectl systemctl resolvconf ip
)sh";

const char *const lanFile = "nameserver 192.168.1.1\nsearch lan\ntarget: nameserver 192.168.1.1\n";

// Runs inside the private mount namespace: a fresh /etc, the original resolv.conf as the case
// wants it, then the scripts, and what /etc/resolv.conf was after each.
const char *const runCase = R"sh(
set -e
mount -t tmpfs none /etc
mkdir /etc/nm
printf 'nameserver 192.168.1.1\n' >/etc/nm/resolv.conf
case $ORIGINAL in
file) printf 'nameserver 192.168.1.1\nsearch lan\n' >/etc/resolv.conf ;;
link) ln -s nm/resolv.conf /etc/resolv.conf ;;
esac
show() {
    if [ -L /etc/resolv.conf ]; then echo "link to $(readlink /etc/resolv.conf)"
    elif [ -e /etc/resolv.conf ]; then grep -v '^#' /etc/resolv.conf; else echo absent; fi
    echo "target: $(cat /etc/nm/resolv.conf)"
}
set +e
script_type=route-up sh "$SCRIPTS/client.up" "$STATE" tun7 1500 0 10.8.0.2 255.255.255.0 init
show >"$STANDIN/after-up"
eval "$MEANWHILE"
script_type=down sh "$SCRIPTS/client.down" "$STATE" tun7 1500 0 10.8.0.2 255.255.255.0 init
show >"$STANDIN/after-down"
ls -A "$STATE" >"$STANDIN/state-left"
)sh";

// The stand-in for /etc and the helper's runtime folder (state/) of the restore's cases, with a
// resolvconf stand-in that writes down its arguments; $1 is the folder.
const char *const restoreSetup = R"sh(cd "$1"; umask 022; mkdir -p etc/nm state
echo 'nameserver 192.168.1.1' >etc/nm/resolv.conf
printf '#!/bin/sh\ncd "$(dirname "$0")"; printf "%%s " "$@" >>calls; echo >>calls\n' >resolvconf; chmod 700 resolvconf
)sh";

// One case: the resolver the machine has (resolved, resolvconf or none), whether the tunnel takes the
// default route, what /etc/resolv.conf is first (file, link or absent), the pushed options
// (foreign_option_1, _2, ... one a line; first "v6": the tunnel has IPv6, "over v6": the server is
// reached over IPv6), shell to run between up and down ("refuse X": resolvectl refuses X), the calls
// of the stand-ins, and /etc/resolv.conf after up and after down.
struct Case
{
    QString resolver;
    bool fullTunnel = false;
    QString original;
    QString options;
    QString meanwhile;
    QByteArray calls;
    QByteArray afterUp = lanFile;
    QByteArray afterDown = lanFile;
};

} // namespace

Q_DECLARE_METATYPE(Case)

class TestHelperCore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_state;
    bool m_namespaces = false; // whether a private mount namespace can be had

    // Runs `script` in a mount namespace of its own, with the stand-ins (from `path`) first on the PATH.
    bool runPrivately(QProcessEnvironment environment, const QString &path, const QString &script)
    {
        environment.insert(u"PATH"_s, path + u":/usr/bin:/bin"_s);
        environment.insert(u"STANDIN"_s, m_dir.path());
        environment.insert(u"SCRIPTS"_s, QStringLiteral(QUELLNET_SOURCE_DIR "/resources"));
        environment.insert(u"STATE"_s, m_state);
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(u"unshare"_s,
            { ::geteuid() == 0 ? u"-m"_s : u"-rm"_s, u"--propagation"_s, u"private"_s, u"/bin/sh"_s, u"-c"_s, script });
        return process.waitForFinished(20000) && process.exitCode() == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QCOMPARE(
            QProcess::execute(u"/bin/sh"_s, { u"-ec"_s, u"cd %1\n"_s.arg(m_dir.path()) + QLatin1String(standIns) }), 0);
        // The same stand-ins without resolvconf.
        QVERIFY(QDir(m_dir.path()).mkdir(u"no-resolvconf"_s));
        for (const char *tool : { "resolvectl", "systemctl", "ip" })
            QVERIFY(QFile::link(
                m_dir.filePath(QLatin1String(tool)), m_dir.filePath(u"no-resolvconf/"_s + QLatin1String(tool))));
        // The scripts only use a state folder that is root's alone; in a user namespace we are root.
        m_state = m_dir.filePath(u"state"_s);
        QVERIFY(QDir().mkdir(m_state));
        QVERIFY(QFile::setPermissions(m_state, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_namespaces = QProcess::execute(u"unshare"_s, { ::geteuid() == 0 ? u"-m"_s : u"-rm"_s, u"true"_s }) == 0;
    }

    void scripts_data()
    {
        QTest::addColumn<Case>("script");
        const QByteArray link = "link to nm/resolv.conf\ntarget: nameserver 192.168.1.1\n";
        const QByteArray guardUp = "ip|-6|route|replace|unreachable|::/3|proto|157|\n"
                                   "ip|-6|route|replace|unreachable|2000::/4|proto|157|\n"
                                   "ip|-6|route|replace|unreachable|3000::/4|proto|157|\n"
                                   "ip|-6|route|replace|unreachable|fc00::/7|proto|157|\n";
        QByteArray guardDown = guardUp;
        guardDown.replace("|replace|", "|del|");
        const QString corp = u"dhcp-option DNS 10.8.0.1\ndhcp-option DOMAIN corp.example\n"
                             "dhcp-option DNS6 fd00::53\ndhcp-option DOMAIN-SEARCH lab.corp.example"_s;
        const QByteArray ours = "nameserver 10.8.0.1\nnameserver fd00::53\nsearch corp.example lab.corp.example\n"
                                "target: nameserver 192.168.1.1\n";
        const QByteArray revert = "resolvectl|revert|tun7|\n";
        const std::pair<const char *, Case> cases[] = {
            { "resolved, full tunnel: ~. and the default route, IPv6 blocked",
                { u"resolved"_s, true, u"file"_s, corp, {},
                    guardUp
                        + "resolvectl|dns|tun7|10.8.0.1|fd00::53|\n"
                          "resolvectl|domain|tun7|corp.example|lab.corp.example|~.|\n"
                          "resolvectl|default-route|tun7|yes|\n"
                        + guardDown + revert } },
            { "resolved, split tunnel: only the pushed domains",
                { u"resolved"_s, false, u"file"_s, corp, {},
                    "resolvectl|dns|tun7|10.8.0.1|fd00::53|\nresolvectl|domain|tun7|corp.example|lab.corp.example|\n"
                        + revert } },
            { "resolved, malformed DNS6 among good ones: dropped one by one",
                { u"resolved"_s, false, u"file"_s,
                    u"dhcp-option DNS6 fd00::53\ndhcp-option DNS6 12345::1\ndhcp-option DNS6 1:2:3\n"
                    "dhcp-option DNS6 fd00::1%tun7\ndhcp-option DNS6 1::2::3\ndhcp-option DNS 10.8.0.1\n"
                    "dhcp-option DNS6 2001:db8:0:0:0:0:0:53"_s,
                    {}, "resolvectl|dns|tun7|fd00::53|10.8.0.1|2001:db8:0:0:0:0:0:53|\n" + revert } },
            { "resolved refuses one server: the others still apply",
                { u"resolved"_s, false, u"file"_s, u"dhcp-option DNS6 fe80::1\ndhcp-option DNS 10.8.0.1"_s,
                    u"refuse fe80::1"_s,
                    "resolvectl|dns|tun7|fe80::1|10.8.0.1|\nresolvectl|dns|tun7|fe80::1|\n"
                    "resolvectl|dns|tun7|10.8.0.1|\nresolvectl|dns|tun7|10.8.0.1|\n"
                        + revert } },
            { "resolved, full tunnel, no DNS pushed: no ~. to nowhere",
                { u"resolved"_s, true, u"file"_s, {}, {}, guardUp + guardDown + revert } },
            { "full tunnel that carries IPv6: IPv6 untouched",
                { u"resolved"_s, true, u"file"_s, u"v6\ndhcp-option DNS 10.8.0.1"_s, {},
                    "resolvectl|dns|tun7|10.8.0.1|\nresolvectl|domain|tun7|~.|\nresolvectl|default-route|tun7|yes|\n"
                        + revert } },
            { "full tunnel to a server over IPv6: the server keeps its way",
                { u"resolved"_s, true, u"file"_s, u"over v6"_s, {},
                    "ip|-6|route|replace|2001:db8:9::1/128|via|fe80::1|dev|eth0|proto|157|\n" + guardUp + guardDown
                        + "ip|-6|route|del|2001:db8:9::1/128|proto|157|\n" + revert } },
            { "hostile values are dropped, never run",
                { u"resolved"_s, false, u"file"_s,
                    u"dhcp-option DNS 10.8.0.1;touch pwned\ndhcp-option DNS $(touch pwned)\n"
                    "dhcp-option DOMAIN `touch pwned`\ndhcp-option DOMAIN -x.example\ndhcp-option DOMAIN *\n"
                    "dhcp-option DNS 256.1.1.1\ndhcp-option DNS 10.8.0.9 10.8.0.10\ndhcp-option DNS 10.8.0.9"_s,
                    {}, "resolvectl|dns|tun7|10.8.0.9|\n" + revert } },
            { "resolvconf: the device's record, then deleted",
                { u"resolvconf"_s, true, u"file"_s, corp, {},
                    guardUp
                        + "resolvconf|-a|tun7.quellnet|\n"
                          "  # Written by the Quellnet VPN helper while its tunnel is up; the previous file comes "
                          "back when it ends.\n"
                          "  nameserver 10.8.0.1\n  nameserver fd00::53\n  search corp.example lab.corp.example\n"
                        + guardDown + "resolvconf|-d|tun7.quellnet|\n" } },
            { "resolv.conf as a link: moved aside and back, its target untouched",
                { u"none"_s, true, u"link"_s, corp, {}, guardUp + guardDown, ours, link } },
            { "resolv.conf absent: absent again",
                { u"none"_s, false, u"absent"_s, corp, {}, {}, ours, "absent\ntarget: nameserver 192.168.1.1\n" } },
            { "resolv.conf replaced by someone else meanwhile: theirs stays",
                { u"none"_s, false, u"file"_s, corp, u"printf 'nameserver 192.168.7.7\\n' >/etc/resolv.conf"_s, {},
                    ours, "nameserver 192.168.7.7\ntarget: nameserver 192.168.1.1\n" } },
            { "no name servers pushed: resolv.conf untouched",
                { u"none"_s, false, u"file"_s, u"dhcp-option DOMAIN corp.example"_s, {}, {} } },
        };
        for (const auto &[name, script] : cases)
            QTest::newRow(name) << script;
    }
    void scripts()
    {
        if (!m_namespaces)
            QSKIP("needs a private mount namespace (unshare -m, or -rm as a normal user)");
        QFETCH(Case, script);
        for (const char *file : { "calls", "refuse", "full-tunnel", "resolved-runs", "guard", "resolvconf-off" })
            QFile::remove(m_dir.filePath(QLatin1String(file)));
        if (script.fullTunnel)
            QVERIFY(writeFile(m_dir.filePath(u"full-tunnel"_s), {}));
        if (script.resolver == u"resolved")
            QVERIFY(writeFile(m_dir.filePath(u"resolved-runs"_s), {}));
        if (script.meanwhile.startsWith(u"refuse ")) {
            QVERIFY(writeFile(m_dir.filePath(u"refuse"_s), script.meanwhile.mid(7).toUtf8() + '\n'));
            script.meanwhile.clear();
        }
        const QString path = m_dir.filePath(script.resolver == u"resolvconf" ? u"."_s : u"no-resolvconf"_s);

        QProcessEnvironment environment;
        environment.insert(u"ORIGINAL"_s, script.original);
        environment.insert(u"MEANWHILE"_s, script.meanwhile);
        environment.insert(u"dev"_s, u"tun7"_s);
        QStringList pushed = script.options.split(u'\n', Qt::SkipEmptyParts);
        if (pushed.value(0) == u"v6") {
            pushed.removeFirst();
            environment.insert(u"ifconfig_ipv6_local"_s, u"fd00:8::2"_s);
        } else if (pushed.value(0) == u"over v6") {
            pushed.removeFirst();
            environment.insert(u"trusted_ip6"_s, u"2001:db8:9::1"_s);
        }
        for (qsizetype i = 0; i < pushed.size(); ++i)
            environment.insert(u"foreign_option_%1"_s.arg(i + 1), pushed[i]);

        QVERIFY(runPrivately(environment, path, QLatin1String(runCase)));
        QCOMPARE(readFile(m_dir.filePath(u"calls"_s)), script.calls);
        QCOMPARE(readFile(m_dir.filePath(u"after-up"_s)), script.afterUp);
        QCOMPARE(readFile(m_dir.filePath(u"after-down"_s)), script.afterDown);
        QCOMPARE(readFile(m_dir.filePath(u"state-left"_s)), QByteArray());
        QVERIFY2(!QFile::exists(m_dir.filePath(u"pwned"_s)), "a pushed value was executed");
    }

    // Neither script acts on a device name or a state folder it cannot trust.
    void untrustedArguments_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("state");
        QTest::newRow("a device name that is no name") << u"tun0;touch pwned"_s << u"$STATE"_s;
        QTest::newRow("a relative state folder") << u"tun7"_s << u"state"_s;
        QTest::newRow("a state folder others may enter") << u"tun7"_s << u"$STANDIN"_s;
    }
    void untrustedArguments()
    {
        if (!m_namespaces)
            QSKIP("needs a private mount namespace (unshare -m, or -rm as a normal user)");
        QFETCH(QString, device);
        QFETCH(QString, state);
        QFile::remove(m_dir.filePath(u"calls"_s));
        QVERIFY(writeFile(m_dir.filePath(u"resolved-runs"_s), {}));
        QVERIFY(QFile::setPermissions(
            m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));
        QProcessEnvironment environment;
        environment.insert(u"dev"_s, device);
        environment.insert(u"foreign_option_1"_s, u"dhcp-option DNS 10.8.0.1"_s);
        QVERIFY(runPrivately(environment, m_dir.path(),
            u"sh \"$SCRIPTS/client.up\" \"%1\" && sh \"$SCRIPTS/client.down\" \"%1\""_s.arg(state)));
        QCOMPARE(readFile(m_dir.filePath(u"calls"_s)), QByteArray());
        QVERIFY(!QFile::exists(m_dir.filePath(u"pwned"_s)));
    }

    // The helper's restore of what client.up recorded, for when openvpn ended without client.down, on
    // files in a temporary folder that stands in for /etc (the stack's end-to-end test does the same on
    // its machine's real path). A resolvconf record is deleted only when it names a device.
    void restore_data()
    {
        QTest::addColumn<QString>("left"); // shell in a folder with etc/nm/resolv.conf (the LAN's) and state/
        QTest::addColumn<QString>("after"); // etc/resolv.conf then
        QTest::addColumn<QByteArray>("calls"); // of resolvconf
        const QString ours = u"echo '# tunnel' >state/resolv.conf.ours; cp state/resolv.conf.ours etc/resolv.conf; "_s;
        const QString lan = u"file rw-r--r--: nameserver 192.168.1.1\n"_s;
        const auto row = [](const char *name, const QString &left, const QString &after, const QByteArray &calls = {}) {
            QTest::newRow(name) << left << after << calls;
        };
        row("a file comes back", ours + u"cp etc/nm/resolv.conf state/resolv.conf.backup"_s, lan);
        row("a link comes back as the same link", ours + u"ln -s nm/resolv.conf state/resolv.conf.backup"_s,
            u"link to nm/resolv.conf"_s);
        row("no file before: none after", ours + u"touch state/resolv.conf.absent"_s, u"absent"_s);
        row("replaced by someone else: theirs stays",
            ours + u"cp etc/nm/resolv.conf state/resolv.conf.backup; echo '# theirs' >etc/resolv.conf"_s,
            u"file rw-r--r--: # theirs\n"_s);
        // client.down ran, or client.up never did.
        row("nothing recorded: untouched", u"cp etc/nm/resolv.conf etc/; echo '# tunnel' >state/resolv.conf.ours"_s,
            lan);
        row("the device's resolvconf record is deleted", u"echo 'resolvconf tun7' >state/dns-method"_s, u"absent"_s,
            "-d tun7.quellnet \n");
        row("an option for a device", u"echo 'resolvconf -a' >state/dns-method"_s, u"absent"_s);
        row("a path for a device", u"echo 'resolvconf ../x' >state/dns-method"_s, u"absent"_s);
        row("systemd-resolved forgets the device by itself", u"echo 'resolved tun7' >state/dns-method"_s, u"absent"_s);
    }
    void restore()
    {
        QFETCH(QString, left);
        QFETCH(QString, after);
        QFETCH(QByteArray, calls);
        QTemporaryDir root;
        const QString etc = root.filePath(u"etc"_s), target = etc + u"/resolv.conf"_s;
        const QString state = root.filePath(u"state"_s), resolvconf = root.filePath(u"resolvconf"_s);
        QCOMPARE(
            QProcess::execute(u"/bin/sh"_s, { u"-ec"_s, QLatin1String(restoreSetup) + left, u"sh"_s, root.path() }), 0);
        const auto described = [&] {
            const QFileInfo file(target);
            if (file.isSymLink())
                return u"link to "_s + QFile::symLinkTarget(target).mid(etc.size() + 1);
            if (!file.exists())
                return u"absent"_s;
            return (file.permissions() & (QFile::WriteOther | QFile::WriteGroup))
                    || !(file.permissions() & QFile::ReadOther)
                ? u"file with other permissions"_s
                : u"file rw-r--r--: "_s + QString::fromUtf8(readFile(target));
        };
        const ResolverState resolver(state, target, resolvconf);
        resolver.restoreLeftovers();
        QCOMPARE(described(), after);
        QCOMPARE(readFile(root.filePath(u"calls"_s)), calls);
        // The link's target is never written, and nothing is left to restore a second time.
        QCOMPARE(readFile(etc + u"/nm/resolv.conf"_s), QByteArray("nameserver 192.168.1.1\n"));
        QCOMPARE(QDir(state).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
        QCOMPARE(
            QDir(etc).entryList({ u".resolv.conf*"_s }, QDir::AllEntries | QDir::Hidden | QDir::System), QStringList());
        resolver.restoreLeftovers();
        QCOMPARE(described(), after);
    }

    // The profile allowlist: openvpn's reading of a profile, what a root openvpn may be told to do.
    // openvpn's own reading of a line; nothing where openvpn refuses it.
    void splitLine_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("params"); // joined by '|'; null: unreadable
        const auto row = [](const char *name, const QByteArray &line, const QByteArray &params) {
            QTest::newRow(name) << line << params;
        };
        row("blanks and a comment", "  verb\t 3  # loud\r\n", "verb|3");
        row("backslash does not hide a comment", "a \\#b", "a");
        row("escapes in double quotes", "x \"C=CH, \\\\ \\\"q\\\"\"", "x|C=CH, \\ \"q\"");
        row("single quotes take no escapes", "x 'a\\b\"c'", "x|a\\b\"c");
        row("bad backslash", "x \"a\\nb\"", nullptr);
        row("parameter too long", "x " + QByteArray(257, 'a'), nullptr);
    }
    void splitLine()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, params);
        const auto split = ProfileAllowlist::splitLine(line);
        QCOMPARE(split.has_value(), !params.isNull());
        if (split)
            QCOMPARE(split->join('|'), params);
    }

    // A provider's profile (byte-order mark, Windows line ends, inline keys, quoting) is accepted
    // and re-quoted the way openvpn reads it.
    void acceptsAProviderProfile()
    {
        const ProfileCheck check = ProfileAllowlist::check(QByteArray(
            "\xEF\xBB\xBF# CH-1\nclient\n--remote vpn.quellnet.ch 1194 udp ; primary\nauth-user-pass\n"
            "verify-x509-name 'C=CH, O=\"Quell Net\", CN=vpn' subject\npull-filter ignore \"route-ipv6\"\n"
            "<ca>\n-----BEGIN CERTIFICATE-----\nMIIBeTCCAR\n-----END CERTIFICATE-----\n  </ca> trailing words\n")
                                                               .replace("\n", "\r\n"));
        QVERIFY2(check.accepted, qPrintable(check.reason));
        QVERIFY2(check.sanitized.startsWith("client\nremote vpn.quellnet.ch 1194 udp\nauth-user-pass\n"
                                            "verify-x509-name \"C=CH, O=\\\"Quell Net\\\", CN=vpn\" subject\n"
                                            "pull-filter ignore route-ipv6\n<ca>\n-----BEGIN CERTIFICATE-----\r\n"),
            check.sanitized.constData());
        QVERIFY(check.sanitized.endsWith("-----END CERTIFICATE-----\r\n</ca>\n"));
    }

    // Only a client's profile, with 'tls-client' and 'pull' standing in for 'client'.
    void acceptsClientRoles_data()
    {
        addRows<QByteArray>("profile",
            { { "tls-client with pull, tcp-client",
                  "pull\ntls-client\nproto tcp-client\nremote 10.0.0.1 443 tcp-client\n" },
                { "client with plain tcp", "client\nproto tcp\nremote 10.0.0.1 443 tcp\n" } });
    }
    void acceptsClientRoles()
    {
        QFETCH(QByteArray, profile);
        const ProfileCheck check = ProfileAllowlist::check(profile);
        QVERIFY2(check.accepted, qPrintable(check.reason));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("status");
        const auto row = [](const char *name, const QByteArray &profile, int line, const char *reason,
                             int status = RunStatus::profileRefused) {
            QTest::newRow(name) << profile << line << QString::fromLatin1(reason) << status;
        };
        row("up script", "client\nup /tmp/x.sh\n", 2, "runs a program as root");
        row("quoted up", "\"up\" /tmp/x.sh", 1, "runs a program as root");
        row("plugin", "plugin /tmp/x.so", 1, "loads code");
        row("setenv opt", "setenv opt up /tmp/x.sh", 1, "sets variables");
        row("management", "management 0.0.0.0 7505", 1, "management interface");
        row("unknown directive", "frobnicate 1", 1, "'frobnicate' is not allowed");
        row("include", "config /etc/openvpn/other.conf", 1, "reads another configuration file");
        row("log", "log /etc/passwd", 1, "reads or writes a file as root");
        row("auth-user-pass from a file", "auth-user-pass /etc/shadow", 1, "with a file");
        row("inline up", "<up>\n/tmp/x.sh\n</up>\n", 1, "inline block 'up' is not allowed");
        row("option-like host", "remote -oProxyCommand=x", 1, "parameter 1 of 'remote'");
        // openvpn reads 255 bytes at a time: what follows the padding would be a line of its own.
        row("line split by openvpn", "verb 3" + QByteArray(250, ' ') + "up /tmp/x.sh\n", 1, "longer than 254 bytes");
        row("block closed mid-line", "client\n<ca>\n" + QByteArray(255, 'A') + "</ca>\nup /tmp/x.sh\n</ca>\n", 3,
            "longer than 254 bytes");
        row("NUL", QByteArray("verb 3\0up /tmp/x.sh\n", 20), 1, "control character");
        // Root must not listen: the lines are judged before the profile's role, so this one is
        // refused for what it asks, not for what it lacks.
        row("listening profile", "dev tun\nproto udp\nport 53\nfloat\n", 3, "would make openvpn listen");
        for (const char *directive : { "lport 1194", "bind", "local 0.0.0.0", "float" })
            row(directive, "client\nremote a\n" + QByteArray(directive) + '\n', 3, "would make openvpn listen");
        row("plain tcp without client", "tls-client\npull\nremote a\nproto tcp\n", 4, "plain 'tcp'");
        row("plain tcp in a remote without client", "tls-client\npull\nremote a 443 tcp4\n", 3, "plain 'tcp'");
        row("no client", "dev tun\nremote a\n", 0, "'client'", RunStatus::notAClientProfile);
        row("tls-client without pull", "tls-client\nremote a\n", 0, "'client'", RunStatus::notAClientProfile);
        row("no remote", "client\nrport 1194\n", 0, "'remote' is missing", RunStatus::notAClientProfile);
        row("only comments", "# client\n; remote a\n", 0, "no directive", RunStatus::notAClientProfile);
    }
    void refusals()
    {
        QFETCH(QByteArray, profile);
        QFETCH(int, line);
        QFETCH(QString, reason);
        QFETCH(int, status);
        const ProfileCheck check = ProfileAllowlist::check(profile);
        QVERIFY(!check.accepted && check.sanitized.isEmpty());
        QCOMPARE(check.line, line);
        QCOMPARE(check.status, status);
        QVERIFY2(check.reason.contains(reason), qPrintable(check.reason));
        // The reason goes to the log: it names directives, never their values.
        QVERIFY2(!check.reason.contains(QLatin1Char('/')), qPrintable(check.reason));
    }
};

QTEST_GUILESS_MAIN(TestHelperCore)
#include "tst_helpercore.moc"
