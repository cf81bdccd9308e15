#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace quellnet::test {

// A plain `openvpn` client, run the way a person would run the profile: credentials from a private
// temporary file, `--auth-retry none`, no scripts, no management interface. Its connect time is the
// baseline that the program's own connect time is measured against.
//
// Needs root (it creates a tun device). Everything it starts ends with the object: the destructor
// stops openvpn (SIGTERM, then SIGKILL) and removes the credentials file. Waits run the calling
// thread's event loop.
class RawOpenVpnClient : public QObject
{
public:
    explicit RawOpenVpnClient(QObject *parent = nullptr);
    ~RawOpenVpnClient() override;

    // Starts openvpn with the profile and these credentials.
    bool start(const QString &profilePath, const QString &username, const QString &password);

    // True once openvpn logged "Initialization Sequence Completed"; false on time-out or exit.
    bool waitForConnected(int timeoutMs);
    // True once the server refused the credentials ("AUTH_FAILED").
    bool waitForAuthFailure(int timeoutMs);
    // SIGTERM, and SIGKILL when openvpn has not ended within the time. True when it ended by itself.
    bool stop(int timeoutMs = 10000);
    bool waitForExit(int timeoutMs);

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    bool isConnected() const { return m_connectedAfterMs >= 0; }

    // The tun device openvpn opened ("tun0"), and the IPv4 address it carries now.
    QString tunDevice() const { return m_tunDevice; }
    QHostAddress tunAddress() const;

    // Milliseconds from starting the process to "Initialization Sequence Completed"; -1 before.
    qint64 connectedAfterMs() const { return m_connectedAfterMs; }
    // Everything openvpn printed so far.
    QString log() const { return QString::fromLocal8Bit(m_log); }

private:
    void readOutput();
    void waitUntil(const std::function<bool()> &done, int timeoutMs);
    void parseLine(const QByteArray &line);

    QProcess m_process;
    QTemporaryDir m_authDir;
    QElapsedTimer m_sinceStart;
    QByteArray m_log;
    QByteArray m_partialLine;
    QString m_tunDevice;
    qint64 m_connectedAfterMs = -1;
    bool m_authFailed = false;
};

} // namespace quellnet::test
