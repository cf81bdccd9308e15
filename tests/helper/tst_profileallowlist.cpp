#include "ProfileAllowlist.h"

#include <QTest>

using namespace quellnet;

class TestProfileAllowlist : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // openvpn's own reading of a line; nothing where openvpn refuses it.
    void splitLine_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("params"); // joined by '|'; null: unreadable
        const auto row = [](const char *name, const QByteArray &line, const QByteArray &params) {
            QTest::newRow(name) << line << params;
        };
        row("blanks and a comment", "  verb\t 3  # loud\r\n", "verb|3");
        row("comment line", "; remote x", "");
        row("backslash does not hide a comment", "a \\#b", "a");
        row("escapes in double quotes", "x \"C=CH, \\\\ \\\"q\\\"\"", "x|C=CH, \\ \"q\"");
        row("single quotes take no escapes", "x 'a\\b\"c'", "x|a\\b\"c");
        row("escaped line feed", "dev tun\\\n", "dev|tun\n");
        row("bad backslash", "x \"a\\nb\"", nullptr);
        row("trailing backslash", "dev tun\\", nullptr);
        row("longest parameter", "x " + QByteArray(256, 'a'), "x|" + QByteArray(256, 'a'));
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

    // What a provider hands out: inline keys, comments, quoting, Windows line ends, a byte-order
    // mark. The copy reads back as itself: what openvpn gets means what was checked.
    void acceptsAProviderProfile()
    {
        const QByteArray profile = QByteArray(
            "\xEF\xBB\xBF# quellnet CH-1\nclient\ndev tun\n--remote vpn.quellnet.ch 1194 udp ; primary\n"
            "remote 185.12.1.9 443 tcp-client\nnobind\nremote-cert-tls server\n"
            "verify-x509-name 'C=CH, O=\"Quell Net\", CN=vpn' subject\ndata-ciphers AES-256-GCM\n"
            "redirect-gateway def1 bypass-dhcp\ndhcp-option DNS 10.8.0.1\npull-filter ignore \"route-ipv6\"\n"
            "auth-user-pass\n<ca>\n-----BEGIN CERTIFICATE-----\nMIIBeTCCAR+gAwIBAgIUG84TOD8\n"
            "-----END CERTIFICATE-----\n</ca>\n  <tls-auth>\n-----BEGIN OpenVPN Static key V1-----\n"
            "e7c1f0b2\n-----END OpenVPN Static key V1-----\n   </tls-auth> trailing words are ignored\n")
                                       .replace("\n", "\r\n");
        const ProfileCheck check = ProfileAllowlist::check(profile);
        QVERIFY2(check.accepted, qPrintable(check.reason));
        const QByteArray &copy = check.sanitized;
        QVERIFY(copy.startsWith("client\ndev tun\nremote vpn.quellnet.ch 1194 udp\n"));
        QVERIFY(copy.contains("\nverify-x509-name \"C=CH, O=\\\"Quell Net\\\", CN=vpn\" subject\n"));
        QVERIFY(copy.contains("\npull-filter ignore route-ipv6\n"));
        QVERIFY(copy.contains("<ca>\n-----BEGIN CERTIFICATE-----\r\n"));
        QVERIFY(copy.contains("-----END OpenVPN Static key V1-----\r\n</tls-auth>\n"));
        QVERIFY(!copy.contains("quellnet CH-1") && !copy.contains("trailing words"));
        const ProfileCheck again = ProfileAllowlist::check(copy);
        QVERIFY2(again.accepted, qPrintable(again.reason));
        QCOMPARE(again.sanitized, copy);
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, const QByteArray &profile, int line, const char *reason) {
            QTest::newRow(name) << profile << line << QString::fromLatin1(reason);
        };
        // Programs, code, and the settings of what runs as root.
        row("up script", "client\nup /tmp/x.sh\n", 2, "runs a program as root");
        row("double-dashed up", "--up /tmp/x.sh", 1, "runs a program as root");
        row("quoted up", "\"up\" /tmp/x.sh", 1, "runs a program as root");
        row("plugin", "plugin /tmp/x.so", 1, "loads code");
        row("setenv opt", "setenv opt up /tmp/x.sh", 1, "sets variables");
        row("script-security", "script-security 3", 1, "is set by the helper");
        row("management", "management 0.0.0.0 7505", 1, "management interface");
        row("unknown directive", "frobnicate 1", 1, "'frobnicate' is not allowed");
        // Files read or written as root.
        row("include", "config /etc/openvpn/other.conf", 1, "reads another configuration file");
        row("log", "log /etc/passwd", 1, "reads or writes a file as root");
        row("ca from a file", "ca /etc/shadow", 1, "reads or writes a file as root");
        row("auth-user-pass from a file", "auth-user-pass /etc/shadow", 1, "with a file");
        // Blocks.
        row("connection block", "<connection>\nremote x\n</connection>\n", 1, "block of its own");
        row("inline up", "<up>\n/tmp/x.sh\n</up>\n", 1, "inline block 'up' is not allowed");
        row("unclosed block", "<ca>\n-----BEGIN CERTIFICATE-----\n", 1, "never closed");
        // Parameters, and what openvpn would read differently.
        row("option-like host", "remote -oProxyCommand=x", 1, "parameter 1 of 'remote'");
        row("escaped line feed", "dev tun\\\n", 1, "parameter 1 of 'dev'");
        row("open quote", "verb \"3", 1, "cannot be read");
        // openvpn reads 255 bytes at a time: what follows the padding would be a line of its own.
        row("line split by openvpn", "verb 3" + QByteArray(250, ' ') + "up /tmp/x.sh\n", 1, "longer than 254 bytes");
        row("block closed mid-line", "client\n<ca>\n" + QByteArray(255, 'A') + "</ca>\nup /tmp/x.sh\n</ca>\n", 3,
            "longer than 254 bytes");
        row("NUL", QByteArray("verb 3\0up /tmp/x.sh\n", 20), 1, "control character");
    }
    void refusals()
    {
        QFETCH(QByteArray, profile);
        QFETCH(int, line);
        QFETCH(QString, reason);
        const ProfileCheck check = ProfileAllowlist::check(profile);
        QVERIFY(!check.accepted && check.sanitized.isEmpty());
        QCOMPARE(check.line, line);
        QVERIFY2(check.reason.contains(reason), qPrintable(check.reason));
        // The reason goes to the log: it names directives, never their values.
        QVERIFY2(!check.reason.contains(QLatin1Char('/')), qPrintable(check.reason));
    }
};

QTEST_APPLESS_MAIN(TestProfileAllowlist)
#include "tst_profileallowlist.moc"
