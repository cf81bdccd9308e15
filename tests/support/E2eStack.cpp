#include "E2eStack.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

#include <sys/types.h>

namespace quellnet {

namespace {

QString inDir(const QString &name)
{
    return QDir(E2eStack::dir()).filePath(name);
}

bool processRuns(qint64 pid)
{
    // A zombie has ended; whoever reaps it may take its time.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) != "Z";
}

QList<QByteArray> commandLine(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> arguments = file.readAll().split('\0');
    if (!arguments.isEmpty() && arguments.last().isEmpty())
        arguments.removeLast();
    return arguments;
}

} // namespace

QString E2eStack::dir()
{
    return QStringLiteral(QUELLNET_E2E_DIR);
}

bool E2eStack::isUp(QString *why)
{
    for (const QString &name :
        { QStringLiteral("stack.env"), QStringLiteral("accounts"), QStringLiteral("client.ovpn") }) {
        if (!QFileInfo::exists(inDir(name))) {
            if (why)
                *why = QStringLiteral("%1 is missing: the e2e_stack fixture (scripts/lib/stack.sh up %2) did not run")
                           .arg(inDir(name), dir());
            return false;
        }
    }
    return true;
}

QList<StackAccount> E2eStack::accounts()
{
    QList<StackAccount> result;
    QFile file(inDir(QStringLiteral("accounts")));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype tab = line.indexOf('\t');
        if (tab > 0)
            result.append({ QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1)) });
    }
    return result;
}

StackAccount E2eStack::demoAccount()
{
    const QList<StackAccount> all = accounts();
    return all.isEmpty() ? StackAccount() : all.first();
}

StackAccount E2eStack::trickyAccount()
{
    for (const StackAccount &account : accounts()) {
        if (account.password.contains(QLatin1Char(' ')) && account.password.contains(QLatin1Char('"'))
            && account.password.contains(QLatin1Char('\\')))
            return account;
    }
    return {};
}

QString E2eStack::profilePath()
{
    return inDir(QStringLiteral("client.ovpn"));
}

QString E2eStack::caPath()
{
    return inDir(QStringLiteral("pki/ca.crt"));
}

QUrl E2eStack::accountServiceUrl()
{
    return QUrl(value(QStringLiteral("STACK_ACCOUNT_URL")));
}

QHostAddress E2eStack::tunnelServer()
{
    return QHostAddress(value(QStringLiteral("STACK_TUNNEL_SERVER")));
}

quint16 E2eStack::probePort()
{
    return static_cast<quint16>(value(QStringLiteral("STACK_PROBE_PORT")).toUInt());
}

QByteArray E2eStack::probeLine()
{
    return value(QStringLiteral("STACK_PROBE_LINE")).toUtf8();
}

QPair<QHostAddress, int> E2eStack::tunnelNetwork()
{
    return QHostAddress::parseSubnet(value(QStringLiteral("STACK_TUNNEL_NET")));
}

QString E2eStack::value(const QString &key)
{
    QFile file(inDir(QStringLiteral("stack.env")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray prefix = key.toUtf8() + '=';
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()));
    }
    return {};
}

QByteArray E2eStack::probeThroughTunnel(int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(tunnelServer(), probePort());
    if (!socket.waitForConnected(timeoutMs))
        return {};
    QByteArray line;
    while (!line.contains('\n') && socket.waitForReadyRead(timeoutMs))
        line += socket.readAll();
    return line.trimmed();
}

QStringList E2eStack::tunnelInterfaces()
{
    const auto [network, prefix] = tunnelNetwork();
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
    QFile file(inDir(QStringLiteral("run/helper.pid")));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const qint64 pid = file.readAll().trimmed().toLongLong();
    return processRuns(pid) ? pid : 0;
}

bool E2eStack::startHelper(QString *why)
{
    QProcess stack;
    stack.setProcessChannelMode(QProcess::MergedChannels);
    stack.start(QStringLiteral("bash"), { QStringLiteral(QUELLNET_STACK_SCRIPT), QStringLiteral("helper-up"), dir() });
    const bool ok = stack.waitForFinished(60000) && stack.exitStatus() == QProcess::NormalExit && stack.exitCode() == 0;
    if (!ok && why)
        *why = QStringLiteral("stack.sh helper-up failed: %1").arg(QString::fromLocal8Bit(stack.readAll()));
    return ok;
}

bool E2eStack::killHelper()
{
    const qint64 pid = helperPid();
    if (pid == 0)
        return true;
    if (::kill(pid_t(pid), SIGKILL) != 0)
        return false;
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(20)) {
        if (!processRuns(pid))
            return true;
    }
    return false;
}

QList<qint64> E2eStack::helperOpenVpnPids()
{
    // The helper hands its openvpn its own client.up, which nothing else uses.
    const QByteArray marker = (value(QStringLiteral("STACK_HELPER_SCRIPTS")) + QStringLiteral("/client.up")).toUtf8();
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && processRuns(pid) && commandLine(pid).contains(marker))
            pids.append(pid);
    }
    return pids;
}

} // namespace quellnet
