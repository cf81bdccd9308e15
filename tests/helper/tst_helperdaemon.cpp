// The helper daemon over its socket, as root, with a real openvpn. Every test leaves the daemon
// serving; cleanup() ends any openvpn a test left behind, and the daemons die with this process.

#include "HelperWire.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quellnet;

namespace {

const QString helperProgram = QStringLiteral(QUELLNET_BUILD_PREFIX "/lib/quellnet/" QUELLNET_HELPER_ID);
const QString sourceScripts = QStringLiteral(QUELLNET_SOURCE_DIR "/resources");
constexpr uid_t allowedUid = 4242; // --allow-user
constexpr uid_t listedUid = 4243; // in the allowed-users file
constexpr uid_t otherUid = 65534; // neither
constexpr std::int32_t superseded = 75;

sockaddr_un addressOf(const QString &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    std::memcpy(
        address.sun_path, native.constData(), size_t(qMin<qsizetype>(native.size(), sizeof address.sun_path - 1)));
    return address;
}

// A client of the helper in this process: blocking, with time-outs.
class WireClient
{
public:
    explicit WireClient(const QString &socketPath) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_un address = addressOf(socketPath);
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~WireClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    WireClient(const WireClient &) = delete;
    WireClient &operator=(const WireClient &) = delete;

    bool connected() const { return m_fd >= 0; }

    bool send(const QByteArray &bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }
    bool send(const HelperRequest &request) { return send(HelperWire::encode(request)); }

    // The next line, or nothing at a time-out or the end of the connection.
    std::optional<QByteArray> readLine(int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!m_buffer.contains('\n')) {
            pollfd wait { m_fd, POLLIN, 0 };
            if (m_closed || ::poll(&wait, 1, int(deadline.remainingTime())) <= 0)
                return std::nullopt;
            char chunk[4096];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                m_closed = true;
                return std::nullopt;
            }
            m_buffer.append(chunk, n);
        }
        const qsizetype end = m_buffer.indexOf('\n');
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        return line;
    }
    std::optional<HelperReply> readReply(int timeoutMs = 5000)
    {
        const auto line = readLine(timeoutMs);
        return line ? HelperWire::decodeReply(*line).message : std::nullopt;
    }
    // True if the helper closes the connection within the time-out without sending a line.
    bool closedWithoutReply(int timeoutMs = 5000) { return !readLine(timeoutMs) && m_closed && m_buffer.isEmpty(); }

private:
    int m_fd;
    QByteArray m_buffer;
    bool m_closed = false;
};

HelperRequest getVersion(std::uint64_t id)
{
    return { id, HelperRequest::Operation::GetVersion, {}, {}, {} };
}

HelperRequest killOpenVPN(std::uint64_t id)
{
    return { id, HelperRequest::Operation::KillOpenVPN, {}, {}, {} };
}

HelperRequest runOpenVPN(std::uint64_t id, const QString &config, const QString &up = QStringLiteral("/nonexistent/up"),
    const QString &down = QStringLiteral("/nonexistent/down"))
{
    return { id, HelperRequest::Operation::RunOpenVPN, config, up, down };
}

HelperReply terminated(std::uint64_t id, std::int32_t status)
{
    return { id, HelperReply::Kind::TerminationStatus, {}, status };
}

struct Exchange
{
    bool connected = false;
    QByteArray received;
};

// Sends `request` from a child process running as `uid` and collects what comes back.
Exchange exchangeAs(uid_t uid, const QString &socketPath, const QByteArray &request)
{
    const sockaddr_un address = addressOf(socketPath);
    int channel[2];
    if (::pipe(channel) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // System calls only from here on.
        ::close(channel[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const char connected
            = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 'c' : 'n';
        if (::write(channel[1], &connected, 1) != 1 || connected != 'c')
            ::_exit(3);
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != ssize_t(request.size()))
            ::_exit(errno == EPIPE || errno == ECONNRESET ? 0 : 4); // closed before the request went out
        char buffer[4096];
        for (;;) {
            pollfd wait { fd, POLLIN, 0 };
            if (::poll(&wait, 1, 3000) <= 0)
                ::_exit(5); // the helper kept the connection open
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) // closed; with the request unread, the kernel reports a reset
                ::_exit(n == 0 || errno == ECONNRESET ? 0 : 6);
            if (::write(channel[1], buffer, size_t(n)) != n)
                ::_exit(7);
            // One reply is all that is asked for: the helper keeps serving connections it accepts.
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\n')
                    ::_exit(8);
            }
        }
    }
    ::close(channel[1]);
    QByteArray output;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, n);
    ::close(channel[0]);
    ::waitpid(pid, nullptr, 0);

    Exchange exchange;
    exchange.connected = output.startsWith('c');
    exchange.received = output.mid(1);
    return exchange;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool processAlive(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

pid_t parentOf(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? pid_t(fields.at(1).toInt()) : 0;
}

QList<QByteArray> commandLineOf(pid_t pid)
{
    QList<QByteArray> arguments = readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
    if (!arguments.isEmpty() && arguments.last().isEmpty())
        arguments.removeLast();
    return arguments;
}

QList<pid_t> allProcesses()
{
    QList<pid_t> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (numeric)
            pids.append(pid_t(pid));
    }
    return pids;
}

// The targets of a process's socket descriptors ("socket:[inode]").
QSet<QString> socketsOf(pid_t pid)
{
    QSet<QString> sockets;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.contains(QLatin1String("socket:[")))
            sockets.insert(target.mid(target.lastIndexOf(QLatin1Char('/')) + 1));
    }
    return sockets;
}

struct Listener
{
    uid_t uid = 0;
    pid_t pid = 0;
};

// Who listens on 127.0.0.1:1337, according to the kernel's socket table.
std::optional<Listener> managementListener()
{
    const QList<QByteArray> rows = readFile(QStringLiteral("/proc/net/tcp")).split('\n');
    for (const QByteArray &row : rows) {
        const QList<QByteArray> fields = row.simplified().split(' ');
        if (fields.size() < 10 || fields.at(1) != "0100007F:0539" || fields.at(3) != "0A")
            continue;
        Listener listener;
        listener.uid = uid_t(fields.at(7).toUInt());
        const QString socket = QStringLiteral("socket:[%1]").arg(QString::fromLatin1(fields.at(9)));
        for (pid_t pid : allProcesses()) {
            if (socketsOf(pid).contains(socket))
                listener.pid = pid;
        }
        return listener;
    }
    return std::nullopt;
}

// Runs the helper; it dies with this process, and its openvpn with it.
class Daemon
{
public:
    ~Daemon() { stop(); }

    bool start(const QStringList &arguments)
    {
        m_process.setProgram(helperProgram);
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_log.clear();
        m_process.start();
        return m_process.waitForStarted() && waitForLog(QStringLiteral(" serving "));
    }
    pid_t pid() const { return pid_t(m_process.processId()); }
    bool running() const { return m_process.state() == QProcess::Running; }

    QString log()
    {
        m_log += QString::fromUtf8(m_process.readAll());
        return m_log;
    }
    bool waitForLog(const QString &fragment, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!log().contains(fragment)) {
            if (deadline.hasExpired() || m_process.state() != QProcess::Running)
                return false;
            m_process.waitForReadyRead(50);
        }
        return true;
    }
    int stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        m_process.terminate();
        if (!m_process.waitForFinished(15000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
        log();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    void killHard()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
    QString m_log;
};

enum class Startup {
    NotRoot,
    ScriptNotRootOwned,
    ScriptWritable,
    ScriptsDirWritable,
    ScriptMissing,
    RuntimeDirOpen,
    SocketPathTaken,
    SocketServed,
    UnknownUser,
    UsersFileWritable
};

enum class Profile {
    Symlink,
    ForeignOwner,
    GroupWritable,
    WorldWritable,
    Directory,
    Fifo,
    Missing,
    Relative,
    RunsAScript,
    WritesAFile,
    SetsEnvironment,
    TooLarge,
    RootOwnedForUser
};

} // namespace

Q_DECLARE_METATYPE(Startup)
Q_DECLARE_METATYPE(Profile)

class TestHelperDaemon : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QString m_scripts;
    QString m_runtime;
    QString m_profiles;
    QString m_usersFile;
    QString m_socket;
    QByteArray m_validProfile;
    Daemon m_daemon;
    std::uint64_t m_nextId = 100;

    QString path(const QString &name) const { return m_root.filePath(name); }

    QStringList arguments(const QString &socket, const QString &scripts, const QString &runtime) const
    {
        return { QStringLiteral("--socket"), socket, QStringLiteral("--scripts-dir"), scripts,
            QStringLiteral("--runtime-dir"), runtime, QStringLiteral("--allow-user"), QString::number(allowedUid),
            QStringLiteral("--allowed-users-file"), m_usersFile };
    }

    static bool makeDirectory(const QString &path, mode_t mode)
    {
        return ::mkdir(QFile::encodeName(path).constData(), mode) == 0 && ::chmod(QFile::encodeName(path), mode) == 0;
    }

    static bool writeFile(const QString &path, const QByteArray &content, mode_t mode, uid_t owner = 0)
    {
        QFile::remove(path);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return false;
        file.close();
        const QByteArray native = QFile::encodeName(path);
        return ::chmod(native.constData(), mode) == 0 && ::chown(native.constData(), owner, owner) == 0;
    }

    bool makeScriptsDirectory(const QString &directory)
    {
        if (!makeDirectory(directory, 0755))
            return false;
        for (const QString &script : { QStringLiteral("client.up"), QStringLiteral("client.down") }) {
            if (!writeFile(
                    directory + QLatin1Char('/') + script, readFile(sourceScripts + QLatin1Char('/') + script), 0755))
                return false;
        }
        return true;
    }

    QString writeProfile(const QString &name, const QByteArray &content, mode_t mode = 0600, uid_t owner = 0)
    {
        const QString file = m_profiles + QLatin1Char('/') + name;
        return writeFile(file, content, mode, owner) ? file : QString();
    }

    std::uint64_t nextId() { return m_nextId++; }

    bool daemonServes()
    {
        WireClient client(m_socket);
        const std::uint64_t id = nextId();
        return client.send(getVersion(id))
            && client.readReply()
            == HelperReply { id, HelperReply::Kind::Version, QStringLiteral(QUELLNET_VERSION), 0 };
    }

    QList<pid_t> openvpnsOfThisTest() const
    {
        QList<pid_t> found;
        for (pid_t pid : allProcesses()) {
            const QList<QByteArray> arguments = commandLineOf(pid);
            if (processAlive(pid) && !arguments.isEmpty() && arguments.first().endsWith("openvpn")
                && arguments.join(' ').contains(QFile::encodeName(m_root.path())))
                found.append(pid);
        }
        return found;
    }

    // Waits for the openvpn the daemon `parent` started to listen on the management port.
    pid_t waitForOpenVPN(pid_t parent, pid_t notThisOne = 0)
    {
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            const std::optional<Listener> listener = managementListener();
            if (listener && listener->pid != 0 && listener->pid != notThisOne && parentOf(listener->pid) == parent)
                return listener->uid == 0 ? listener->pid : -1;
            QTest::qWait(50);
        }
        return 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the helper daemon runs as root");
        QVERIFY(QFile::exists(helperProgram));
        QVERIFY(QFile::exists(QStringLiteral("/usr/sbin/openvpn")));
        QVERIFY(m_root.isValid());
        // Other users reach the socket inside; only root may change anything here.
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
        m_scripts = path(QStringLiteral("scripts"));
        m_runtime = path(QStringLiteral("run"));
        m_profiles = path(QStringLiteral("profiles"));
        m_usersFile = path(QStringLiteral("allowed-users"));
        m_socket = path(QStringLiteral("helper.sock"));
        QVERIFY(makeScriptsDirectory(m_scripts));
        QVERIFY(makeDirectory(m_runtime, 0700));
        QVERIFY(makeDirectory(m_profiles, 0755));
        QVERIFY(writeFile(
            m_usersFile, QByteArray("# recorded at installation\n") + QByteArray::number(listedUid) + '\n', 0644));

        // A CA certificate made here, so that openvpn accepts the profile and then waits, on its
        // management interface, for credentials that never come: no packet leaves the machine.
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                QStringLiteral("-subj"), QStringLiteral("/CN=quellnet test CA"), QStringLiteral("-days"),
                QStringLiteral("1"), QStringLiteral("-keyout"), path(QStringLiteral("ca.key")), QStringLiteral("-out"),
                path(QStringLiteral("ca.crt")) });
        QVERIFY(openssl.waitForFinished(30000));
        QCOMPARE(openssl.exitCode(), 0);
        m_validProfile = "client\ndev tun\nproto udp\nremote 127.0.0.1 9 udp\nnobind\nauth-user-pass\nverb 1\n<ca>\n"
            + readFile(path(QStringLiteral("ca.crt"))) + "</ca>\n";

        QVERIFY2(!managementListener(), "something already listens on 127.0.0.1:1337");
        QVERIFY2(m_daemon.start(arguments(m_socket, m_scripts, m_runtime)), qPrintable(m_daemon.log()));
    }

    void cleanup()
    {
        // Whatever a failed test left running goes.
        for (pid_t pid : openvpnsOfThisTest())
            ::kill(pid, SIGKILL);
        QTRY_VERIFY(openvpnsOfThisTest().isEmpty());
        QVERIFY2(m_daemon.running(), qPrintable(m_daemon.log()));
    }

    void cleanupTestCase()
    {
        m_daemon.stop();
        for (pid_t pid : openvpnsOfThisTest())
            ::kill(pid, SIGKILL);
    }

    void refusesToStartUnsafely_data()
    {
        QTest::addColumn<Startup>("startup");
        QTest::addColumn<QString>("message");
        QTest::newRow("not root") << Startup::NotRoot << QStringLiteral("must run as root");
        QTest::newRow("script not owned by root")
            << Startup::ScriptNotRootOwned << QStringLiteral("is not owned by root");
        QTest::newRow("script writable by group")
            << Startup::ScriptWritable << QStringLiteral("writable by group or others");
        QTest::newRow("scripts' directory writable by all")
            << Startup::ScriptsDirWritable << QStringLiteral("writable by group or others");
        QTest::newRow("script missing") << Startup::ScriptMissing << QStringLiteral("client.down");
        QTest::newRow("runtime directory open to others")
            << Startup::RuntimeDirOpen << QStringLiteral("only root can use");
        QTest::newRow("socket path taken by a file") << Startup::SocketPathTaken << QStringLiteral("is not a socket");
        QTest::newRow("socket served by another helper") << Startup::SocketServed << QStringLiteral("already serves");
        QTest::newRow("unknown user") << Startup::UnknownUser << QStringLiteral("no such user");
        QTest::newRow("users file writable by others")
            << Startup::UsersFileWritable << QStringLiteral("writable by group or others");
    }
    void refusesToStartUnsafely()
    {
        QFETCH(Startup, startup);
        QFETCH(QString, message);
        const QString base = path(QStringLiteral("start-%1").arg(int(startup)));
        QVERIFY(makeDirectory(base, 0755));
        const QString scripts = base + QStringLiteral("/scripts");
        const QString runtime = base + QStringLiteral("/run");
        QString socket = base + QStringLiteral("/helper.sock");
        QVERIFY(makeScriptsDirectory(scripts));
        QVERIFY(makeDirectory(runtime, 0700));
        QStringList args = arguments(socket, scripts, runtime);
        QString program = helperProgram;

        switch (startup) {
        case Startup::NotRoot:
            program = QStringLiteral("setpriv");
            args = QStringList { QStringLiteral("--reuid=%1").arg(otherUid), QStringLiteral("--regid=%1").arg(otherUid),
                QStringLiteral("--clear-groups"), helperProgram }
                + args;
            break;
        case Startup::ScriptNotRootOwned:
            QCOMPARE(::chown(QFile::encodeName(scripts + QStringLiteral("/client.up")).constData(), allowedUid, 0), 0);
            break;
        case Startup::ScriptWritable:
            QCOMPARE(::chmod(QFile::encodeName(scripts + QStringLiteral("/client.down")).constData(), 0775), 0);
            break;
        case Startup::ScriptsDirWritable:
            QCOMPARE(::chmod(QFile::encodeName(scripts).constData(), 0777), 0);
            break;
        case Startup::ScriptMissing:
            QVERIFY(QFile::remove(scripts + QStringLiteral("/client.down")));
            break;
        case Startup::RuntimeDirOpen:
            QCOMPARE(::chmod(QFile::encodeName(runtime).constData(), 0755), 0);
            break;
        case Startup::SocketPathTaken:
            QVERIFY(writeFile(socket, "not a socket", 0644));
            break;
        case Startup::SocketServed:
            args = arguments(m_socket, scripts, runtime);
            socket = m_socket;
            break;
        case Startup::UnknownUser:
            args << QStringLiteral("--allow-user") << QStringLiteral("no-such-user-quellnet");
            break;
        case Startup::UsersFileWritable: {
            const QString users = base + QStringLiteral("/users");
            QVERIFY(writeFile(users, "4243\n", 0666));
            args << QStringLiteral("--allowed-users-file") << users;
            break;
        }
        }

        QProcess helper;
        helper.setProcessChannelMode(QProcess::MergedChannels);
        helper.start(program, args);
        QVERIFY(helper.waitForFinished(10000));
        const QString output = QString::fromUtf8(helper.readAll());
        QVERIFY2(helper.exitCode() != 0, qPrintable(output));
        QVERIFY2(output.contains(message), qPrintable(output));
        if (startup != Startup::SocketPathTaken && startup != Startup::SocketServed)
            QVERIFY(!QFile::exists(socket));
        QVERIFY(daemonServes());
    }

    void infoNeedsNoPrivileges()
    {
        QProcess helper;
        helper.start(QStringLiteral("setpriv"),
            { QStringLiteral("--reuid=%1").arg(otherUid), QStringLiteral("--regid=%1").arg(otherUid),
                QStringLiteral("--clear-groups"), helperProgram, QStringLiteral("--info") });
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
        const QJsonObject information = QJsonDocument::fromJson(helper.readAllStandardOutput()).object();
        QCOMPARE(information.value(QLatin1String("CFBundleIdentifier")).toString(), QStringLiteral(QUELLNET_HELPER_ID));
        QCOMPARE(information.value(QLatin1String("CFBundleVersion")).toString(), QStringLiteral(QUELLNET_VERSION));
    }

    void servesRootAndAllowedUsersOnly_data()
    {
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<bool>("served");
        QTest::newRow("root") << uid_t(0) << true;
        QTest::newRow("user allowed on the command line") << allowedUid << true;
        QTest::newRow("user recorded in the file") << listedUid << true;
        QTest::newRow("anyone else") << otherUid << false;
    }
    void servesRootAndAllowedUsersOnly()
    {
        QFETCH(uid_t, uid);
        QFETCH(bool, served);
        const std::uint64_t id = nextId();
        const Exchange exchange = exchangeAs(uid, m_socket, HelperWire::encode(getVersion(id)));
        // The socket file itself lets no one else connect.
        QCOMPARE(exchange.connected, served);
        if (served) {
            QCOMPARE(HelperWire::decodeReply(exchange.received.trimmed()).message,
                HelperReply(id, HelperReply::Kind::Version, QStringLiteral(QUELLNET_VERSION), 0));
        }
        QVERIFY(daemonServes());
    }

    void refusesUntrustedProfiles_data()
    {
        QTest::addColumn<Profile>("profile");
        QTest::addColumn<std::int32_t>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("symbolic link") << Profile::Symlink << 77 << QStringLiteral("is a symbolic link");
        QTest::newRow("another user's file") << Profile::ForeignOwner << 77 << QStringLiteral("owned by uid 4242");
        QTest::newRow("group-writable") << Profile::GroupWritable << 77
                                        << QStringLiteral("writable by group or others");
        QTest::newRow("world-writable") << Profile::WorldWritable << 77
                                        << QStringLiteral("writable by group or others");
        QTest::newRow("directory") << Profile::Directory << 77 << QStringLiteral("not a regular file");
        QTest::newRow("FIFO") << Profile::Fifo << 77 << QStringLiteral("not a regular file");
        QTest::newRow("missing") << Profile::Missing << 66 << QStringLiteral("cannot be opened");
        QTest::newRow("relative path") << Profile::Relative << 77 << QStringLiteral("not an absolute path");
        QTest::newRow("runs a script") << Profile::RunsAScript << 78 << QStringLiteral("runs a program as root");
        QTest::newRow("writes a file") << Profile::WritesAFile << 78 << QStringLiteral("writes a file as root");
        QTest::newRow("sets the environment") << Profile::SetsEnvironment << 78 << QStringLiteral("sets variables");
        QTest::newRow("too large") << Profile::TooLarge << 78 << QStringLiteral("larger than");
        QTest::newRow("root's file asked for by a user")
            << Profile::RootOwnedForUser << 77 << QStringLiteral("owned by uid 0");
    }
    void refusesUntrustedProfiles()
    {
        QFETCH(Profile, profile);
        QFETCH(std::int32_t, status);
        QFETCH(QString, reason);

        const QString name = QStringLiteral("untrusted-%1.ovpn").arg(int(profile));
        QString config = m_profiles + QLatin1Char('/') + name;
        switch (profile) {
        case Profile::Symlink:
            QVERIFY(!writeProfile(QStringLiteral("target.ovpn"), m_validProfile).isEmpty());
            QVERIFY(QFile::link(m_profiles + QStringLiteral("/target.ovpn"), config));
            break;
        case Profile::ForeignOwner:
            QVERIFY(!writeProfile(name, m_validProfile, 0600, allowedUid).isEmpty());
            break;
        case Profile::GroupWritable:
            QVERIFY(!writeProfile(name, m_validProfile, 0620).isEmpty());
            break;
        case Profile::WorldWritable:
            QVERIFY(!writeProfile(name, m_validProfile, 0602).isEmpty());
            break;
        case Profile::Directory:
            QVERIFY(makeDirectory(config, 0700));
            break;
        case Profile::Fifo:
            QCOMPARE(::mkfifo(QFile::encodeName(config).constData(), 0600), 0);
            break;
        case Profile::Missing:
            break;
        case Profile::Relative:
            config = QStringLiteral("profiles/") + name;
            break;
        case Profile::RunsAScript:
            QVERIFY(!writeProfile(name, m_validProfile + "up /tmp/x.sh\n").isEmpty());
            break;
        case Profile::WritesAFile:
            QVERIFY(!writeProfile(name, "log /etc/passwd\n" + m_validProfile).isEmpty());
            break;
        case Profile::SetsEnvironment:
            QVERIFY(!writeProfile(name, "setenv LD_PRELOAD /tmp/x.so\n" + m_validProfile).isEmpty());
            break;
        case Profile::TooLarge:
            QVERIFY(!writeProfile(name, m_validProfile + QByteArray(2 * 1024 * 1024, '#')).isEmpty());
            break;
        case Profile::RootOwnedForUser:
            QVERIFY(!writeProfile(name, m_validProfile).isEmpty());
            break;
        }

        const std::uint64_t id = nextId();
        if (profile == Profile::RootOwnedForUser) {
            const Exchange exchange = exchangeAs(allowedUid, m_socket, HelperWire::encode(runOpenVPN(id, config)));
            QCOMPARE(HelperWire::decodeReply(exchange.received.trimmed()).message, terminated(id, status));
        } else {
            WireClient client(m_socket);
            QVERIFY(client.send(runOpenVPN(id, config)));
            QCOMPARE(client.readReply(), terminated(id, status));
            // Exactly one termination reply.
            QVERIFY(!client.readLine(300));
        }
        QVERIFY(m_daemon.waitForLog(QStringLiteral("refused run request %1 ").arg(id)));
        QVERIFY2(m_daemon.log().contains(reason), qPrintable(m_daemon.log().right(400)));
        QVERIFY(openvpnsOfThisTest().isEmpty());
        QVERIFY(daemonServes());
    }

    void refusesGarbage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("errorId"); // -1: the connection is closed instead
        QTest::newRow("not JSON") << QByteArray("hello helper\n") << qint64(-1);
        QTest::newRow("not an object") << QByteArray("[1,2]\n") << qint64(-1);
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe\n", 4) << qint64(-1);
        QTest::newRow("unknown operation") << QByteArray(R"({"id":7,"op":"reboot"})"
                                                         "\n")
                                           << qint64(7);
        QTest::newRow("wrong member type") << QByteArray(
            R"({"id":8,"op":"runOpenVPN","config":5,"client_up":"/u","client_down":"/d"})"
            "\n") << qint64(8);
        QTest::newRow("oversized line") << QByteArray(HelperWire::maxLineLength + 10, 'a') + '\n' << qint64(-1);
        QTest::newRow("oversized, no line end") << QByteArray(HelperWire::maxLineLength + 10, '{') << qint64(-1);
    }
    void refusesGarbage()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, errorId);
        WireClient client(m_socket);
        QVERIFY(client.connected());
        // A quiet client holding a connection open does not stop the others being served.
        WireClient idle(m_socket);
        QVERIFY(idle.send("{\"id\":1,"));

        QVERIFY(client.send(bytes));
        if (errorId < 0) {
            QVERIFY(client.closedWithoutReply());
            QVERIFY(m_daemon.waitForLog(QStringLiteral("closing the connection of uid 0")));
        } else {
            const auto reply = client.readReply();
            QVERIFY(reply);
            QCOMPARE(reply->id, std::uint64_t(errorId));
            QCOMPARE(reply->kind, HelperReply::Kind::Error);
            // The connection stays usable.
            QVERIFY(client.send(getVersion(9)));
            QCOMPARE(
                client.readReply(), HelperReply(9, HelperReply::Kind::Version, QStringLiteral(QUELLNET_VERSION), 0));
        }
        QVERIFY(daemonServes());
    }

    void servesManyClientsAtOnce()
    {
        // Each client sends half a request, then they finish in the opposite order: no one waits
        // for anyone else.
        std::vector<std::unique_ptr<WireClient>> clients;
        for (int i = 0; i < 30; ++i) {
            clients.push_back(std::make_unique<WireClient>(m_socket));
            QVERIFY(clients.back()->send("{\"id\":" + QByteArray::number(i)));
        }
        for (int i = 29; i >= 0; --i) {
            QVERIFY(clients[size_t(i)]->send(",\"op\":\"getVersion\"}\n"));
            QCOMPARE(clients[size_t(i)]->readReply(),
                HelperReply(std::uint64_t(i), HelperReply::Kind::Version, QStringLiteral(QUELLNET_VERSION), 0));
        }
    }

    void runsOpenVPNAndKillsIt()
    {
        const QString config = writeProfile(QStringLiteral("valid.ovpn"), m_validProfile);
        const QString marker = path(QStringLiteral("caller-script-ran"));
        const QString callerScript = path(QStringLiteral("caller.up"));
        QVERIFY(writeFile(callerScript, "#!/bin/sh\ntouch " + QFile::encodeName(marker) + "\n", 0755));

        WireClient client(m_socket);
        const std::uint64_t id = nextId();
        QVERIFY(client.send(runOpenVPN(id, config, callerScript, callerScript)));
        const pid_t openvpn = waitForOpenVPN(m_daemon.pid());
        QVERIFY2(openvpn > 0, "openvpn does not listen on 127.0.0.1:1337 as root");

        // openvpn runs the helper's copy of the profile and the helper's own scripts, with a
        // minimal environment and no descriptor of the helper's.
        const QList<QByteArray> arguments = commandLineOf(openvpn);
        const QByteArray joined = arguments.join(' ');
        const qsizetype configAt = arguments.indexOf("--config");
        QVERIFY(configAt > 0);
        const QString copy = QFile::decodeName(arguments.value(configAt + 1));
        QVERIFY2(copy.startsWith(m_runtime + QLatin1Char('/')), joined.constData());
        QVERIFY(joined.contains("--management 127.0.0.1 1337 --management-query-passwords"));
        QVERIFY(joined.contains("--auth-retry none"));
        QVERIFY(joined.contains("--script-security 2"));
        QVERIFY(joined.contains("--up " + QFile::encodeName(m_scripts) + "/client.up"));
        QVERIFY(joined.contains("--down " + QFile::encodeName(m_scripts) + "/client.down"));
        QVERIFY(!joined.contains(QFile::encodeName(callerScript)));
        QVERIFY(!joined.contains(QFile::encodeName(config)));
        QCOMPARE(readFile(QStringLiteral("/proc/%1/environ").arg(openvpn)),
            QByteArray("PATH=/usr/sbin:/usr/bin:/sbin:/bin", 35));
        struct stat copyInfo = {};
        QCOMPARE(::stat(QFile::encodeName(copy).constData(), &copyInfo), 0);
        QCOMPARE(copyInfo.st_uid, uid_t(0));
        QCOMPARE(copyInfo.st_mode & 0777, mode_t(0600));
        QVERIFY((socketsOf(openvpn) & socketsOf(m_daemon.pid())).isEmpty());

        WireClient killer(m_socket);
        QVERIFY(killer.send(killOpenVPN(nextId())));
        const auto reply = client.readReply(15000);
        QVERIFY(reply);
        QCOMPARE(reply->id, id);
        QCOMPARE(reply->kind, HelperReply::Kind::TerminationStatus);
        QVERIFY2(!client.readLine(1000), "a second reply for the same run request");
        QVERIFY(!killer.readLine(200));
        QTRY_VERIFY(!processAlive(openvpn));
        QVERIFY(!managementListener());
        QVERIFY(!QFile::exists(copy));
        QVERIFY(!QFile::exists(marker));
    }

    // A second run request waits for the running openvpn, which gets SIGTERM after 5 s; a request
    // still waiting when a third comes is dropped; every request gets exactly one reply.
    void newRunRequestReplacesTheRunningOne()
    {
        const QString config = writeProfile(QStringLiteral("valid.ovpn"), m_validProfile);
        WireClient first(m_socket), second(m_socket), third(m_socket);
        const std::uint64_t firstId = nextId(), secondId = nextId(), thirdId = nextId();

        QVERIFY(first.send(runOpenVPN(firstId, config)));
        const pid_t firstOpenVPN = waitForOpenVPN(m_daemon.pid());
        QVERIFY(firstOpenVPN > 0);

        QElapsedTimer sinceReplaced;
        sinceReplaced.start();
        QVERIFY(second.send(runOpenVPN(secondId, config)));
        QVERIFY(third.send(runOpenVPN(thirdId, config)));
        QCOMPARE(second.readReply(), terminated(secondId, superseded));

        QTest::qWait(3000);
        QVERIFY2(processAlive(firstOpenVPN), "the running openvpn was ended before its time");
        const std::optional<Listener> listener = managementListener();
        QVERIFY(listener);
        QCOMPARE(listener->pid, firstOpenVPN);

        const auto firstReply = first.readReply(10000);
        QVERIFY(firstReply);
        QCOMPARE(firstReply->kind, HelperReply::Kind::TerminationStatus);
        QVERIFY(sinceReplaced.elapsed() >= 4500);
        QVERIFY(m_daemon.waitForLog(QStringLiteral("sending SIGTERM to openvpn (pid %1)").arg(firstOpenVPN)));

        const pid_t thirdOpenVPN = waitForOpenVPN(m_daemon.pid(), firstOpenVPN);
        QVERIFY(thirdOpenVPN > 0);
        QVERIFY(second.send(killOpenVPN(nextId())));
        const auto thirdReply = third.readReply(15000);
        QVERIFY(thirdReply);
        QCOMPARE(thirdReply->id, thirdId);
        QVERIFY(!first.readLine(500));
        QVERIFY(!second.readLine(0));
        QVERIFY(!third.readLine(0));
    }

    void replyToAGoneClientIsDropped()
    {
        const QString config = writeProfile(QStringLiteral("valid.ovpn"), m_validProfile);
        const std::uint64_t id = nextId();
        {
            WireClient client(m_socket);
            QVERIFY(client.send(runOpenVPN(id, config)));
            QVERIFY(waitForOpenVPN(m_daemon.pid()) > 0);
        }
        // Its client went; openvpn stays.
        QTest::qWait(200);
        const pid_t openvpn = waitForOpenVPN(m_daemon.pid());
        QVERIFY(openvpn > 0);

        WireClient killer(m_socket);
        QVERIFY(killer.send(killOpenVPN(nextId())));
        QVERIFY(m_daemon.waitForLog(QStringLiteral("dropped the reply to request %1").arg(id), 15000));
        QTRY_VERIFY(!processAlive(openvpn));
        QVERIFY(daemonServes());
    }

    void openvpnDiesWithTheHelper()
    {
        const QString runtime = path(QStringLiteral("run-2"));
        const QString socket = path(QStringLiteral("helper-2.sock"));
        QVERIFY(makeDirectory(runtime, 0700));
        Daemon daemon;
        QVERIFY2(daemon.start(arguments(socket, m_scripts, runtime)), qPrintable(daemon.log()));

        const QString config = writeProfile(QStringLiteral("valid.ovpn"), m_validProfile);
        WireClient client(socket);
        QVERIFY(client.send(runOpenVPN(nextId(), config)));
        const pid_t openvpn = waitForOpenVPN(daemon.pid());
        QVERIFY(openvpn > 0);

        daemon.killHard();
        QTRY_VERIFY(!processAlive(openvpn));
        QTRY_VERIFY(!managementListener());

        // The copy it left behind is cleared when a helper starts again.
        QCOMPARE(QDir(runtime).entryList(QDir::Files).size(), 1);
        Daemon again;
        QVERIFY2(again.start(arguments(socket, m_scripts, runtime)), qPrintable(again.log()));
        QCOMPARE(QDir(runtime).entryList(QDir::Files).size(), 0);
        QCOMPARE(again.stop(), 0);
    }

    // An openvpn that ignores SIGTERM gets SIGKILL 5 s later, and the reply says so (-9).
    void stuckOpenVPNIsKilled()
    {
        const QString stuck = path(QStringLiteral("stuck-openvpn"));
        const QString ready = path(QStringLiteral("stuck-openvpn-ready"));
        QVERIFY(
            writeFile(stuck, "#!/bin/sh\ntrap '' TERM\ntouch " + QFile::encodeName(ready) + "\nexec sleep 60\n", 0755));
        const QString runtime = path(QStringLiteral("run-3"));
        const QString socket = path(QStringLiteral("helper-3.sock"));
        QVERIFY(makeDirectory(runtime, 0700));
        Daemon daemon;
        QVERIFY2(daemon.start(arguments(socket, m_scripts, runtime) << QStringLiteral("--openvpn") << stuck),
            qPrintable(daemon.log()));

        WireClient client(socket);
        const std::uint64_t id = nextId();
        QVERIFY(client.send(runOpenVPN(id, writeProfile(QStringLiteral("valid.ovpn"), m_validProfile))));
        QTRY_VERIFY(QFile::exists(ready));
        QVERIFY(client.send(killOpenVPN(nextId())));
        QElapsedTimer sinceKill;
        sinceKill.start();
        QCOMPARE(client.readReply(15000), terminated(id, -SIGKILL));
        QVERIFY(sinceKill.elapsed() >= 4500);
        QVERIFY(daemon.waitForLog(QStringLiteral("outlived SIGTERM")));
        QCOMPARE(daemon.stop(), 0);
    }

    // Last: stopping the daemon ends its openvpn, answers the run request and removes the socket.
    void stoppingEndsOpenVPN()
    {
        const QString config = writeProfile(QStringLiteral("valid.ovpn"), m_validProfile);
        WireClient client(m_socket);
        const std::uint64_t id = nextId();
        QVERIFY(client.send(runOpenVPN(id, config)));
        const pid_t openvpn = waitForOpenVPN(m_daemon.pid());
        QVERIFY(openvpn > 0);

        QCOMPARE(m_daemon.stop(), 0);
        const auto reply = client.readReply();
        QVERIFY(reply);
        QCOMPARE(reply->id, id);
        QVERIFY(!processAlive(openvpn));
        QVERIFY(!QFile::exists(m_socket));
        // Started again for cleanup()'s check.
        QVERIFY2(m_daemon.start(arguments(m_socket, m_scripts, m_runtime)), qPrintable(m_daemon.log()));
    }
};

QTEST_GUILESS_MAIN(TestHelperDaemon)
#include "tst_helperdaemon.moc"
