// client.up and client.down, run the way openvpn runs them (with its environment), against
// stand-ins for resolvectl and systemctl that record how they were called.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString scriptsDir = QStringLiteral(QUELLNET_SOURCE_DIR "/resources");

struct ScriptRun
{
    int exitCode = -1;
    QStringList calls; // one entry per resolvectl call, arguments joined by '|'
    QStringList logLines;
};

} // namespace

class TestHelperScripts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString marker() const { return m_dir.filePath(QStringLiteral("pwned")); }

    void writeProgram(const QString &name, const QByteArray &body)
    {
        QFile file(m_dir.filePath(QStringLiteral("bin/") + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + body);
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    ScriptRun run(const QString &script, const QString &device, const QStringList &foreignOptions, bool resolvedRuns)
    {
        const QString calls = m_dir.filePath(QStringLiteral("calls"));
        QFile::remove(calls);
        QProcessEnvironment environment;
        environment.insert(
            QStringLiteral("PATH"), m_dir.filePath(QStringLiteral("bin")) + QStringLiteral(":/usr/bin:/bin"));
        environment.insert(QStringLiteral("FAKE_CALLS"), calls);
        environment.insert(QStringLiteral("FAKE_RESOLVED"), resolvedRuns ? QStringLiteral("0") : QStringLiteral("3"));
        environment.insert(QStringLiteral("script_type"), script.section(QLatin1Char('.'), 1));
        environment.insert(QStringLiteral("dev"), device);
        for (qsizetype i = 0; i < foreignOptions.size(); ++i) {
            if (!foreignOptions[i].isNull())
                environment.insert(QStringLiteral("foreign_option_%1").arg(i + 1), foreignOptions[i]);
        }

        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
        process.start(
            QStringLiteral("/bin/sh"), { scriptsDir + QLatin1Char('/') + script, device, QStringLiteral("1500") });
        process.waitForFinished(10000);

        ScriptRun result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.logLines
            = QString::fromUtf8(process.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QFile recorded(calls);
        if (recorded.open(QIODevice::ReadOnly))
            result.calls = QString::fromUtf8(recorded.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("bin")));
        writeProgram(QStringLiteral("resolvectl"), "printf '%s|' \"$@\" >>\"$FAKE_CALLS\"\necho >>\"$FAKE_CALLS\"\n");
        writeProgram(QStringLiteral("systemctl"),
            "[ \"$*\" = 'is-active --quiet systemd-resolved.service' ] && exit \"$FAKE_RESOLVED\"\nexit 1\n");
    }

    void upAppliesOnlyCheckedValues_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("foreignOptions");
        QTest::addColumn<QStringList>("calls");
        const QString pwn = marker();

        QTest::newRow("servers and domains")
            << QStringLiteral("tun7")
            << QStringList { QStringLiteral("dhcp-option DNS 10.8.0.1"),
                   QStringLiteral("dhcp-option DOMAIN corp.example"), QStringLiteral("dhcp-option DNS6 fd00::53"),
                   QStringLiteral("dhcp-option DNS 10.8.0.2"),
                   QStringLiteral("dhcp-option DOMAIN-SEARCH lab.corp.example") }
            << QStringList { QStringLiteral("dns|tun7|10.8.0.1|fd00::53|10.8.0.2|"),
                   QStringLiteral("domain|tun7|corp.example|lab.corp.example|") };
        QTest::newRow("hostile values are dropped")
            << QStringLiteral("tun0")
            << QStringList { QStringLiteral("dhcp-option DNS 10.8.0.1;touch ") + pwn,
                   QStringLiteral("dhcp-option DNS $(touch %1)").arg(pwn),
                   QStringLiteral("dhcp-option DOMAIN `touch %1`").arg(pwn),
                   QStringLiteral("dhcp-option DOMAIN -x.example"), QStringLiteral("dhcp-option DOMAIN *"),
                   QStringLiteral("dhcp-option DOMAIN a..b"), QStringLiteral("dhcp-option DNS 256.1.1.1"),
                   QStringLiteral("dhcp-option DNS 010.1.1.1"), QStringLiteral("dhcp-option DNS 10.8.0.9 10.8.0.10"),
                   QStringLiteral("dhcp-option DNS 10.8.0.9") }
            << QStringList { QStringLiteral("dns|tun0|10.8.0.9|") };
        QTest::newRow("other pushed options are left alone")
            << QStringLiteral("tun0")
            << QStringList { QStringLiteral("dhcp-option WINS 10.1.1.1"), QStringLiteral("dhcp-option NTP 10.1.1.2") }
            << QStringList {};
        QTest::newRow("the numbering ends at the first gap")
            << QStringLiteral("tun0")
            << QStringList { QStringLiteral("dhcp-option DNS 10.8.0.1"), QString(),
                   QStringLiteral("dhcp-option DNS 10.8.0.3") }
            << QStringList { QStringLiteral("dns|tun0|10.8.0.1|") };
        QTest::newRow("a device name that is no name")
            << QStringLiteral("tun0;touch ") + pwn << QStringList { QStringLiteral("dhcp-option DNS 10.8.0.1") }
            << QStringList {};
    }
    void upAppliesOnlyCheckedValues()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, foreignOptions);
        QFETCH(QStringList, calls);
        const ScriptRun result = run(QStringLiteral("client.up"), device, foreignOptions, true);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.calls, calls);
        QVERIFY2(!QFile::exists(marker()), "a pushed value was executed");
    }

    void downRevertsTheDevice()
    {
        const ScriptRun result = run(QStringLiteral("client.down"), QStringLiteral("tun7"), {}, true);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.calls, QStringList { QStringLiteral("revert|tun7|") });
    }

    // Without systemd-resolved neither script touches anything: one log line, success.
    void withoutResolvedOneLineAndSuccess_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("up") << QStringLiteral("client.up");
        QTest::newRow("down") << QStringLiteral("client.down");
    }
    void withoutResolvedOneLineAndSuccess()
    {
        QFETCH(QString, script);
        const ScriptRun result
            = run(script, QStringLiteral("tun0"), { QStringLiteral("dhcp-option DNS 10.8.0.1") }, false);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.calls, QStringList {});
        QCOMPARE(result.logLines.size(), 1);
        QVERIFY(result.logLines.first().contains(QLatin1String("systemd-resolved does not run")));
    }
};

QTEST_GUILESS_MAIN(TestHelperScripts)
#include "tst_helperscripts.moc"
