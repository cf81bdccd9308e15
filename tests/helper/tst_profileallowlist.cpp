#include "ProfileAllowlist.h"

#include <QTest>

using namespace quellnet;

namespace {

// What a provider hands out: inline keys, comments, quoting, Windows line ends, a byte-order mark.
const QByteArray providerProfile = "\xEF\xBB\xBF# quellnet CH-1\r\n"
                                   "client\r\n"
                                   "dev tun\r\n"
                                   "proto udp\r\n"
                                   "--remote vpn.quellnet.ch 1194 udp ; primary\r\n"
                                   "remote 185.12.1.9 443 tcp-client\r\n"
                                   "remote-random\r\n"
                                   "resolv-retry infinite\r\n"
                                   "nobind\r\n"
                                   "persist-key\r\n"
                                   "persist-tun\r\n"
                                   "remote-cert-tls server\r\n"
                                   "verify-x509-name 'C=CH, O=\"Quell Net\", CN=vpn' subject\r\n"
                                   "data-ciphers AES-256-GCM:CHACHA20-POLY1305\r\n"
                                   "auth SHA512\r\n"
                                   "tls-version-min 1.2 or-highest\r\n"
                                   "comp-lzo no\r\n"
                                   "redirect-gateway def1 bypass-dhcp\r\n"
                                   "route 10.0.0.0 255.0.0.0 net_gateway\r\n"
                                   "dhcp-option DNS 10.8.0.1\r\n"
                                   "pull-filter ignore \"route-ipv6\"\r\n"
                                   "keepalive 10 60\r\n"
                                   "auth-user-pass\r\n"
                                   "auth-nocache\r\n"
                                   "key-direction 1\r\n"
                                   "verb 3\r\n"
                                   "<ca>\r\n"
                                   "-----BEGIN CERTIFICATE-----\r\n"
                                   "MIIBeTCCAR+gAwIBAgIUG84TOD8/n0X7F1veRyVhjL1yD2IwCgYIKoZIzj0EAwIw\r\n"
                                   "-----END CERTIFICATE-----\r\n"
                                   "</ca>\r\n"
                                   "  <tls-auth>\r\n"
                                   "# 2048 bit OpenVPN static key\r\n"
                                   "-----BEGIN OpenVPN Static key V1-----\r\n"
                                   "e7c1f0b2\r\n"
                                   "-----END OpenVPN Static key V1-----\r\n"
                                   "   </tls-auth> trailing words are ignored\r\n";

QByteArray tooLongLine()
{
    // openvpn reads 255 bytes at a time: the directive after the padding would be a line of its own.
    return "verb 3" + QByteArray(250, ' ') + "up /tmp/x.sh\n";
}

QByteArray blockClosedMidLine()
{
    // Read in 255-byte pieces, the second piece of the long line starts with </ca>, and the next
    // line would be read as a directive.
    return "client\n<ca>\n" + QByteArray(255, 'A') + "</ca>\nup /tmp/x.sh\n</ca>\n";
}

} // namespace

class TestProfileAllowlist : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // openvpn's own reading of a line; nothing where openvpn refuses it.
    void splitLine_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<QList<QByteArray>>("params");
        using L = QList<QByteArray>;
        QTest::newRow("plain") << QByteArray("remote vpn.example.net 1194 udp") << true
                               << L { "remote", "vpn.example.net", "1194", "udp" };
        QTest::newRow("blanks and a comment") << QByteArray("  verb\t 3  # loud\r\n") << true << L { "verb", "3" };
        QTest::newRow("comment line") << QByteArray("; remote x") << true << L {};
        QTest::newRow("hash inside a word is no comment") << QByteArray("a b#c") << true << L { "a", "b#c" };
        QTest::newRow("backslash does not hide a comment") << QByteArray("a \\#b") << true << L { "a" };
        QTest::newRow("double quotes") << QByteArray("x \"C=CH, O=q\" subject") << true
                                       << L { "x", "C=CH, O=q", "subject" };
        QTest::newRow("escapes in double quotes") << QByteArray("x \"a\\\\b\\\"c\"") << true << L { "x", "a\\b\"c" };
        QTest::newRow("single quotes take no escapes") << QByteArray("x 'a\\b\"c'") << true << L { "x", "a\\b\"c" };
        QTest::newRow("escaped blank") << QByteArray("x a\\ b") << true << L { "x", "a b" };
        QTest::newRow("escaped line feed") << QByteArray("dev tun\\\n") << true << L { "dev", "tun\n" };
        QTest::newRow("empty quoted parameter") << QByteArray("\"\" x") << true << L { "", "x" };
        QTest::newRow("bad backslash") << QByteArray("x \"a\\nb\"") << false << L {};
        QTest::newRow("trailing backslash") << QByteArray("dev tun\\") << false << L {};
        QTest::newRow("open double quote") << QByteArray("x \"abc") << false << L {};
        QTest::newRow("open single quote") << QByteArray("x 'abc") << false << L {};
        QTest::newRow("longest parameter") << "x " + QByteArray(256, 'a') << true << L { "x", QByteArray(256, 'a') };
        QTest::newRow("parameter too long") << "x " + QByteArray(257, 'a') << false << L {};
    }
    void splitLine()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, readable);
        QFETCH(QList<QByteArray>, params);
        const auto split = ProfileAllowlist::splitLine(line);
        QCOMPARE(split.has_value(), readable);
        if (readable)
            QCOMPARE(*split, params);
    }

    void acceptsAProviderProfile()
    {
        const ProfileCheck check = ProfileAllowlist::check(providerProfile);
        QVERIFY2(check.accepted, qPrintable(check.reason));
        const QByteArray &copy = check.sanitized;
        QVERIFY(copy.startsWith("client\ndev tun\nproto udp\nremote vpn.quellnet.ch 1194 udp\n"));
        QVERIFY(copy.contains("\nverify-x509-name \"C=CH, O=\\\"Quell Net\\\", CN=vpn\" subject\n"));
        QVERIFY(copy.contains("\npull-filter ignore route-ipv6\n"));
        QVERIFY(copy.contains("<ca>\n-----BEGIN CERTIFICATE-----\r\n"));
        QVERIFY(copy.contains("-----END OpenVPN Static key V1-----\r\n</tls-auth>\n"));
        QVERIFY(!copy.contains("quellnet CH-1"));
        QVERIFY(!copy.contains("trailing words"));

        // The copy reads back as itself: what openvpn gets means what was checked.
        const ProfileCheck again = ProfileAllowlist::check(copy);
        QVERIFY2(again.accepted, qPrintable(again.reason));
        QCOMPARE(again.sanitized, copy);
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");

        auto row = [](const char *name, const QByteArray &profile, int line, const char *reason) {
            QTest::newRow(name) << profile << line << QString::fromLatin1(reason);
        };
        // Programs, code, and the environment of what runs as root.
        row("up script", "client\nup /tmp/x.sh\n", 2, "runs a program as root");
        row("down script", "down /tmp/x.sh", 1, "runs a program as root");
        row("route-up", "route-up /tmp/x.sh", 1, "runs a program as root");
        row("tls-verify", "tls-verify /tmp/x.sh", 1, "runs a program as root");
        row("iproute", "iproute /tmp/ip", 1, "runs a program as root");
        row("double-dashed up", "--up /tmp/x.sh", 1, "runs a program as root");
        row("quoted up", "\"up\" /tmp/x.sh", 1, "runs a program as root");
        row("plugin", "plugin /tmp/x.so", 1, "loads code");
        row("engine", "engine dynamic", 1, "loads code");
        row("setenv opt", "setenv opt up /tmp/x.sh", 1, "sets variables");
        row("setenv LD_PRELOAD", "setenv LD_PRELOAD /tmp/x.so", 1, "sets variables");
        row("script-security", "script-security 3", 1, "is set by the helper");
        row("auth-retry", "auth-retry interact", 1, "is set by the helper");
        // Files read or written as root.
        row("include", "config /etc/openvpn/other.conf", 1, "reads another configuration file");
        row("log", "log /etc/passwd", 1, "reads or writes a file as root");
        row("status", "status /root/.bashrc", 1, "reads or writes a file as root");
        row("writepid", "writepid /etc/shadow", 1, "reads or writes a file as root");
        row("ca from a file", "ca /etc/shadow", 1, "reads or writes a file as root");
        row("tls-auth from a file", "tls-auth /root/ta.key 1", 1, "reads or writes a file as root");
        row("dev-node", "dev-node /dev/sda", 1, "reads or writes a file as root");
        row("auth-user-pass from a file", "auth-user-pass /etc/shadow", 1, "with a file");
        row("management", "management 0.0.0.0 7505", 1, "management interface");
        row("management option", "management-client-user root", 1, "management interface");
        row("user", "user nobody", 1, "changes the user");
        row("daemon", "daemon", 1, "supervision");
        row("ignore-unknown-option", "ignore-unknown-option up", 1, "would hide");
        row("unknown directive", "frobnicate 1", 1, "'frobnicate' is not allowed");
        row("directives are lower case", "UP /tmp/x.sh", 1, "an unknown directive is not allowed");
        // Blocks.
        row("connection block", "<connection>\nremote x\n</connection>\n", 1, "block of its own");
        row("inline up", "<up>\n/tmp/x.sh\n</up>\n", 1, "inline block 'up' is not allowed");
        row("unclosed block", "<ca>\n-----BEGIN CERTIFICATE-----\n", 1, "never closed");
        // Parameters.
        row("extra parameter", "dev tun0 extra", 1, "'dev' takes 1 to 1 parameters");
        row("bad port", "remote vpn.example.net 99999", 1, "parameter 2 of 'remote'");
        row("option-like host", "remote -oProxyCommand=x", 1, "parameter 1 of 'remote'");
        row("escaped line feed", "dev tun\\\n", 1, "parameter 1 of 'dev'");
        row("seventeen parameters", "route a b c d e f g h i j k l m n o p", 1, "more than 16 parameters");
        row("open quote", "verb \"3", 1, "cannot be read");
        // What openvpn would read differently.
        row("line split by openvpn", tooLongLine(), 1, "longer than 254 bytes");
        row("block closed mid-line", blockClosedMidLine(), 3, "longer than 254 bytes");
        row("NUL", QByteArray("verb 3\0up /tmp/x.sh\n", 20), 1, "control character");
        row("vertical tab", "verb\v3", 1, "control character");
        row("nothing in it", "# only a comment\n\n", 0, "holds no directive");
        row("larger than 1 MiB", "verb 3\n" + QByteArray(1024 * 1024, '#'), 0, "larger than");
    }
    void refusals()
    {
        QFETCH(QByteArray, profile);
        QFETCH(int, line);
        QFETCH(QString, reason);
        const ProfileCheck check = ProfileAllowlist::check(profile);
        QVERIFY(!check.accepted);
        QVERIFY(check.sanitized.isEmpty());
        QCOMPARE(check.line, line);
        QVERIFY2(check.reason.contains(reason), qPrintable(check.reason));
        // The reason goes to the log: it names directives, never their values.
        QVERIFY2(!check.reason.contains(QLatin1Char('/')), qPrintable(check.reason));
    }
};

QTEST_APPLESS_MAIN(TestProfileAllowlist)
#include "tst_profileallowlist.moc"
