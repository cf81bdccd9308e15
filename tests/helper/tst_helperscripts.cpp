// client.up and client.down, run the way openvpn runs them (route-up, then down, with the state
// folder as their argument), against recording stand-ins for resolvectl, systemctl, resolvconf and
// ip placed first on their PATH. Each case runs in a mount namespace of its own with a private /etc,
// so that the /etc/resolv.conf path is exercised for real and the machine's file is never touched.

#include "tests/support/TestTools.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

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

} // namespace

class TestHelperScripts : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_state;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QCOMPARE(
            QProcess::execute(u"/bin/sh"_s, { u"-ec"_s, u"cd %1\n"_s.arg(m_dir.path()) + QLatin1String(standIns) }), 0);
        // The scripts only use a state folder that is root's alone; in a user namespace we are root.
        m_state = m_dir.filePath(u"state"_s);
        QVERIFY(QDir().mkdir(m_state));
        QVERIFY(QFile::setPermissions(m_state, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        if (QProcess::execute(u"unshare"_s, { ::geteuid() == 0 ? u"-m"_s : u"-rm"_s, u"true"_s }) != 0)
            QSKIP("needs a private mount namespace (unshare -m, or -rm as a normal user)");
    }

    void scripts_data()
    {
        QTest::addColumn<QString>("resolver"); // resolved, resolvconf or none
        QTest::addColumn<bool>("fullTunnel");
        QTest::addColumn<QString>("original"); // /etc/resolv.conf: file, link or absent
        // foreign_option_1, _2, ... one a line; first "v6": the tunnel has IPv6, "over v6": the server is
        // reached over IPv6
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("meanwhile"); // shell, run between up and down; "refuse X": resolvectl refuses X
        QTest::addColumn<QByteArray>("calls");
        QTest::addColumn<QByteArray>("afterUp");
        QTest::addColumn<QByteArray>("afterDown");

        const QByteArray lan = "nameserver 192.168.1.1\nsearch lan\ntarget: nameserver 192.168.1.1\n";
        const QByteArray link = "link to nm/resolv.conf\ntarget: nameserver 192.168.1.1\n";
        const QByteArray guardUp = "ip|-6|route|replace|unreachable|::/3|proto|157|\n"
                                   "ip|-6|route|replace|unreachable|2000::/4|proto|157|\n"
                                   "ip|-6|route|replace|unreachable|3000::/4|proto|157|\n"
                                   "ip|-6|route|replace|unreachable|fc00::/7|proto|157|\n";
        const QByteArray guardDown = "ip|-6|route|del|unreachable|::/3|proto|157|\n"
                                     "ip|-6|route|del|unreachable|2000::/4|proto|157|\n"
                                     "ip|-6|route|del|unreachable|3000::/4|proto|157|\n"
                                     "ip|-6|route|del|unreachable|fc00::/7|proto|157|\n";
        const QString corp = u"dhcp-option DNS 10.8.0.1\ndhcp-option DOMAIN corp.example\n"
                             "dhcp-option DNS6 fd00::53\ndhcp-option DOMAIN-SEARCH lab.corp.example"_s;

        QTest::newRow("resolved, full tunnel: ~. and the default route, IPv6 blocked") << u"resolved"_s << true
                                                                                       << u"file"_s << corp << QString()
                                                                                       << guardUp
                + "resolvectl|dns|tun7|10.8.0.1|fd00::53|\n"
                  "resolvectl|domain|tun7|corp.example|lab.corp.example|~.|\n"
                  "resolvectl|default-route|tun7|yes|\n"
                + guardDown + "resolvectl|revert|tun7|\n" << lan << lan;
        QTest::newRow("resolved, split tunnel: only the pushed domains")
            << u"resolved"_s << false << u"file"_s << corp << QString()
            << QByteArray("resolvectl|dns|tun7|10.8.0.1|fd00::53|\n"
                          "resolvectl|domain|tun7|corp.example|lab.corp.example|\n"
                          "resolvectl|revert|tun7|\n")
            << lan << lan;
        QTest::newRow("resolved, malformed DNS6 among good ones: dropped one by one")
            << u"resolved"_s << false << u"file"_s
            << u"dhcp-option DNS6 fd00::53\ndhcp-option DNS6 12345::1\ndhcp-option DNS6 1:2:3\n"
               "dhcp-option DNS6 fd00::1%tun7\ndhcp-option DNS6 1::2::3\ndhcp-option DNS 10.8.0.1\n"
               "dhcp-option DNS6 2001:db8:0:0:0:0:0:53"_s
            << QString()
            << QByteArray("resolvectl|dns|tun7|fd00::53|10.8.0.1|2001:db8:0:0:0:0:0:53|\nresolvectl|revert|tun7|\n")
            << lan << lan;
        QTest::newRow("resolved refuses one server: the others still apply")
            << u"resolved"_s << false << u"file"_s << u"dhcp-option DNS6 fe80::1\ndhcp-option DNS 10.8.0.1"_s
            << u"refuse fe80::1"_s
            << QByteArray("resolvectl|dns|tun7|fe80::1|10.8.0.1|\nresolvectl|dns|tun7|fe80::1|\n"
                          "resolvectl|dns|tun7|10.8.0.1|\nresolvectl|dns|tun7|10.8.0.1|\nresolvectl|revert|tun7|\n")
            << lan << lan;
        QTest::newRow("resolved, full tunnel, no DNS pushed: no ~. to nowhere")
            << u"resolved"_s << true << u"file"_s << QString() << QString()
            << guardUp + guardDown + "resolvectl|revert|tun7|\n"
            << lan << lan;
        QTest::newRow("full tunnel that carries IPv6: IPv6 untouched")
            << u"resolved"_s << true << u"file"_s << u"v6\ndhcp-option DNS 10.8.0.1"_s << QString()
            << QByteArray("resolvectl|dns|tun7|10.8.0.1|\nresolvectl|domain|tun7|~.|\n"
                          "resolvectl|default-route|tun7|yes|\nresolvectl|revert|tun7|\n")
            << lan << lan;
        QTest::newRow("full tunnel to a server over IPv6: the server keeps its way")
            << u"resolved"_s << true << u"file"_s << u"over v6"_s << QString()
            << "ip|-6|route|replace|2001:db8:9::1/128|via|fe80::1|dev|eth0|proto|157|\n" + guardUp + guardDown
                + "ip|-6|route|del|2001:db8:9::1/128|proto|157|\nresolvectl|revert|tun7|\n"
            << lan << lan;
        QTest::newRow("hostile values are dropped, never run")
            << u"resolved"_s << false << u"file"_s
            << u"dhcp-option DNS 10.8.0.1;touch pwned\ndhcp-option DNS $(touch pwned)\n"
               "dhcp-option DOMAIN `touch pwned`\ndhcp-option DOMAIN -x.example\ndhcp-option DOMAIN *\n"
               "dhcp-option DNS 256.1.1.1\ndhcp-option DNS 10.8.0.9 10.8.0.10\ndhcp-option DNS 10.8.0.9"_s
            << QString() << QByteArray("resolvectl|dns|tun7|10.8.0.9|\nresolvectl|revert|tun7|\n") << lan << lan;
        QTest::newRow("resolvconf: the device's record, then deleted") << u"resolvconf"_s << true << u"file"_s << corp
                                                                       << QString()
                                                                       << guardUp
                + "resolvconf|-a|tun7.quellnet|\n"
                  "  # Written by the Quellnet VPN helper while its tunnel is up; the previous file comes back "
                  "when it ends.\n"
                  "  nameserver 10.8.0.1\n  nameserver fd00::53\n  search corp.example lab.corp.example\n"
                + guardDown + "resolvconf|-d|tun7.quellnet|\n" << lan << lan;
        const QByteArray ours = "nameserver 10.8.0.1\nnameserver fd00::53\nsearch corp.example lab.corp.example\n"
                                "target: nameserver 192.168.1.1\n";
        QTest::newRow("resolv.conf: replaced, then the original back")
            << u"none"_s << false << u"file"_s << corp << QString() << QByteArray() << ours << lan;
        QTest::newRow("resolv.conf as a link: moved aside and back, its target untouched")
            << u"none"_s << true << u"link"_s << corp << QString() << guardUp + guardDown << ours << link;
        QTest::newRow("resolv.conf absent: absent again")
            << u"none"_s << false << u"absent"_s << corp << QString() << QByteArray() << ours
            << QByteArray("absent\ntarget: nameserver 192.168.1.1\n");
        QTest::newRow("resolv.conf replaced by someone else meanwhile: theirs stays")
            << u"none"_s << false << u"file"_s << corp << u"printf 'nameserver 192.168.7.7\\n' >/etc/resolv.conf"_s
            << QByteArray() << ours << QByteArray("nameserver 192.168.7.7\ntarget: nameserver 192.168.1.1\n");
        QTest::newRow("no name servers pushed: resolv.conf untouched")
            << u"none"_s << false << u"file"_s << u"dhcp-option DOMAIN corp.example"_s << QString() << QByteArray()
            << lan << lan;
    }
    void scripts()
    {
        QFETCH(QString, resolver);
        QFETCH(bool, fullTunnel);
        QFETCH(QString, original);
        QFETCH(QString, options);
        QFETCH(QString, meanwhile);
        QFETCH(QByteArray, calls);
        QFETCH(QByteArray, afterUp);
        QFETCH(QByteArray, afterDown);

        for (const char *file : { "calls", "refuse", "full-tunnel", "resolved-runs", "guard", "resolvconf-off" })
            QFile::remove(m_dir.filePath(QLatin1String(file)));
        auto touch = [this](const QString &name) { QFile(m_dir.filePath(name)).open(QIODevice::WriteOnly); };
        if (fullTunnel)
            touch(u"full-tunnel"_s);
        if (resolver == u"resolved")
            touch(u"resolved-runs"_s);
        if (meanwhile.startsWith(u"refuse ")) {
            QFile refuse(m_dir.filePath(u"refuse"_s));
            QVERIFY(refuse.open(QIODevice::WriteOnly));
            refuse.write(meanwhile.mid(7).toUtf8() + '\n');
            meanwhile.clear();
        }
        // Without resolvconf on the PATH: a folder of stand-ins without it.
        QString path = m_dir.path();
        if (resolver != u"resolvconf") {
            path = m_dir.filePath(u"no-resolvconf"_s);
            QDir().mkpath(path);
            for (const char *tool : { "resolvectl", "systemctl", "ip" }) {
                QFile::remove(path + u'/' + QLatin1String(tool));
                QVERIFY(QFile::link(m_dir.filePath(QLatin1String(tool)), path + u'/' + QLatin1String(tool)));
            }
        }

        QProcessEnvironment environment;
        environment.insert(u"PATH"_s, path + u":/usr/bin:/bin"_s);
        environment.insert(u"STANDIN"_s, m_dir.path());
        environment.insert(u"SCRIPTS"_s, QStringLiteral(QUELLNET_SOURCE_DIR "/resources"));
        environment.insert(u"STATE"_s, m_state);
        environment.insert(u"ORIGINAL"_s, original);
        environment.insert(u"MEANWHILE"_s, meanwhile);
        environment.insert(u"dev"_s, u"tun7"_s);
        QStringList pushed = options.split(u'\n', Qt::SkipEmptyParts);
        if (pushed.value(0) == u"v6") {
            pushed.removeFirst();
            environment.insert(u"ifconfig_ipv6_local"_s, u"fd00:8::2"_s);
        } else if (pushed.value(0) == u"over v6") {
            pushed.removeFirst();
            environment.insert(u"trusted_ip6"_s, u"2001:db8:9::1"_s);
        }
        for (qsizetype i = 0; i < pushed.size(); ++i)
            environment.insert(u"foreign_option_%1"_s.arg(i + 1), pushed[i]);

        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(u"unshare"_s,
            { ::geteuid() == 0 ? u"-m"_s : u"-rm"_s, u"--propagation"_s, u"private"_s, u"/bin/sh"_s, u"-c"_s,
                QLatin1String(runCase) });
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(readFile(m_dir.filePath(u"calls"_s)), calls);
        QCOMPARE(readFile(m_dir.filePath(u"after-up"_s)), afterUp);
        QCOMPARE(readFile(m_dir.filePath(u"after-down"_s)), afterDown);
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
        QFETCH(QString, device);
        QFETCH(QString, state);
        QFile::remove(m_dir.filePath(u"calls"_s));
        QFile(m_dir.filePath(u"resolved-runs"_s)).open(QIODevice::WriteOnly);
        QVERIFY(QFile::setPermissions(
            m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));
        QProcessEnvironment environment;
        environment.insert(u"PATH"_s, m_dir.path() + u":/usr/bin:/bin"_s);
        environment.insert(u"STANDIN"_s, m_dir.path());
        environment.insert(u"STATE"_s, m_state);
        environment.insert(u"dev"_s, device);
        environment.insert(u"foreign_option_1"_s, u"dhcp-option DNS 10.8.0.1"_s);
        const QString script = u"sh %1/client.up \"%2\" && sh %1/client.down \"%2\""_s.arg(
            QStringLiteral(QUELLNET_SOURCE_DIR "/resources"), state);
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
        process.start(u"unshare"_s, { ::geteuid() == 0 ? u"-m"_s : u"-rm"_s, u"/bin/sh"_s, u"-c"_s, script });
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(readFile(m_dir.filePath(u"calls"_s)), QByteArray());
        QVERIFY(!QFile::exists(m_dir.filePath(u"pwned"_s)));
    }
};

QTEST_GUILESS_MAIN(TestHelperScripts)
#include "tst_helperscripts.moc"
