#pragma once

#include "tests/support/OutputCapture.h"
#include "tests/support/StateTrace.h"
#include "tests/support/Waiting.h"

#include <QHostAddress>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdio>
#include <functional>
#include <optional>

class QTemporaryDir;

namespace quellnet {
class HelperConnectionCache;
}

namespace quellnet::test {

class AccountStandIn;

struct StackAccount
{
    QString email;
    QString password;
};

// What `scripts/lib/stack.sh up <build>/e2e` (the CTest fixture "e2e_stack") set up, read back from its
// files. Tests that use it hold RESOURCE_LOCK e2e-stack. Waits here do not run the event loop.
class E2eStack
{
public:
    static QString dir(); // <build>/e2e
    // False (with the reason) when the stack's files are missing, i.e. the fixture did not run.
    static bool isUp(QString *error = nullptr);
    // One value from <dir>/stack.env (plain KEY=VALUE lines); empty when absent.
    static QString value(const QString &key);

    // The first account is the demo account; the tricky one's password has blanks, a double quote
    // and a backslash, so it needs quoting everywhere it travels.
    static QList<StackAccount> accounts();
    static StackAccount demoAccount() { return accounts().value(0); }
    static StackAccount trickyAccount();

    static QString profilePath() { return dir() + QStringLiteral("/client.ovpn"); } // what the stand-in serves
    static QString caPath() { return dir() + QStringLiteral("/pki/ca.crt"); } // of the server and the stand-in
    static QUrl accountServiceUrl() { return QUrl(value(QStringLiteral("STACK_ACCOUNT_URL"))); }

    // The listener inside the server's namespace that only the tunnel reaches, and its one line.
    static QHostAddress tunnelServer() { return QHostAddress(value(QStringLiteral("STACK_TUNNEL_SERVER"))); }
    static quint16 probePort() { return quint16(value(QStringLiteral("STACK_PROBE_PORT")).toUInt()); }
    static QByteArray probeLine() { return value(QStringLiteral("STACK_PROBE_LINE")).toUtf8(); }
    // That line, read through the tunnel; empty when the listener cannot be reached.
    static QByteArray probeThroughTunnel(int timeoutMs);
    // The interfaces that carry an address of the network the server hands out: client tunnels.
    static QStringList tunnelInterfaces();

    // The stack's helper daemon (fixture "e2e_helper"); tests that stop it hold RESOURCE_LOCK helper-socket.
    static qint64 helperPid(); // 0 when it is not running
    // Starts it again through `stack.sh helper-up`; false with the reason.
    static bool startHelper(QString *error = nullptr);
    // Ends it the hard way, SIGKILL, as a crash would; waits until it is gone.
    static bool killHelper();
    static QByteArray helperLog();
    // The openvpn processes that the helper daemon started and that still run.
    static QList<qint64> helperOpenVpnPids();
};

// What the end-to-end tests, the demo driver and the connect benchmark share on top of E2eStack. GUI
// thread only, except where a function says otherwise.

// The first line a TCP listener sends, without its line end; empty, with the reason in `error`, when it
// cannot be reached.
QByteArray readLineFrom(const QHostAddress &host, quint16 port, int timeoutMs, QString *error = nullptr);
// Before the QApplication of a program with the real window: offscreen unless asked otherwise,
// settings in `folder`, so that no person's remembered credentials are read or changed, and a runtime
// folder of its own, <folder>/runtime (where the configuration file goes).
bool useOwnSettingsFolder(const QTemporaryDir &folder);
// The program's standard output goes to `path`; `*console` becomes standard output as it was.
bool divertStandardOutput(const QString &path, FILE **console);

// Whether the stack and its helper daemon are up (the fixtures ran); if not, `error` says why.
bool stackIsReady(QString *error = nullptr);
// After a test: stops the tunnel, ends what is left through `cache`'s helper connection and restarts a
// helper the test ended, so that one failure does not spill into the next. False, with what was left
// in `error`, when there was anything.
bool restoreStack(HelperConnectionCache &cache, QString *error = nullptr);
// Makes `standIn` serve what the stack's stand-in serves, on a port of its own, so that a test can make
// it fail and see what it received.
bool serveLikeTheStack(AccountStandIn &standIn, QString *error = nullptr);
// Stops (SIGSTOP) the helper's openvpn the moment the program has sent it its first command, after
// openvpn took the program's management password and before the credentials follow (the stop comes
// from `capture`'s observer, on the program's own thread, before it sends the next; the observer is
// taken for the while), and waits until the program has handed over the credentials, which openvpn
// cannot read yet. Its pid, or 0. `meanwhile` runs once the stop is armed, before the wait: what it
// does may start the connect (a connect takes less time than a few clicks).
qint64 holdOpenVpnAtItsPort(OutputCapture &capture, const std::function<void()> &meanwhile = {});
// How many run requests the stack's helper daemon has logged since the stack came up.
int helperRunRequests();
// Waits up to `timeoutMs` until no openvpn of the helper runs and no tunnel is up; false, with what is
// left in `error`, if that does not come.
bool nothingLeftAfter(int timeoutMs, QString *error = nullptr);

// What someone else may put where the program writes a file: a file of another user (nobody), a
// symbolic link to a file (planted-target, beside it), a folder, a FIFO that nobody reads.
enum class Planted { File, Symlink, Folder, Fifo };
// Puts `planted` at `path`; a file (or the link's target) holds `text`.
bool plant(Planted planted, const QString &path, const QByteArray &text);
// What lies at `path` (and at a link's target), as lstat(2) sees it, with what a file there holds.
QString describePlanted(const QString &path);
// Takes away what plant() put at `path`. A FIFO is opened for reading first, so that anyone waiting
// to write to it gets on.
void unplant(const QString &path);

} // namespace quellnet::test

Q_DECLARE_METATYPE(quellnet::test::Planted)
