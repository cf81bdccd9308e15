// The helper program as root: the daemon over its socket with a real openvpn, and the install step
// into temporary roots. Every test leaves the daemon serving; cleanup() ends any openvpn a test
// left behind, and the daemons die with this process.

#include "HelperWire.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellnet;
using namespace Qt::StringLiterals;
using Op = HelperRequest::Operation;
using Kind = HelperReply::Kind;

namespace {

const QString helperProgram = QStringLiteral(QUELLNET_BUILD_PREFIX "/lib/quellnet/" QUELLNET_HELPER_ID);
const QString installDir = QStringLiteral("/usr/local/libexec/" QUELLNET_HELPER_ID);
constexpr uid_t allowedUid = 4242; // --allow-user
constexpr uid_t listedUid = 4243; // in the allowed-users file
constexpr uid_t otherUid = 65534; // neither

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs `command` with sh in `directory`; true if it succeeded.
bool shell(const QString &directory, const QString &command)
{
    QProcess sh;
    sh.setWorkingDirectory(directory);
    sh.start(u"/bin/sh"_s, { u"-ec"_s, command });
    return sh.waitForFinished(30000) && sh.exitStatus() == QProcess::NormalExit && sh.exitCode() == 0;
}

// A blocking client of the helper. It connects with `uid` as its effective uid, which the kernel
// reports as the peer's; with `pastTheFile` the file system uid stays root's for the connect, so
// the socket's permissions let it through and only the daemon's own check of the caller is left.
class Client : public QLocalSocket
{
public:
    explicit Client(const QString &path, uid_t uid = 0, bool pastTheFile = false)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address { AF_UNIX, {} };
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        // Raw system calls: they change this thread's credentials only, not the whole process's.
        ::syscall(SYS_setresuid, -1, uid, -1);
        if (pastTheFile)
            ::syscall(SYS_setfsuid, 0);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        ::syscall(SYS_setresuid, -1, 0, -1);
        if (!connected || !setSocketDescriptor(fd))
            ::close(fd);
    }

    bool send(const QByteArray &bytes) { return write(bytes) == bytes.size() && waitForBytesWritten(5000); }
    bool send(std::uint64_t id, Op operation, const QString &config = {}, const QString &script = u"/none"_s)
    {
        return send(HelperWire::encode(HelperRequest { id, operation, config, script, script }));
    }
    // The next line, or nothing at a time-out or the end of the connection.
    std::optional<QByteArray> line(int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!canReadLine()) {
            if (!waitForReadyRead(int(deadline.remainingTime())))
                return std::nullopt;
        }
        return readLine().chopped(1);
    }
    // The next reply; an empty error reply when there is none.
    HelperReply reply(int timeoutMs = 5000)
    {
        const auto read = line(timeoutMs);
        return read ? HelperWire::decodeReply(*read).message.value_or(HelperReply {}) : HelperReply {};
    }
    bool closedWithoutReply() { return !line() && state() == UnconnectedState && bytesAvailable() == 0; }
};

bool processAlive(pid_t pid)
{
    const QByteArray stat = readFile(u"/proc/%1/stat"_s.arg(pid));
    return !stat.isEmpty() && stat.at(stat.lastIndexOf(')') + 2) != 'Z';
}

QList<pid_t> childrenOf(pid_t parent)
{
    QList<pid_t> children;
    for (const QByteArray &child : readFile(u"/proc/%1/task/%1/children"_s.arg(parent)).split(' ')) {
        if (parent > 0 && child.toInt() > 0 && processAlive(child.toInt()))
            children.append(child.toInt());
    }
    return children;
}

// Waits for the one openvpn that `daemon` runs, other than `notThisOne`.
pid_t waitForOpenVPN(pid_t daemon, pid_t notThisOne = 0)
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const QList<pid_t> children = childrenOf(daemon);
        if (children.size() == 1 && children.first() != notThisOne
            && QFile::symLinkTarget(u"/proc/%1/exe"_s.arg(children.first())).endsWith(u"/openvpn"))
            return children.first();
        QTest::qWait(50);
    }
    return 0;
}

// Runs the helper on a base folder that holds its socket, runtime folder, allowed-users file and
// scripts; it dies with this process, and its openvpn with it.
class Daemon : public QProcess
{
public:
    ~Daemon() override { stop(); }

    static bool makeBase(const QString &base)
    {
        return QDir().mkpath(base)
            && shell(base,
                u"chmod 755 .; mkdir -m 700 run; mkdir scripts; cp %1/client.up %1/client.down scripts; chmod 755 "
                "scripts/*; printf '# by hand\\n%2\\n' >users"_s.arg(QStringLiteral(QUELLNET_SOURCE_DIR "/resources"))
                    .arg(listedUid));
    }

    bool start(const QString &base, const QStringList &extra = {})
    {
        setProcessChannelMode(MergedChannels);
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_log.clear();
        QProcess::start(helperProgram,
            QStringList { u"--socket"_s, base + u"/helper.sock"_s, u"--scripts-dir"_s, base + u"/scripts"_s,
                u"--runtime-dir"_s, base + u"/run"_s, u"--allowed-users-file"_s, base + u"/users"_s, u"--allow-user"_s,
                QString::number(allowedUid) }
                + extra);
        return waitForStarted() && waitForLog(u" serving "_s);
    }
    pid_t pid() const { return pid_t(processId()); }
    QString log() { return m_log += QString::fromUtf8(readAll()); }
    bool waitForLog(const QString &fragment, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!log().contains(fragment)) {
            if (deadline.hasExpired() || state() != Running)
                return false;
            waitForReadyRead(50);
        }
        return true;
    }
    // The exit code, or -1 after a crash.
    int stop()
    {
        if (state() == Running && ::kill(pid(), SIGTERM) == 0)
            waitForFinished(15000);
        log();
        return exitStatus() == NormalExit ? exitCode() : -1;
    }

private:
    QString m_log;
};

} // namespace

class TestHelperDaemon : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_valid;
    QString m_socket;
    Daemon m_daemon;
    std::uint64_t m_nextId = 100;

    QString path(const QString &name) const { return m_root.filePath(name); }
    static HelperReply versionReply(std::uint64_t id) { return { id, Kind::Version, u"" QUELLNET_VERSION ""_s, 0 }; }
    static HelperReply terminated(std::uint64_t id, int status) { return { id, Kind::TerminationStatus, {}, status }; }
    std::uint64_t nextId() { return m_nextId++; }

    bool daemonServes()
    {
        Client client(m_socket);
        const std::uint64_t id = nextId();
        return client.send(id, Op::GetVersion) && client.reply() == versionReply(id);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the helper daemon runs as root");
        m_valid = path(u"profiles/valid.ovpn"_s);
        m_socket = path(u"helper.sock"_s);
        // Other users reach the socket inside; only root may change anything here. openvpn
        // accepts the valid profile, then waits on its management interface for credentials that
        // never come: no packet leaves the machine.
        QVERIFY(Daemon::makeBase(m_root.path()));
        QVERIFY(shell(m_root.path(),
            u"openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=test-ca "
            "-keyout ca.key -out ca.crt 2>/dev/null; mkdir -m 755 profiles; cd profiles\n"
            "printf 'client\\ndev tun\\nremote 127.0.0.1 9 udp\\nnobind\\nauth-user-pass\\n<ca>\\n' >valid.ovpn\n"
            "(cat ../ca.crt; echo '</ca>') >>valid.ovpn; chmod 600 valid.ovpn"_s));
        QVERIFY2(m_daemon.start(m_root.path()), qPrintable(m_daemon.log()));
    }

    void cleanup()
    {
        // Whatever a failed test left running goes.
        for (pid_t pid : childrenOf(m_daemon.pid()))
            ::kill(pid, SIGKILL);
        QTRY_VERIFY(childrenOf(m_daemon.pid()).isEmpty());
        QVERIFY2(m_daemon.state() == QProcess::Running, qPrintable(m_daemon.log()));
    }

    void refusesToStartUnsafely_data()
    {
        QTest::addColumn<QString>("setup"); // in a base folder of its own
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *setup, const char *message, const QStringList &extra = {}) {
            QTest::newRow(name) << QString::fromLatin1(setup) << extra << QString::fromLatin1(message);
        };
        row("script not owned by root", "chown 4242 scripts/client.up", "is not owned by root");
        row("script writable by group", "chmod 775 scripts/client.down", "writable by group or others");
        row("users file writable by others", "chmod 666 users", "writable by group or others");
        row("script missing", "rm scripts/client.down", "client.down");
        row("runtime folder open to others", "chmod 755 run", "only root can use");
        row("socket path taken by a file", "touch helper.sock", "is not a socket");
        row("socket served by another helper", "", "already serves", { u"--socket"_s, m_socket });
        row("unknown user", "", "no such user", { u"--allow-user"_s, u"nobody-quellnet"_s });
    }
    void refusesToStartUnsafely()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, extra);
        QFETCH(QString, message);
        const QString base = path(u"start-%1"_s.arg(nextId()));
        QVERIFY(Daemon::makeBase(base) && shell(base, setup));
        Daemon daemon;
        QVERIFY(!daemon.start(base, extra));
        QVERIFY2(daemon.stop() != 0 && daemon.log().contains(message), qPrintable(daemon.log()));
        QVERIFY(shell(base, u"! test -S helper.sock"_s));
        QVERIFY(daemonServes());
    }

    void servesRootAndAllowedUsersOnly_data()
    {
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<bool>("pastTheFile");
        QTest::addColumn<bool>("served");
        QTest::newRow("root") << uid_t(0) << false << true;
        QTest::newRow("user allowed on the command line") << allowedUid << false << true;
        QTest::newRow("user recorded in the file") << listedUid << false << true;
        QTest::newRow("anyone else, at the socket file") << otherUid << false << false;
        QTest::newRow("anyone else, at the daemon") << otherUid << true << false;
    }
    void servesRootAndAllowedUsersOnly()
    {
        QFETCH(uid_t, uid);
        QFETCH(bool, pastTheFile);
        QFETCH(bool, served);
        Client client(m_socket, uid, pastTheFile);
        QCOMPARE(client.state() == QLocalSocket::ConnectedState, served || pastTheFile);
        if (served) {
            QVERIFY(client.send(7, Op::GetVersion));
            QCOMPARE(client.reply(), versionReply(7));
        } else if (pastTheFile) {
            client.send(7, Op::GetVersion);
            QVERIFY(client.closedWithoutReply());
            QVERIFY(m_daemon.waitForLog(u"refused a connection from uid %1"_s.arg(uid)));
        }
        QVERIFY(daemonServes());
    }

    // Each refusal is logged and answered with one termination reply; no openvpn starts.
    void refusesUntrustedProfiles_data()
    {
        QTest::addColumn<QString>("setup"); // in profiles/, on p.ovpn, a copy of valid.ovpn
        QTest::addColumn<QString>("config");
        QTest::addColumn<uid_t>("caller");
        QTest::addColumn<std::int32_t>("status");
        QTest::addColumn<QString>("reason");
        const QString config = path(u"profiles/p.ovpn"_s);
        const auto row = [&config](const char *name, const char *setup, std::int32_t status, const char *reason,
                             uid_t caller = 0, const QString &otherConfig = {}) {
            QTest::newRow(name) << QString::fromLatin1(setup) << (otherConfig.isEmpty() ? config : otherConfig)
                                << caller << status << QString::fromLatin1(reason);
        };
        row("symbolic link", "ln -sf valid.ovpn p.ovpn", 77, "is a symbolic link");
        row("another user's file", "chown 4242 p.ovpn", 77, "owned by uid 4242");
        row("root's file asked for by a user", "", 77, "owned by uid 0", allowedUid);
        row("group-writable", "chmod 620 p.ovpn", 77, "writable by group or others");
        row("world-writable", "chmod 602 p.ovpn", 77, "writable by group or others");
        row("directory", "rm p.ovpn; mkdir p.ovpn", 77, "not a regular file");
        row("missing", "rm p.ovpn", 66, "cannot be opened");
        row("relative path", "", 77, "not an absolute path", 0, u"profiles/p.ovpn"_s);
        row("runs a script", "echo 'up /bin/sh' >>p.ovpn", 78, "runs a program as root");
        row("too large", "truncate -s 2M p.ovpn", 78, "larger than");
    }
    void refusesUntrustedProfiles()
    {
        QFETCH(QString, setup);
        QFETCH(QString, config);
        QFETCH(uid_t, caller);
        QFETCH(std::int32_t, status);
        QFETCH(QString, reason);
        QVERIFY(shell(path(u"profiles"_s), u"rm -rf p.ovpn; cp -p valid.ovpn p.ovpn; "_s + setup));

        const std::uint64_t id = nextId();
        Client client(m_socket, caller);
        QVERIFY(client.send(id, Op::RunOpenVPN, config));
        QCOMPARE(client.reply(), terminated(id, status));
        QVERIFY(m_daemon.waitForLog(u"refused run request %1 "_s.arg(id)));
        QVERIFY2(m_daemon.log().contains(reason), qPrintable(m_daemon.log().right(400)));
        QVERIFY(!client.line(300));
        QVERIFY(childrenOf(m_daemon.pid()).isEmpty());
        QVERIFY(daemonServes());
    }

    void refusesGarbage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("answered"); // with an error, on a connection that stays usable
        QTest::newRow("not JSON") << QByteArray("hello helper\n") << false;
        QTest::newRow("unknown operation") << QByteArray("{\"id\":7,\"op\":\"reboot\"}\n") << true;
        QTest::newRow("oversized line") << QByteArray(HelperWire::maxLineLength + 10, 'a') + '\n' << false;
        QTest::newRow("oversized, no line end") << QByteArray(HelperWire::maxLineLength + 10, '{') << false;
    }
    void refusesGarbage()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, answered);
        // A quiet client holding half a request does not keep the others waiting.
        Client idle(m_socket);
        QVERIFY(idle.send("{\"id\":1,"));
        Client client(m_socket);
        QVERIFY(client.send(bytes));
        if (answered) {
            QCOMPARE(client.reply().id, 7u);
            QVERIFY(client.send(9, Op::GetVersion));
            QCOMPARE(client.reply(), versionReply(9));
        } else {
            QVERIFY(client.closedWithoutReply());
        }
        QVERIFY(daemonServes());
    }

    // openvpn runs the helper's root-only copy of the profile and the helper's own scripts, never
    // the caller's, with a minimal environment. One that does not end on SIGTERM (stopped here)
    // gets SIGKILL 5 s later, and the reply says so.
    void runsOpenVPNAndKillsIt()
    {
        QVERIFY(shell(m_root.path(),
            u"printf '#!/bin/sh\\ntouch %s/caller-script-ran\\n' \"$PWD\" >caller.up; chmod 755 caller.up"_s));
        Client client(m_socket);
        const std::uint64_t id = nextId();
        QVERIFY(client.send(id, Op::RunOpenVPN, m_valid, path(u"caller.up"_s)));
        const pid_t openvpn = waitForOpenVPN(m_daemon.pid());
        QVERIFY(openvpn > 0);

        const QList<QByteArray> arguments = readFile(u"/proc/%1/cmdline"_s.arg(openvpn)).split('\0');
        const QByteArray joined = arguments.join(' ');
        const QString copy = QFile::decodeName(arguments.value(arguments.indexOf("--config") + 1));
        QVERIFY2(copy.startsWith(path(u"run/"_s)), joined.constData());
        const QByteArray scripts = QFile::encodeName(path(u"scripts"_s));
        QVERIFY2(joined.contains("--up " + scripts + "/client.up")
                && joined.contains("--down " + scripts + "/client.down") && !joined.contains("caller.up"),
            joined.constData());
        QCOMPARE(readFile(u"/proc/%1/environ"_s.arg(openvpn)), QByteArray("PATH=/usr/sbin:/usr/bin:/sbin:/bin", 35));
        QVERIFY(QFileInfo(copy).ownerId() == 0 && (QFileInfo(copy).permissions() & 0x7077) == 0x6000); // rw-------

        QCOMPARE(::kill(openvpn, SIGSTOP), 0);
        QVERIFY(Client(m_socket).send(nextId(), Op::KillOpenVPN));
        QElapsedTimer sinceKill;
        sinceKill.start();
        QCOMPARE(client.reply(15000), terminated(id, -SIGKILL));
        QVERIFY(sinceKill.elapsed() >= 4500);
        QVERIFY2(!client.line(1000), "a second reply for the same run request");
        QTRY_VERIFY(!processAlive(openvpn));
        QVERIFY(!QFile::exists(copy));
        QVERIFY(!QFile::exists(path(u"caller-script-ran"_s)));
    }

    // A second run request waits for the running openvpn, which gets SIGTERM after 5 s; a request
    // still waiting when a third comes is dropped; every request gets exactly one reply, and one
    // whose client has gone is dropped.
    void newRunRequestReplacesTheRunningOne()
    {
        auto first = std::make_unique<Client>(m_socket), second = std::make_unique<Client>(m_socket),
             third = std::make_unique<Client>(m_socket);
        const std::uint64_t firstId = nextId(), secondId = nextId(), thirdId = nextId();
        QVERIFY(first->send(firstId, Op::RunOpenVPN, m_valid));
        const pid_t firstOpenVPN = waitForOpenVPN(m_daemon.pid());
        QVERIFY(firstOpenVPN > 0);

        QElapsedTimer sinceReplaced;
        sinceReplaced.start();
        QVERIFY(second->send(secondId, Op::RunOpenVPN, m_valid));
        QVERIFY(third->send(thirdId, Op::RunOpenVPN, m_valid));
        QCOMPARE(second->reply(), terminated(secondId, 75));
        QTest::qWait(3000);
        QCOMPARE(childrenOf(m_daemon.pid()), QList<pid_t> { firstOpenVPN });

        const HelperReply firstReply = first->reply(10000);
        QVERIFY(firstReply.id == firstId && firstReply.kind == Kind::TerminationStatus);
        QVERIFY(sinceReplaced.elapsed() >= 4500);
        QVERIFY(waitForOpenVPN(m_daemon.pid(), firstOpenVPN) > 0);
        third.reset();
        QVERIFY(second->send(nextId(), Op::KillOpenVPN));
        QVERIFY(m_daemon.waitForLog(u"dropped the reply to request %1"_s.arg(thirdId), 15000));
        QVERIFY(!first->line(0) && !second->line(0));
        QVERIFY(daemonServes());
    }

    // Each failure of the install step (as pkexec runs it) says why, with a status that cannot pass
    // for pkexec's own (126, 127), and leaves the helper that was there and nothing half-written.
    void installFailuresLeaveThePreviousHelper_data()
    {
        QTest::addColumn<QString>("setup"); // $d: the install folder, $id: the helper's name, $run: a prefix
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *setup, const char *message) {
            QTest::newRow(name) << QString::fromLatin1(setup) << QString::fromLatin1(message);
        };
        row("not root", "run='setpriv --reuid=65534 --regid=65534 --clear-groups'", "must run as root");
        row("not through pkexec", "unset PKEXEC_UID", "PKEXEC_UID is not set");
        row("PKEXEC_UID garbage", "PKEXEC_UID='1000;0'", "does not name a user");
        row("install folder open to others", "chmod 777 $d", "writable by group or others");
        row("unit cannot be replaced", "mkdir -p etc/systemd/system/$id.service/x", "cannot replace");
    }
    void installFailuresLeaveThePreviousHelper()
    {
        QFETCH(QString, setup);
        QFETCH(QString, message);
        QTemporaryDir root;
        QProcess step;
        step.setWorkingDirectory(root.path());
        step.start(u"/bin/sh"_s,
            { u"-ec"_s,
                u"d=.%1; id=" QUELLNET_HELPER_ID "; run=; export PKEXEC_UID=4242; mkdir -p $d; echo before >$d/$id\n"
                "%2\nexec $run %3 --install --root \"$PWD\""_s.arg(installDir, setup, helperProgram) });
        QVERIFY(step.waitForFinished(30000) && step.exitStatus() == QProcess::NormalExit);
        const QString errors = QString::fromUtf8(step.readAllStandardError());
        QVERIFY2(step.exitCode() > 0 && step.exitCode() != 126 && step.exitCode() != 127 && errors.contains(message),
            qPrintable(errors));
        QCOMPARE(readFile(root.path() + installDir + u"/" QUELLNET_HELPER_ID ""_s), "before\n");
        QCOMPARE(QDir(root.path() + installDir).entryList({ u".*"_s }, QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestHelperDaemon)
#include "tst_helperdaemon.moc"
