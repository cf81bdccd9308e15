// The helper daemon as root over its socket, with a real openvpn.

#include "helperlink/HelperWire.h"

#include <QDeadlineTimer>
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
constexpr uid_t allowedUid = 4242; // --allow-user
constexpr uid_t listedUid = 4243; // in the allowed-users file
constexpr uid_t otherUid = 65534; // neither

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool shell(const QString &directory, const QString &command)
{
    QProcess sh;
    sh.setWorkingDirectory(directory);
    sh.start(u"/bin/sh"_s, { u"-ec"_s, command });
    return sh.waitForFinished(30000) && sh.exitStatus() == QProcess::NormalExit && sh.exitCode() == 0;
}

// A blocking client whose peer uid, as the kernel reports it, is `uid`; its file system uid stays
// root's, so the socket file lets it through and only the daemon's own check is left.
class Client : public QLocalSocket
{
public:
    explicit Client(const QString &path, uid_t uid = 0)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address { AF_UNIX, {} };
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        // Raw system calls change this thread's credentials only, not the whole process's.
        ::syscall(SYS_setresuid, -1, uid, -1);
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
    bool hasLine(int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!canReadLine() && waitForReadyRead(int(deadline.remainingTime()))) { }
        return canReadLine();
    }
    HelperReply reply(int timeoutMs = 5000)
    {
        return hasLine(timeoutMs) ? HelperWire::decodeReply(readLine()).message.value_or(HelperReply {})
                                  : HelperReply {};
    }
    bool closedWithoutReply() { return !hasLine() && state() == UnconnectedState && bytesAvailable() == 0; }
};

QList<pid_t> childrenOf(pid_t parent)
{
    QList<pid_t> children;
    for (const QByteArray &child : readFile(u"/proc/%1/task/%1/children"_s.arg(parent)).split(' ')) {
        const QByteArray stat = readFile(u"/proc/%1/stat"_s.arg(child.toInt()));
        if (parent > 0 && child.toInt() > 0 && !stat.isEmpty() && stat.at(stat.lastIndexOf(')') + 2) != 'Z')
            children.append(child.toInt());
    }
    return children;
}

// The one openvpn that `daemon` runs, other than `notThisOne`; 0 if none comes.
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

class Daemon : public QProcess
{
public:
    ~Daemon() override
    {
        if (state() == Running && ::kill(pid(), SIGTERM) == 0)
            waitForFinished(15000);
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

private:
    QString m_log;
};

} // namespace

class TestHelperDaemon : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_valid, m_socket;
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
        m_valid = path(u"profiles/valid.ovpn"_s), m_socket = path(u"helper.sock"_s);
        // The base folder holds the socket, runtime folder, allowed-users file and scripts. openvpn
        // accepts the profile, then waits for credentials that never come.
        QVERIFY(shell(m_root.path(),
            u"chmod 755 .; mkdir -m 700 run; mkdir scripts; cp %1/client.up %1/client.down scripts; chmod 755 "
            "scripts/*; printf '# by hand\\n%2\\n' >users\n"_s.arg(QStringLiteral(QUELLNET_SOURCE_DIR "/resources"))
                    .arg(listedUid)
                + u"openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
                  u"/CN=test-ca "
                  "-keyout ca.key -out ca.crt 2>/dev/null; mkdir -m 755 profiles; cd profiles\n"
                  "printf 'client\\ndev tun\\nremote 127.0.0.1 9 udp\\nnobind\\nauth-user-pass\\n<ca>\\n' >valid.ovpn\n"
                  "(cat ../ca.crt; echo '</ca>') >>valid.ovpn; chmod 600 valid.ovpn"_s));
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        const QString base = m_root.path();
        m_daemon.start(helperProgram,
            { u"--socket"_s, m_socket, u"--scripts-dir"_s, base + u"/scripts"_s, u"--runtime-dir"_s, base + u"/run"_s,
                u"--allowed-users-file"_s, base + u"/users"_s, u"--allow-user"_s, QString::number(allowedUid) });
        QVERIFY2(m_daemon.waitForStarted() && m_daemon.waitForLog(u" serving "_s), qPrintable(m_daemon.log()));
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
        const QByteArray version = HelperWire::encode(HelperRequest { 7, Op::GetVersion, {}, {}, {} });
        QTest::newRow("user allowed on the command line") << allowedUid << version << true;
        QTest::newRow("user recorded in the file") << listedUid << version << true;
        QTest::newRow("anyone else") << otherUid << version << false;
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
        if (uid == otherUid)
            QVERIFY(m_daemon.waitForLog(u"refused a connection from uid %1"_s.arg(uid)));
        QVERIFY(daemonServes());
    }

    // Each refusal is logged and answered with one termination reply; no openvpn starts.
    void refusesUntrustedProfiles_data()
    {
        QTest::addColumn<QString>("setup"); // on p.ovpn, a copy of valid.ovpn
        QTest::addColumn<uid_t>("caller");
        QTest::addColumn<std::int32_t>("status");
        QTest::addColumn<QString>("reason");
        const auto row
            = [](const char *name, const char *setup, std::int32_t status, const char *reason, uid_t caller = 0) {
                  QTest::newRow(name) << QString::fromLatin1(setup) << caller << status << QString::fromLatin1(reason);
              };
        row("symbolic link", "ln -sf valid.ovpn p.ovpn", 77, "is a symbolic link");
        row("root's file asked for by a user", "", 77, "owned by uid 0", allowedUid);
        row("group-writable", "chmod 620 p.ovpn", 77, "writable by group or others");
        row("others-writable", "chmod 602 p.ovpn", 77, "writable by group or others");
        row("runs a script", "echo 'up /bin/sh' >>p.ovpn", 78, "runs a program as root");
    }
    void refusesUntrustedProfiles()
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

    // openvpn runs a root-only copy of the profile and the helper's own scripts, never the
    // caller's; one at a time: a new run request waits for the running one to end (SIGTERM after
    // 5 s), and a third drops the waiting second. One that ignores SIGTERM gets SIGKILL 5 s later.
    void runsOneOpenVPNAtATime()
    {
        QVERIFY(shell(m_root.path(),
            u"printf '#!/bin/sh\\ntouch %s/caller-script-ran\\n' \"$PWD\" >caller.up; chmod 755 caller.up"_s));
        Client first(m_socket), second(m_socket), third(m_socket);
        const std::uint64_t firstId = nextId(), secondId = nextId(), thirdId = nextId();
        QVERIFY(first.send(firstId, Op::RunOpenVPN, m_valid, path(u"caller.up"_s)));
        const pid_t openvpn = waitForOpenVPN(m_daemon.pid());
        QVERIFY(openvpn > 0);
        const QList<QByteArray> arguments = readFile(u"/proc/%1/cmdline"_s.arg(openvpn)).split('\0');
        const QByteArray joined = arguments.join(' ');
        const QString copy = QFile::decodeName(arguments.value(arguments.indexOf("--config") + 1));
        const QByteArray scripts = QFile::encodeName(path(u"scripts"_s));
        // The helper's own scripts, told where the helper keeps what they must undo.
        const QByteArray runtime = ' ' + QFile::encodeName(path(u"run"_s));
        QVERIFY2(copy.startsWith(path(u"run/"_s))
                && arguments.value(arguments.indexOf("--route-up") + 1) == scripts + "/client.up" + runtime
                && arguments.value(arguments.indexOf("--down") + 1) == scripts + "/client.down" + runtime
                && !joined.contains("caller.up"),
            joined.constData());
        QVERIFY(QFileInfo(copy).ownerId() == 0 && (QFileInfo(copy).permissions() & 0x7077) == 0x6000); // rw-------

        QVERIFY(second.send(secondId, Op::RunOpenVPN, m_valid) && third.send(thirdId, Op::RunOpenVPN, m_valid));
        QCOMPARE(second.reply(), terminated(secondId, 75));
        QTest::qWait(3000);
        QCOMPARE(childrenOf(m_daemon.pid()), QList<pid_t> { openvpn });
        const HelperReply firstReply = first.reply(10000);
        QVERIFY(firstReply.id == firstId && firstReply.kind == Kind::TerminationStatus);
        QVERIFY(!QFile::exists(copy) && !QFile::exists(path(u"caller-script-ran"_s)));

        const pid_t next = waitForOpenVPN(m_daemon.pid(), openvpn);
        QVERIFY(next > 0 && ::kill(next, SIGSTOP) == 0);
        QVERIFY(second.send(nextId(), Op::KillOpenVPN));
        QCOMPARE(third.reply(15000), terminated(thirdId, -SIGKILL));
        QVERIFY2(!first.hasLine(1000) && !second.hasLine(0) && !third.hasLine(0), "a second reply");
    }
};

QTEST_GUILESS_MAIN(TestHelperDaemon)
#include "tst_helperdaemon.moc"
