#include "E2eStack.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace quellnet {

namespace {

QString inDir(const QString &name)
{
    return QDir(E2eStack::dir()).filePath(name);
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

} // namespace quellnet
