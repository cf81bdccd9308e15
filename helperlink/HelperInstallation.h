#pragma once

#include "helperlink/PrivilegeStep.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QProcess;

namespace quellnet {

class HelperConnectionCache;

// Makes sure that the installed helper daemon is the one that ships with the program, and
// installs the shipped one when it is not. The application delegate owns it and forwards its
// shouldInstallHelper() and installHelper() here.
//
// Lives on the GUI thread. shouldInstallHelper() starts there and returns at once: the shipped
// helper's version is read off the GUI thread; the callback runs on the helper connection's
// thread (or on the GUI thread, when the shipped helper's information cannot be read).
// installHelper() returns at once: the privilege step runs as a process of its own while the
// program stays usable, and its outcome is handled on the GUI thread. A failed authorisation or
// installation asks the application to quit; nothing is ever shown to the user but the system's
// authorisation prompt.
class HelperInstallation : public QObject
{
    Q_OBJECT

public:
    // `privilegeStep`: by default pkexec.
    explicit HelperInstallation(HelperConnectionCache &connections, std::unique_ptr<PrivilegeStep> privilegeStep = {},
        QObject *parent = nullptr);
    ~HelperInstallation() override;

    // Asks the installed helper for its version and calls `callback` exactly once: true when it
    // is exactly the shipped helper's version (nothing to install), false otherwise.
    void shouldInstallHelper(std::function<void(bool current)> callback);

    // Runs the shipped helper's install step with the administrator's authorisation. On success
    // the cached connection is emptied, so the next request reaches the new helper.
    void installHelper();

    // The launch's callback for shouldInstallHelper(): on false, on the GUI thread, installs the
    // helper and empties the cached connection; on true, announces helperReady().
    std::function<void(bool current)> startUpCallback();

Q_SIGNALS:
    // The installed helper is the shipped one: the launch's check found it so, or it was just
    // installed. On the GUI thread.
    void helperReady();

private:
    // The shipped helper's version, or why it cannot be read.
    struct ShippedVersion
    {
        std::optional<QString> version;
        QString problem;
    };

    void askInstalledVersion(const ShippedVersion &shipped, const std::function<void(bool current)> &callback);
    void onInstallFinished(int exitCode, bool crashed);
    static void fail(const QString &line);

    HelperConnectionCache &m_connections;
    std::unique_ptr<PrivilegeStep> m_privilegeStep;
    QProcess *m_install = nullptr;
};

} // namespace quellnet
