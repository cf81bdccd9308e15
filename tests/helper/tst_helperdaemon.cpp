// The helper daemon as root over its socket, and its install step below a root folder (--install
// --root) with a daemon run from what it installed; with a real openvpn and clients of any uid.

#include "tests/helper/HelperTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <poll.h>

using namespace quellnet;
using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

constexpr uid_t allowedUid = 4242; // --allow-user
constexpr uid_t listedUid = 4243; // in the allowed-users file
constexpr int runs = -1; // in place of a status: the run is accepted and its openvpn starts
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

class TestHelperDaemon : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_valid, m_socket;
    // Two allowed users; A has a supplementary group. The kernel hands the daemon a client's uid and
    // groups, and the install step takes a uid: neither needs an account.
    const Identity m_a { 4245, 4245, { 4250 } }, m_b { 4246, 4246, {} };
    Daemon m_daemon;
    std::uint64_t m_nextId = 100;

    QString path(const QString &name) const { return m_root.filePath(name); }
    std::uint64_t nextId() { return m_nextId++; }
    bool daemonServes(uid_t uid = 0)
    {
        Client client(m_socket, uid);
        const std::uint64_t id = nextId();
        return client.send(id, Op::GetVersion) && client.reply() == versionReply(id);
    }
    HelperReply getRun(const Identity &caller)
    {
        Client client(m_socket, caller, Client::Access::DaemonOnly);
        const std::uint64_t id = nextId();
        return client.send(id, Op::GetRun) ? client.reply() : HelperReply {};
    }
    bool writeUsers(const QList<uid_t> &uids)
    {
        QStringList lines { u"# by hand"_s };
        for (uid_t uid : uids)
            lines.append(QString::number(uid));
        // Replaced the way the install step replaces it.
        return shell(m_root.path(), u"printf '%1\\n' >.users.new; mv .users.new users"_s.arg(lines.join(u"\\n")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the helper daemon runs as root");
        m_valid = path(u"profiles/valid.ovpn"_s), m_socket = path(u"helper.sock"_s);

        // The base folder holds the socket, runtime folder, allowed-users file and scripts. openvpn
        // accepts the profile, then waits for credentials that never come. Files left by a run
        // that did not end cleanly lie in the runtime folder.
        QVERIFY(shell(m_root.path(),
            u"chmod 755 .; mkdir -m 700 run; touch run/profile-1-1.ovpn run/management-1-1.pw; mkdir scripts; "
            "cp %1/client.up %1/client.down scripts; chmod 755 scripts/*; mkdir -m 755 profiles"_s.arg(
                QStringLiteral(QUELLNET_SOURCE_DIR "/resources"))));
        QVERIFY(makeWaitingProfile(path(u"profiles"_s)));
        QVERIFY(writeUsers({ listedUid, m_a.uid, m_b.uid }));
        const QString base = m_root.path();
        m_daemon.start(helperProgram,
            { u"--socket"_s, m_socket, u"--scripts-dir"_s, base + u"/scripts"_s, u"--runtime-dir"_s, base + u"/run"_s,
                u"--allowed-users-file"_s, base + u"/users"_s, u"--allow-user"_s, QString::number(allowedUid) });
        QVERIFY2(m_daemon.waitForStarted() && m_daemon.waitForLog(u" serving "_s), qPrintable(m_daemon.log()));
        QVERIFY(QDir(path(u"run"_s)).isEmpty());
    }

    void cleanup() // whatever a failed test left running goes
    {
        for (pid_t pid : childrenOf(m_daemon.pid()))
            ::kill(pid, SIGKILL);
        QTRY_VERIFY(childrenOf(m_daemon.pid()).isEmpty());
    }

    // Who may talk to the daemon, and what a connection may send; each case leaves it serving.
    void checksEveryConnection_data()
    {
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("answered"); // else closed without a reply
        const QByteArray version = HelperWire::encode(HelperRequest { 7, Op::GetVersion, {}, {}, {}, {} });
        QTest::newRow("user allowed on the command line") << allowedUid << version << true;
        QTest::newRow("anyone else") << nobody << version << false;
        QTest::newRow("unknown operation") << uid_t(0) << QByteArray("{\"id\":7,\"op\":\"reboot\"}\n") << true;
        QTest::newRow("oversized line") << uid_t(0) << QByteArray(HelperWire::maxLineLength + 10, 'a') + '\n' << false;
    }
    void checksEveryConnection()
    {
        QFETCH(uid_t, uid);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, answered);
        Client idle(m_socket); // holding half a request, it keeps nobody waiting
        QVERIFY(idle.send("{\"id\":1,"));
        Client client(m_socket, uid);
        QVERIFY(client.send(bytes) || !answered); // a refused peer may be gone before it is written
        if (answered) {
            QCOMPARE(client.reply().id, 7u);
            QVERIFY(client.send(9, Op::GetVersion));
            QCOMPARE(client.reply(), versionReply(9));
        } else {
            QVERIFY(client.closedWithoutReply());
        }
        if (uid == nobody)
            QVERIFY(m_daemon.waitForLog(u"refused a connection from uid %1"_s.arg(uid)));
        QVERIFY(daemonServes());
    }

    // Each refusal is logged and answered with one termination reply; no openvpn starts.
    void refusesProfiles_data()
    {
        QTest::addColumn<QString>("setup"); // on p.ovpn, a copy of valid.ovpn; %1 is user A
        QTest::addColumn<uid_t>("caller");
        QTest::addColumn<std::int32_t>("status");
        QTest::addColumn<QString>("reason");
        const auto row
            = [this](const char *name, const char *setup, std::int32_t status, const char *reason, uid_t caller = 0) {
                  QTest::newRow(name) << QString::fromLatin1(setup).replace(u"%1"_s, QString::number(m_a.uid)) << caller
                                      << status << QString::fromLatin1(reason);
              };
        row("symbolic link", "ln -sf valid.ovpn p.ovpn", 77, "is a symbolic link");
        // Read as the user: root's file is one it cannot open at all.
        row("root's file asked for by a user", "", 66, "cannot be opened: Permission denied", m_a.uid);
        row("a FIFO of the user's", "rm p.ovpn; mkfifo -m 600 p.ovpn; chown %1 p.ovpn", 77, "is not a regular file",
            m_a.uid);
        row("group-writable", "chmod 620 p.ovpn", 77, "writable by group or others");
    }
    void refusesProfiles()
    {
        QFETCH(QString, setup);
        QFETCH(uid_t, caller);
        QFETCH(std::int32_t, status);
        QFETCH(QString, reason);
        QVERIFY(shell(path(u"profiles"_s), u"rm -rf p.ovpn; cp -p valid.ovpn p.ovpn; "_s + setup));
        const std::uint64_t id = nextId();
        Client client(m_socket, caller);
        QVERIFY(client.send(id, Op::RunOpenVPN, path(u"profiles/p.ovpn"_s)));
        QCOMPARE(client.reply(), terminated(id, status));
        QVERIFY(m_daemon.waitForLog(u"refused run request %1 "_s.arg(id)));
        QVERIFY2(m_daemon.log().contains(reason), qPrintable(m_daemon.log().right(400)));
        QVERIFY(!client.hasLine(300));
        QVERIFY(childrenOf(m_daemon.pid()).isEmpty());
        QVERIFY(daemonServes());
    }

    // The profile is opened with the caller's uid, gid and groups: whatever the user can reach
    // runs, and what the user cannot reach gives one answer whether or not it exists.
    void readsTheProfileAsTheCaller_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("profile");
        QTest::addColumn<int>("status");
        const QString a = QString::number(m_a.uid);
        const QString group = QString::number(m_a.groups.front());
        QTest::newRow("behind a folder that a group of the user's may search")
            << u"mkdir -m 710 grp; chgrp %2 grp; install -o %1 -m 600 valid.ovpn grp/p.ovpn"_s.arg(a, group)
            << u"grp/p.ovpn"_s << runs;
        QTest::newRow("behind a folder the user cannot search")
            << u"mkdir -m 700 closed; install -o %1 -m 600 valid.ovpn closed/p.ovpn"_s.arg(a) << u"closed/p.ovpn"_s
            << 66;
        QTest::newRow("the same, missing") << u"mkdir -m 700 closed"_s << u"closed/p.ovpn"_s << 66;
    }
    void readsTheProfileAsTheCaller()
    {
        QFETCH(QString, setup);
        QFETCH(QString, profile);
        QFETCH(int, status);
        QVERIFY(shell(path(u"profiles"_s), u"rm -rf grp closed; "_s + setup));
        const std::uint64_t id = nextId();
        Client client(m_socket, m_a, Client::Access::DaemonOnly);
        QVERIFY(client.send(id, Op::RunOpenVPN, path(u"profiles/"_s + profile)));
        if (status != runs) {
            QCOMPARE(client.reply(), terminated(id, status));
            return;
        }
        QVERIFY(waitForOpenVPN(m_daemon.pid()) > 0);
        Client owner(m_socket, m_a, Client::Access::DaemonOnly);
        QVERIFY(owner.send(nextId(), Op::KillOpenVPN));
        const HelperReply ended = client.reply(15000);
        QVERIFY(ended.id == id && ended.kind == Kind::TerminationStatus);
    }

    // openvpn runs a root-only copy of the profile and the helper's own scripts, never the
    // caller's, behind the run's management password in a root-only file that goes with the run,
    // and binds no port of its own. One at a time: a new run request waits for the running one to
    // end (SIGTERM after 5 s), and a third drops the waiting second. One that ignores SIGTERM gets
    // SIGKILL 5 s later.
    void runsOneOpenVPNAtATime()
    {
        QVERIFY(shell(m_root.path(),
            u"printf '#!/bin/sh\\ntouch %s/caller-script-ran\\n' \"$PWD\" >caller.up; chmod 755 caller.up"_s));
        Client first(m_socket), second(m_socket), third(m_socket);
        const std::uint64_t firstId = nextId(), secondId = nextId(), thirdId = nextId();
        QVERIFY(first.send(firstId, Op::RunOpenVPN, m_valid, path(u"caller.up"_s)));
        const pid_t openvpn = waitForOpenVPN(m_daemon.pid());
        QVERIFY(openvpn > 0);
        const QList<QByteArray> arguments = ProcFs::read(u"/proc/%1/cmdline"_s.arg(openvpn)).split('\0');
        const QByteArray joined = arguments.join(' ');
        const QString copy = QFile::decodeName(arguments.value(arguments.indexOf("--config") + 1));
        const QByteArray scripts = QFile::encodeName(path(u"scripts"_s));
        // The helper's own scripts, told where the helper keeps what they must undo.
        const QByteArray runtime = ' ' + QFile::encodeName(path(u"run"_s));
        QVERIFY2(copy.startsWith(path(u"run/"_s))
                && arguments.value(arguments.indexOf("--route-up") + 1) == scripts + "/client.up" + runtime
                && arguments.value(arguments.indexOf("--down") + 1) == scripts + "/client.down" + runtime
                && !joined.contains("caller.up") && arguments.contains("--nobind"),
            joined.constData());
        QVERIFY(QFileInfo(copy).ownerId() == 0 && (QFileInfo(copy).permissions() & 0x7077) == 0x6000); // rw-------
        const qsizetype management = arguments.indexOf("--management");
        QCOMPARE(arguments.mid(management + 1, 2), (QList<QByteArray> { "127.0.0.1", "1337" }));
        const QString secretFile = QFile::decodeName(arguments.value(management + 3));
        QVERIFY2(secretFile.startsWith(path(u"run/"_s)), qPrintable(secretFile));
        QVERIFY(QFileInfo(secretFile).ownerId() == 0 && (QFileInfo(secretFile).permissions() & 0x7077) == 0x6000);
        QCOMPARE(readFile(secretFile), testSecret.toLatin1() + '\n');
        QVERIFY2(!m_daemon.log().contains(testSecret), "the secret reached the log");
        // Root's run: root learns its password, another user only whose run it is.
        QCOMPARE(getRun(Identity {}).run, std::optional(HelperRun { 0, testSecret }));
        QCOMPARE(getRun(m_b).run, std::optional(HelperRun { 0, std::nullopt }));

        QVERIFY(second.send(secondId, Op::RunOpenVPN, m_valid) && third.send(thirdId, Op::RunOpenVPN, m_valid));
        QCOMPARE(second.reply(), terminated(secondId, 75));
        QTest::qWait(3000);
        QCOMPARE(childrenOf(m_daemon.pid()), QList<pid_t> { openvpn });
        const HelperReply firstReply = first.reply(10000);
        QVERIFY(firstReply.id == firstId && firstReply.kind == Kind::TerminationStatus);
        QVERIFY(!QFile::exists(copy) && !QFile::exists(secretFile) && !QFile::exists(path(u"caller-script-ran"_s)));

        const pid_t next = waitForOpenVPN(m_daemon.pid(), openvpn);
        QVERIFY(next > 0);
        // Stopped before it handles SIGTERM, openvpn would die of the helper's SIGTERM at once.
        QTRY_VERIFY(ProcFs::catchesSignal(next, SIGTERM));
        QVERIFY(::kill(next, SIGSTOP) == 0);
        QVERIFY(second.send(nextId(), Op::KillOpenVPN));
        QCOMPARE(third.reply(15000), terminated(thirdId, -SIGKILL));
        QVERIFY2(!first.hasLine(1000) && !second.hasLine(0) && !third.hasLine(0), "a second reply");
        QVERIFY(QDir(path(u"run"_s)).isEmpty());
    }

    // One user holding 200 idle connections keeps only a few of them, locks out no one else, and
    // loses those that never ask for anything after the idle time-out; a connection that asked
    // stays.
    void nobodyCanLockTheHelper()
    {
        // The daemon accepts before it notices connections that ended: those of the tests before
        // must be gone before the flood, or their end lets a few more in, and the refusal is
        // logged again. They ended before this request came, so they are gone once it is answered.
        QVERIFY(daemonServes(0));
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < 200; ++i)
            held.push_back(std::make_unique<Client>(m_socket, m_a, Client::Access::AsTheUser));
        QVERIFY(held.front()->state() == QLocalSocket::ConnectedState);
        QVERIFY(daemonServes(m_b.uid));
        QVERIFY(daemonServes(0));
        const auto open = [&held] {
            int count = 0;
            for (const auto &client : held) {
                pollfd peer { int(client->socketDescriptor()), POLLRDHUP, 0 };
                count += client->socketDescriptor() >= 0 && ::poll(&peer, 1, 0) == 0;
            }
            return count;
        };
        QTRY_COMPARE(open(), 16);
        QVERIFY(m_daemon.waitForLog(u"refusing connections from uid %1"_s.arg(m_a.uid)));
        QCOMPARE(m_daemon.log().count(u"refusing connections from uid %1"_s.arg(m_a.uid)), 1);

        Client asking(m_socket, m_b, Client::Access::AsTheUser);
        QVERIFY(asking.send(nextId(), Op::GetVersion) && asking.reply().kind == Kind::Version);
        QTRY_COMPARE_WITH_TIMEOUT(open(), 0, 15000);
        QVERIFY(m_daemon.waitForLog(u"closing the connection of uid %1"_s.arg(m_a.uid)));
        QVERIFY(asking.send(9, Op::GetVersion));
        QCOMPARE(asking.reply(), versionReply(9));
        QVERIFY(daemonServes(m_a.uid));
    }

    // A user taken off the allowed users' file while the daemon runs loses its connection and the
    // socket without a restart; one added is let in (addingAUserKeepsTheTunnelUp).
    void allowedUsersFollowTheFile()
    {
        const qint64 daemon = m_daemon.processId();
        Client listed(m_socket, listedUid, Client::Access::AsTheUser);
        QVERIFY(listed.send(3, Op::GetVersion));
        QCOMPARE(listed.reply(), versionReply(3));
        QVERIFY(writeUsers({ m_a.uid, m_b.uid }));
        QVERIFY(listed.closedWithoutReply());
        QCOMPARE(Client(m_socket, listedUid, Client::Access::AsTheUser).connectError(), EACCES);
        QVERIFY(daemonServes(m_b.uid));
        QCOMPARE(m_daemon.processId(), daemon);
    }

    // What the step installs runs as root: a source anyone but root could have changed, or that
    // lies in a folder anyone else could change, is refused, and nothing is installed.
    void refusesUntrustedSources_data()
    {
        QTest::addColumn<QString>("setup"); // in a copy of the program's layout
        QTest::addColumn<QString>("refusal");
        QTest::newRow("client.up writable by others")
            << u"chmod o+w share/quellnet/client.up"_s << u"client.up is writable by group or others"_s;
        QTest::newRow("the unit template a user's")
            << u"chown %1 share/quellnet/%2.service.in"_s.arg(nobody).arg(id) << u".service.in is not owned by root"_s;
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
        QCOMPARE(step.exitCode, 1);
        QVERIFY2(step.log.contains(u"refusing to install from "_s) && step.log.contains(refusal), qPrintable(step.log));
        QVERIFY(!QFileInfo::exists(root.path() + u"/usr/local/libexec/%1/%1"_s.arg(id)));
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
        QVERIFY(shell(root.path() + u"/profiles"_s, u"install -o %1 -m 600 %2 a.ovpn"_s.arg(m_a.uid).arg(m_valid)));
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

QTEST_GUILESS_MAIN(TestHelperDaemon)
#include "tst_helperdaemon.moc"
