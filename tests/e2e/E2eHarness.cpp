#include "tests/e2e/E2eHarness.h"
#include "tests/support/TestTools.h"

#include "base/Error.h"
#include "engine/OpenVPNService.h"
#include "helperlink/HelperConnectionCache.h"
#include "tests/support/AccountStandIn.h"
#include "tests/support/ProcFs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace quellnet::test {

QString E2eStack::dir()
{
    return QStringLiteral(QUELLNET_E2E_DIR);
}

bool E2eStack::isUp(QString *error)
{
    return (QFile::exists(profilePath()) && !accounts().isEmpty() && !accountServiceUrl().isEmpty())
        || failWith(
            error, QStringLiteral("the stack's files in %1 are missing: the fixture e2e_stack did not run").arg(dir()));
}

QString E2eStack::value(const QString &key)
{
    const QByteArray prefix = key.toUtf8() + '=';
    for (const QByteArray &line : readFile(dir() + QStringLiteral("/stack.env")).split('\n')) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()));
    }
    return {};
}

QList<StackAccount> E2eStack::accounts()
{
    QList<StackAccount> result;
    for (const QByteArray &line : readFile(dir() + QStringLiteral("/accounts")).split('\n')) {
        if (const qsizetype tab = line.indexOf('\t'); tab > 0)
            result.append({ QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1)) });
    }
    return result;
}

StackAccount E2eStack::trickyAccount()
{
    for (const StackAccount &account : accounts()) {
        if (account.password.contains(u' ') && account.password.contains(u'"') && account.password.contains(u'\\'))
            return account;
    }
    return {};
}

QByteArray E2eStack::probeThroughTunnel(int timeoutMs)
{
    return readLineFrom(tunnelServer(), probePort(), timeoutMs);
}

QStringList E2eStack::tunnelInterfaces()
{
    const auto [network, prefix] = QHostAddress::parseSubnet(value(QStringLiteral("STACK_TUNNEL_NET")));
    QStringList names;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().isInSubnet(network, prefix))
                names.append(interface.name());
        }
    }
    return names;
}

qint64 E2eStack::helperPid()
{
    const qint64 pid = readFile(dir() + QStringLiteral("/run/helper.pid")).trimmed().toLongLong();
    return ProcFs::isRunning(pid) ? pid : 0;
}

bool E2eStack::startHelper(QString *error)
{
    QProcess stack;
    stack.setProcessChannelMode(QProcess::MergedChannels);
    stack.start(QStringLiteral("bash"), { QStringLiteral(QUELLNET_STACK_SCRIPT), QStringLiteral("helper-up"), dir() });
    const bool ok = stack.waitForFinished(60000) && stack.exitStatus() == QProcess::NormalExit && stack.exitCode() == 0;
    return ok
        || failWith(
            error, QStringLiteral("stack.sh helper-up failed: %1").arg(QString::fromLocal8Bit(stack.readAll())));
}

bool E2eStack::killHelper()
{
    const qint64 pid = helperPid();
    if (pid != 0 && ::kill(pid_t(pid), SIGKILL) != 0)
        return false;
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(20)) {
        if (!ProcFs::isRunning(pid))
            return true;
    }
    return false;
}

QByteArray E2eStack::helperLog()
{
    return readFile(dir() + QStringLiteral("/log/helper.log"));
}

QList<qint64> E2eStack::helperOpenVpnPids()
{
    // The helper hands its openvpn its own client.up, which nothing else uses.
    return ProcFs::withArgument(
        (value(QStringLiteral("STACK_HELPER_SCRIPTS")) + QStringLiteral("/client.up")).toUtf8());
}

QByteArray readLineFrom(const QHostAddress &host, quint16 port, int timeoutMs, QString *error)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(timeoutMs)) {
        failWith(error, socket.errorString());
        return {};
    }
    QByteArray line;
    while (!line.contains('\n') && socket.waitForReadyRead(timeoutMs))
        line += socket.readAll();
    return line.trimmed();
}

bool useOwnSettingsFolder(const QTemporaryDir &folder)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!folder.isValid())
        return false;
    qputenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit());
    const QString runtime = folder.filePath(QStringLiteral("runtime"));
    if (!QDir().mkpath(runtime)
        || !QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return false;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    return true;
}

bool divertStandardOutput(const QString &path, FILE **console)
{
    const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int saved = ::dup(STDOUT_FILENO);
    if (file < 0 || saved < 0)
        return false;
    std::fflush(stdout);
    FILE *original = ::fdopen(saved, "w");
    const bool diverted = original != nullptr && ::dup2(file, STDOUT_FILENO) >= 0;
    ::close(file);
    if (original != nullptr)
        *console = original;
    return diverted;
}

bool stackIsReady(QString *error)
{
    if (!E2eStack::isUp(error))
        return false;
    return E2eStack::helperPid() != 0
        || failWith(error, QStringLiteral("the helper daemon is not running: the fixture e2e_helper did not run"));
}

bool restoreStack(HelperConnectionCache &cache, QString *error)
{
    for (qint64 pid : E2eStack::helperOpenVpnPids())
        ::kill(pid_t(pid), SIGCONT);
    OpenVPNService &service = OpenVPNService::shared();
    if (!OpenVPNService::isIdleState(service.state()))
        service.stopOpenVPN();
    waitUntil([&] { return !service.isStarting(); }, 30000);
    QString left;
    if (!nothingLeftAfter(20000, &left) && E2eStack::helperPid() != 0) {
        if (const auto helper = cache.helperConnection()->remoteObjectProxyWithErrorHandler({}))
            helper->killOpenVPN();
        nothingLeftAfter(15000);
    }
    if (QString why; E2eStack::helperPid() == 0 && !E2eStack::startHelper(&why))
        left += why;
    return left.isEmpty() || failWith(error, left);
}

bool serveLikeTheStack(AccountStandIn &standIn, QString *error)
{
    const QString pki = E2eStack::dir() + QStringLiteral("/pki/standin.");
    standIn.setProfile(QString::fromUtf8(readFile(E2eStack::profilePath())));
    for (const StackAccount &account : E2eStack::accounts())
        standIn.addAccount(account.email, account.password);
    return standIn.listen(pki + QStringLiteral("crt"), pki + QStringLiteral("key"), 0, error);
}

qint64 holdOpenVpnAtItsPort(OutputCapture &capture, const std::function<void()> &meanwhile)
{
    // openvpn must run to take the program's management password; once the program sends its first
    // command ("state on", traced right after it went out), nothing it has read can make it report.
    auto held = std::make_shared<std::atomic<qint64>>(0);
    capture.setObserver([held](OutputCapture::Channel channel, const QString &text) {
        if (channel != OutputCapture::Channel::StandardOutput || held->load() != 0
            || !text.startsWith(QLatin1String("state on\n")))
            return;
        const QList<qint64> openvpn = E2eStack::helperOpenVpnPids();
        if (openvpn.size() == 1 && ::kill(pid_t(openvpn.first()), SIGSTOP) == 0)
            held->store(openvpn.first());
    });
    if (meanwhile)
        meanwhile();
    OpenVPNService &service = OpenVPNService::shared();
    const bool handedOver = waitUntil([&] { return held->load() != 0 || service.isStarting(); }, 15000)
        && waitUntil([&] { return !service.isStarting(); }, 40000);
    capture.setObserver({});
    return handedOver && OpenVPNService::isIdleState(service.state()) ? held->load() : 0;
}

int helperRunRequests()
{
    // "run request 3 of uid 0 (pid 42) for /run/user/0/quellnet/quellnet.ovpn"; later lines name it
    // differently.
    int requests = 0;
    for (const QByteArray &line : E2eStack::helperLog().split('\n'))
        requests += line.startsWith("run request ") && line.contains(" of uid ") ? 1 : 0;
    return requests;
}

bool nothingLeftAfter(int timeoutMs, QString *error)
{
    QString left;
    waitUntil(
        [&] {
            QStringList pids;
            for (qint64 pid : E2eStack::helperOpenVpnPids())
                pids.append(QString::number(pid));
            const QStringList interfaces = E2eStack::tunnelInterfaces();
            left = pids.isEmpty() ? QString() : QStringLiteral("openvpn still runs (pid %1); ").arg(pids.join(u','));
            if (!interfaces.isEmpty())
                left += QStringLiteral("tunnel interface still up: %1; ").arg(interfaces.join(u','));
            return left.isEmpty();
        },
        timeoutMs);
    return left.isEmpty() || failWith(error, left);
}

namespace {
const QString plantedTarget = QStringLiteral("planted-target");

QString targetBeside(const QString &path)
{
    return QFileInfo(path).dir().filePath(plantedTarget);
}
} // namespace

bool plant(Planted planted, const QString &path, const QByteArray &text)
{
    const QByteArray native = QFile::encodeName(path);
    switch (planted) {
    case Planted::Folder:
        return QDir().mkdir(path);
    case Planted::Fifo:
        return ::mkfifo(native.constData(), 0666) == 0;
    case Planted::Symlink:
    case Planted::File: {
        // The link's target is relative, so that it leads to the same file in any mount namespace.
        QFile file(planted == Planted::File ? path : targetBeside(path));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return false;
        file.close();
        return planted == Planted::Symlink
            ? ::symlink(QFile::encodeName(plantedTarget).constData(), native.constData()) == 0
            : ::chown(native.constData(), nobody, nobody) == 0;
    }
    }
    return false;
}

QString describePlanted(const QString &path)
{
    const auto describe = [](const QString &file) {
        struct stat info
        {
        };
        if (::lstat(QFile::encodeName(file).constData(), &info) != 0)
            return QStringLiteral("nothing");
        const QByteArray text = S_ISREG(info.st_mode) ? readFile(file) : QByteArray();
        return QStringLiteral("mode %1 uid %2 inode %3 %4")
            .arg(info.st_mode, 0, 8)
            .arg(info.st_uid)
            .arg(info.st_ino)
            .arg(QString::fromUtf8(text));
    };
    const QString what = describe(path);
    return QFileInfo(path).isSymLink() ? what + QStringLiteral(" -> ") + describe(targetBeside(path)) : what;
}

void unplant(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info
    {
    };
    if (::lstat(native.constData(), &info) != 0)
        return;
    if (S_ISLNK(info.st_mode))
        QFile::remove(targetBeside(path));
    if (S_ISFIFO(info.st_mode)) {
        const int reader = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ::unlink(native.constData());
        if (reader >= 0)
            ::close(reader);
    } else if (S_ISDIR(info.st_mode)) {
        ::rmdir(native.constData());
    } else {
        ::unlink(native.constData());
    }
}

} // namespace quellnet::test
