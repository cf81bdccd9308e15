// The helper's install step as root below a root folder (--install --root), with a real daemon
// run from what it installed, a real openvpn and real local users.

#include "tests/helper/HelperTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

const QString id = QStringLiteral(QUELLNET_HELPER_ID);

struct Installed
{
    int exitCode = -1;
    QString log;
};

// The install step of `helper` for `uid`, as pkexec would run it.
Installed install(const QString &root, uid_t uid, const QString &helper = helperProgram)
{
    QProcess step;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PKEXEC_UID"_s, QString::number(uid));
    step.setProcessEnvironment(environment);
    step.setProcessChannelMode(QProcess::MergedChannels);
    step.start(helper, { u"--install"_s, u"--root"_s, root });
    if (!step.waitForFinished(30000) || step.exitStatus() != QProcess::NormalExit)
        return {};
    return { step.exitCode(), QString::fromUtf8(step.readAll()) };
}

} // namespace

class TestInstallStep : public QObject
{
    Q_OBJECT

    TestAccounts m_accounts;
    Identity m_a, m_b;
    QTemporaryDir m_ca; // valid.ovpn

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the install step runs as root");
        const std::optional<Identity> a = m_accounts.user(u"qntest-install-a"_s);
        const std::optional<Identity> b = m_accounts.user(u"qntest-install-b"_s);
        QVERIFY2(a && b, "cannot make the test's users");
        m_a = *a, m_b = *b;
        QVERIFY(makeWaitingProfile(m_ca.path()));
    }

    // What the step installs runs as root: a source anyone but root could have changed, or that
    // lies in a folder anyone else could change, is refused, and nothing is installed.
    void refusesUntrustedSources_data()
    {
        QTest::addColumn<QString>("setup"); // in a copy of the program's layout
        QTest::addColumn<QString>("refusal"); // empty: installed
        QTest::newRow("the program's own files") << QString() << QString();
        QTest::newRow("client.up writable by others")
            << u"chmod o+w share/quellnet/client.up"_s << u"client.up is writable by group or others"_s;
        QTest::newRow("the unit template a user's")
            << u"chown 65534 share/quellnet/%1.service.in"_s.arg(id) << u".service.in is not owned by root"_s;
        QTest::newRow("the scripts' folder writable by its group")
            << u"chmod g+w share/quellnet"_s << u"share/quellnet is writable by group or others"_s;
        QTest::newRow("client.down a link into a user's folder")
            << u"mkdir -m 777 open; cp -p share/quellnet/client.down open/; ln -sf ../../open/client.down "
               "share/quellnet/client.down"_s
            << u"open is writable by group or others"_s;
    }
    void refusesUntrustedSources()
    {
        QFETCH(QString, setup);
        QFETCH(QString, refusal);
        QTemporaryDir prefix, root;
        const QString data = QFileInfo(helperProgram).absolutePath() + u"/../../share/quellnet"_s;
        QVERIFY(shell(prefix.path(),
            u"chmod 755 .; mkdir -p lib/quellnet share/quellnet; cp %1 lib/quellnet/; cp %2/client.up %2/client.down "
            "%2/%3.service.in share/quellnet/; "_s.arg(helperProgram, data, id)
                + setup));
        QVERIFY(shell(root.path(), u"chmod 755 ."_s));
        const Installed step = install(root.path(), m_a.uid, prefix.filePath(u"lib/quellnet/"_s + id));
        const QString installedHelper = root.path() + u"/usr/local/libexec/%1/%1"_s.arg(id);
        if (refusal.isEmpty()) {
            QVERIFY2(step.exitCode == 0, qPrintable(step.log));
            QVERIFY(QFileInfo::exists(installedHelper));
            return;
        }
        QCOMPARE(step.exitCode, 1);
        QVERIFY2(step.log.contains(u"refusing to install from "_s) && step.log.contains(refusal), qPrintable(step.log));
        QVERIFY(!QFileInfo::exists(installedHelper));
        QVERIFY(!QFileInfo::exists(root.path() + u"/etc/%1/allowed-users"_s.arg(id)));
    }

    // A further user of the same helper is only added: the daemon that runs stays, with its
    // tunnel, and lets the user in by itself. Only a different helper means a restart.
    void addingAUserKeepsTheTunnelUp()
    {
        QTemporaryDir root;
        QVERIFY(shell(root.path(), u"chmod 755 .; mkdir -m 755 run profiles"_s));
        Installed step = install(root.path(), m_a.uid);
        QVERIFY2(step.exitCode == 0, qPrintable(step.log));
        // Nothing serves yet: a real install would start the service.
        QVERIFY2(step.log.contains(u"installed for uid %1: files replaced, allowed users changed; the helper's "
                                   "service would be restarted"_s.arg(m_a.uid)),
            qPrintable(step.log));

        const QString helperDir = root.path() + u"/usr/local/libexec/"_s + id;
        const QString socket = root.path() + u"/run/%1.sock"_s.arg(id);
        Daemon daemon;
        daemon.start(helperDir + u"/"_s + id,
            { u"--socket"_s, socket, u"--allowed-users-file"_s, root.path() + u"/etc/%1/allowed-users"_s.arg(id),
                u"--runtime-dir"_s, root.path() + u"/run/"_s + id });
        QVERIFY2(daemon.waitForStarted() && daemon.waitForLog(u" serving "_s), qPrintable(daemon.log()));

        // A's tunnel: its openvpn waits for a server that never answers, until it is ended.
        QVERIFY(shell(root.path() + u"/profiles"_s,
            u"install -o %1 -m 600 %2/valid.ovpn a.ovpn"_s.arg(m_a.uid).arg(m_ca.path())));
        Client aRun(socket, m_a, Client::Access::AsTheUser);
        QVERIFY(aRun.send(1, Op::RunOpenVPN, root.path() + u"/profiles/a.ovpn"_s));
        const pid_t openvpn = waitForOpenVPN(daemon.pid());
        QVERIFY2(openvpn > 0, qPrintable(daemon.log()));
        QCOMPARE(Client(socket, m_b, Client::Access::AsTheUser).connectError(), EACCES);

        step = install(root.path(), m_b.uid);
        QVERIFY2(step.exitCode == 0, qPrintable(step.log));
        QVERIFY2(step.log.contains(u"installed for uid %1: files unchanged, allowed users changed; the running helper "
                                   "stays"_s.arg(m_b.uid)),
            qPrintable(step.log));
        // The step returns once the daemon lets B in.
        Client b(socket, m_b, Client::Access::AsTheUser);
        QCOMPARE(b.connectError(), 0);
        QVERIFY(b.send(2, Op::GetRun));
        QCOMPARE(b.reply(), runReply(2, HelperRun { m_a.uid, std::nullopt }));
        QCOMPARE(childrenOf(daemon.pid()), QList<pid_t> { openvpn });
        QVERIFY(daemon.state() == QProcess::Running && !aRun.hasLine(0));

        step = install(root.path(), m_b.uid);
        QVERIFY2(step.log.contains(u"files unchanged, allowed users unchanged; the running helper stays"_s),
            qPrintable(step.log));

        // Another helper is installed (here: the installed one differs from the one that installs).
        QVERIFY(shell(helperDir, u"cp -p %1 .new; echo >>.new; mv .new %1"_s.arg(id)));
        step = install(root.path(), m_b.uid);
        QVERIFY2(step.exitCode == 0
                && step.log.contains(u"files replaced, allowed users unchanged; the helper's service would be "
                                     "restarted"_s),
            qPrintable(step.log));
        QCOMPARE(readFile(helperDir + u"/"_s + id), readFile(helperProgram));

        QVERIFY(Client(socket, m_a, Client::Access::AsTheUser).send(3, Op::KillOpenVPN));
        QCOMPARE(aRun.reply(15000).kind, HelperReply::Kind::TerminationStatus);
    }
};

QTEST_GUILESS_MAIN(TestInstallStep)
#include "tst_installstep.moc"
