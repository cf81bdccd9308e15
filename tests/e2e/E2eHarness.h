#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>

class QTemporaryDir;

namespace quellnet {
class AccountStandIn;
}

namespace quellnet::e2e {

// What the end-to-end tests and the demo driver share on top of E2eStack: waiting with the event
// loop running, following the VPN state as the program's own observers do, catching the program's
// two output channels, and checking that a tunnel left nothing behind. GUI thread only, except
// where a member says otherwise.

// For a program that runs the real window, before its QApplication exists: the offscreen platform
// unless one is asked for, and settings (and a runtime folder, when the session has none) in
// `folder`, so that a person's remembered credentials are neither read nor changed. False when
// `folder` could not be made.
bool useOwnSettingsFolder(const QTemporaryDir &folder);

// From now on the program's standard output goes to `path`; `*console` becomes a stream on standard
// output as it was, for a driver's own lines (it stays as it is when that cannot be made).
bool divertStandardOutput(const QString &path, FILE **console);

// Runs the calling thread's event loop until `done` holds, for at most `timeoutMs`; returns done().
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// Observes OpenVPNStateDidChange like the login view: at each notification it reads the state and
// keeps it, in order, and hands it to `onChange` (the demo driver prints it).
class StateTrace : public QObject
{
public:
    explicit StateTrace(std::function<void(const QString &state)> onChange = {});

    QStringList states() const { return m_states; }
    int notifications() const { return int(m_states.size()); }
    // Waits until a notification found `state`, counting those since the last clear().
    bool waitFor(const QString &state, int timeoutMs);
    void clear() { m_states.clear(); }

private:
    std::function<void(const QString &)> m_onChange;
    QStringList m_states;
};

// Everything the program writes to its system log and to standard output while this lives (the
// writers still write to their usual places too). Filled from any thread.
class OutputCapture
{
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    QStringList logLines() const;
    QStringList standardOutput() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    QStringList m_log;
    QStringList m_output;
};

// Makes `standIn` serve what the stack's own stand-in serves (its accounts and client profile, under
// its certificate), on a port of its own, so that a test can make it fail and see what it received.
// False, with the reason, when it cannot.
bool serveLikeTheStack(AccountStandIn &standIn, QString *why);

// How many run requests the stack's helper daemon has logged since the stack came up.
int helperRunRequests();

// The owner of a socket listening on port 1337 (openvpn's management port), if one does.
std::optional<uint> managementPortListener();

// Waits up to `timeoutMs` until no openvpn of the helper runs and no tunnel interface is up; then
// empty, or what is still there.
QString leftoversAfter(int timeoutMs);

} // namespace quellnet::e2e
