#include "helper/ProfileAllowlist.h"
#include "helperlink/HelperWire.h"
#include "tests/support/TestTools.h"

#include <QTest>

using namespace quellnet;
using namespace quellnet::test;

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
            { { "client", "client\nremote vpn.example.net 1194\nrport 443\nnobind\n" },
                { "tls-client with pull, tcp-client",
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

QTEST_APPLESS_MAIN(TestProfileAllowlist)
#include "tst_profileallowlist.moc"
