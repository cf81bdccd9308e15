// client.up and client.down, run the way openvpn runs them, against a resolvectl that records.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestHelperScripts : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        const QString standIns = u"printf '#!/bin/sh\\nprintf \"%%s|\" \"$@\" >>calls; echo >>calls\\n' >resolvectl; "
                                 "printf '#!/bin/sh\\nexit 0\\n' >systemctl; chmod 755 resolvectl systemctl"_s;
        QCOMPARE(QProcess::execute(u"/bin/sh"_s, { u"-ec"_s, u"cd %1; "_s.arg(m_dir.path()) + standIns }), 0);
    }

    // Pushed values reach resolvectl only once checked, one argument each, and are never run.
    void scriptsApplyOnlyCheckedValues_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("options"); // foreign_option_1, _2, ... one a line
        QTest::addColumn<QByteArray>("calls");
        const auto row
            = [](const char *name, const char *script, const char *device, const char *options, const char *calls) {
                  QTest::newRow(name) << QString::fromLatin1(script) << QString::fromLatin1(device)
                                      << QString::fromLatin1(options) << QByteArray(calls);
              };
        row("up: servers and domains", "client.up", "tun7",
            "dhcp-option DNS 10.8.0.1\ndhcp-option DOMAIN corp.example\ndhcp-option DNS6 fd00::53\n"
            "dhcp-option DOMAIN-SEARCH lab.corp.example",
            "dns|tun7|10.8.0.1|fd00::53|\ndomain|tun7|corp.example|lab.corp.example|\n");
        row("up: hostile values are dropped", "client.up", "tun0",
            "dhcp-option DNS 10.8.0.1;touch pwned\ndhcp-option DNS $(touch pwned)\ndhcp-option DOMAIN `touch pwned`\n"
            "dhcp-option DOMAIN -x.example\ndhcp-option DOMAIN *\ndhcp-option DNS 256.1.1.1\n"
            "dhcp-option DNS 10.8.0.9 10.8.0.10\ndhcp-option DNS 10.8.0.9",
            "dns|tun0|10.8.0.9|\n");
        row("up: a device name that is no name", "client.up", "tun0;touch pwned", "dhcp-option DNS 10.8.0.1", "");
        row("down: reverts the device", "client.down", "tun7", "", "revert|tun7|\n");
    }
    void scriptsApplyOnlyCheckedValues()
    {
        QFETCH(QString, script);
        QFETCH(QString, device);
        QFETCH(QString, options);
        QFETCH(QByteArray, calls);
        QFile::remove(m_dir.filePath(u"calls"_s));
        QProcessEnvironment environment;
        environment.insert(u"PATH"_s, m_dir.path() + u":/usr/bin:/bin"_s);
        environment.insert(u"dev"_s, device);
        const QStringList pushed = options.split(u'\n', Qt::SkipEmptyParts);
        for (qsizetype i = 0; i < pushed.size(); ++i)
            environment.insert(u"foreign_option_%1"_s.arg(i + 1), pushed[i]);

        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
        process.start(u"/bin/sh"_s, { QStringLiteral(QUELLNET_SOURCE_DIR "/resources/") + script, device, u"1500"_s });
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        QFile recorded(m_dir.filePath(u"calls"_s));
        QCOMPARE(recorded.open(QIODevice::ReadOnly) ? recorded.readAll() : QByteArray(), calls);
        QVERIFY2(!QFile::exists(m_dir.filePath(u"pwned"_s)), "a pushed value was executed");
    }
};

QTEST_GUILESS_MAIN(TestHelperScripts)
#include "tst_helperscripts.moc"
