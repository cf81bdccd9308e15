#include "bench/RawOpenVpnClient.h"

#include <QEventLoop>
#include <QFile>
#include <QNetworkInterface>
#include <QTimer>

namespace quellnet::test {

RawOpenVpnClient::RawOpenVpnClient(QObject *parent) : QObject(parent)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::readyRead, this, &RawOpenVpnClient::readOutput);
}

RawOpenVpnClient::~RawOpenVpnClient()
{
    stop(5000);
}

bool RawOpenVpnClient::start(const QString &profilePath, const QString &username, const QString &password)
{
    if (isRunning() || !m_authDir.isValid())
        return false;
    // openvpn reads the user name from the first line and the password from the second, verbatim.
    QFile auth(m_authDir.filePath(QStringLiteral("auth")));
    if (!auth.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !auth.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || auth.write(username.toUtf8() + '\n' + password.toUtf8() + '\n') < 0)
        return false;
    auth.close();

    m_log.clear();
    m_partialLine.clear();
    m_tunDevice.clear();
    m_connectedAfterMs = -1;
    m_authFailed = false;

    m_sinceStart.start();
    m_process.start(QStringLiteral("openvpn"),
        { QStringLiteral("--config"), profilePath, QStringLiteral("--auth-user-pass"), auth.fileName(),
            QStringLiteral("--auth-retry"), QStringLiteral("none") });
    return m_process.waitForStarted(5000);
}

bool RawOpenVpnClient::waitForConnected(int timeoutMs)
{
    waitUntil([this] { return isConnected() || m_authFailed || !isRunning(); }, timeoutMs);
    return isConnected();
}

bool RawOpenVpnClient::waitForAuthFailure(int timeoutMs)
{
    waitUntil([this] { return m_authFailed || isConnected() || !isRunning(); }, timeoutMs);
    return m_authFailed;
}

// Wakes up on every piece of output rather than polling, so the connect time is taken when the line
// arrives and not up to a polling interval later.
void RawOpenVpnClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Connected after readOutput(), so the new output has been parsed when this runs.
    connect(&m_process, &QProcess::readyRead, &loop, [&] {
        if (done())
            loop.quit();
    });
    connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();
    readOutput();
}

bool RawOpenVpnClient::waitForExit(int timeoutMs)
{
    if (!isRunning())
        return true;
    const bool ended = m_process.waitForFinished(timeoutMs);
    readOutput();
    return ended;
}

bool RawOpenVpnClient::stop(int timeoutMs)
{
    if (!isRunning())
        return true;
    m_process.terminate();
    if (waitForExit(timeoutMs))
        return true;
    m_process.kill();
    waitForExit(5000);
    return false;
}

QHostAddress RawOpenVpnClient::tunAddress() const
{
    const QNetworkInterface tun = QNetworkInterface::interfaceFromName(m_tunDevice);
    for (const QNetworkAddressEntry &entry : tun.addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return entry.ip();
    }
    return {};
}

void RawOpenVpnClient::readOutput()
{
    const QByteArray data = m_process.readAll();
    m_log += data;
    m_partialLine += data;
    qsizetype newline;
    while ((newline = m_partialLine.indexOf('\n')) >= 0) {
        parseLine(m_partialLine.left(newline));
        m_partialLine.remove(0, newline + 1);
    }
}

void RawOpenVpnClient::parseLine(const QByteArray &line)
{
    static const QByteArray tunOpened = "TUN/TAP device ";
    if (const qsizetype at = line.indexOf(tunOpened); at >= 0 && line.endsWith(" opened")) {
        const QByteArray rest = line.mid(at + tunOpened.size());
        m_tunDevice = QString::fromLocal8Bit(rest.left(rest.indexOf(' ')));
    } else if (line.contains("AUTH_FAILED")) {
        m_authFailed = true;
    } else if (line.contains("Initialization Sequence Completed") && m_connectedAfterMs < 0) {
        m_connectedAfterMs = m_sinceStart.elapsed();
    }
}

} // namespace quellnet::test
