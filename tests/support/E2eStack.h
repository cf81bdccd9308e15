#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace quellnet {

struct StackAccount
{
    QString email;
    QString password;
};

// What the end-to-end stack of this build tree set up, read back from the files that
// `scripts/lib/stack.sh up <build>/e2e` writes (the CTest fixture "e2e_stack" runs it). Tests that
// use it say FIXTURES_REQUIRED e2e_stack and RESOURCE_LOCK e2e-stack. Waits here block the calling
// thread without running its event loop.
class E2eStack
{
public:
    // <build>/e2e
    static QString dir();

    // False (with the reason) when the stack's files are missing, i.e. the fixture did not run.
    static bool isUp(QString *why = nullptr);

    // From <dir>/accounts, in order. The first is the demo account; another one has a password with
    // blanks, a double quote and a backslash.
    static QList<StackAccount> accounts();
    static StackAccount demoAccount();
    // The account whose password needs quoting everywhere it travels.
    static StackAccount trickyAccount();

    static QString profilePath(); // the client profile the stand-in serves
    static QString caPath(); // the test CA of the server and the stand-in
    static QUrl accountServiceUrl(); // https://127.0.0.1:47443/api/

    // The listener inside the server's namespace that only the tunnel reaches, and its one line.
    static QHostAddress tunnelServer();
    static quint16 probePort();
    static QByteArray probeLine();
    // 10.204.0.0/24: the addresses the server hands to clients.
    static QPair<QHostAddress, int> tunnelNetwork();

    // One value from <dir>/stack.env (plain KEY=VALUE lines); empty when absent.
    static QString value(const QString &key);

    // The fixed line of the listener that only the tunnel reaches; empty when it cannot be reached.
    static QByteArray probeThroughTunnel(int timeoutMs);
    // The interfaces that carry an address of the tunnel network, i.e. client tunnels that are up.
    static QStringList tunnelInterfaces();

    // The helper daemon of the stack (the CTest fixture "e2e_helper" starts it). Tests that stop or
    // restart it hold RESOURCE_LOCK helper-socket and leave it running when they end.
    static qint64 helperPid(); // 0 when it is not running
    // Starts it again (after killHelper()), through `stack.sh helper-up`; false with the reason.
    static bool startHelper(QString *why = nullptr);
    // Ends it the hard way, SIGKILL, as a crash would; waits until it is gone.
    static bool killHelper();
    // The openvpn processes that the helper daemon started and that still run.
    static QList<qint64> helperOpenVpnPids();
};

} // namespace quellnet
