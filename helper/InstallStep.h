#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/types.h>

namespace quellnet {

// The helper's install step (`--install`), which the program runs through pkexec when the
// installed helper is missing, is not the one it ships, or does not serve its user yet. As root:
//   - it refuses sources (this executable, the program's client.up and client.down, the unit
//     template) that anyone but root could have changed: each must be root's and writable by no
//     one else, and so must every folder above it;
//   - it records the user who asked (pkexec's PKEXEC_UID, never an argument) in the allowed-users
//     file, keeping the users already there;
//   - it puts the helper, its scripts and its systemd unit in place where they differ from what is
//     installed;
//   - it restarts the service only when the helper itself changes: when the installed helper or
//     unit differs from the new one, or the running daemon does not answer with this helper's
//     version. Otherwise the running daemon, and every tunnel it runs, stays: it notices the
//     changed allowed-users file by itself. Either way the step waits until the daemon serves the
//     socket (and, on file systems with access control lists, until the socket lets the user in).
// Every file is written beside its target, synced and renamed into place, and nothing is renamed
// before all of them are written, so a failed install leaves the previous helper whole.
//
// With a root folder set (tests), every system path lies below it, the daemon asked is the one on
// the socket below it, and systemd is left alone: the outcome says what would have been done.
class InstallStep
{
public:
    struct Settings
    {
        QString root; // "" for the real system
        QString helperExecutable; // the file to install as the helper
        QString dataDirectory; // client.up, client.down and the unit template
        std::optional<uid_t> user; // who asked; nothing to record when root did
    };

    struct Outcome
    {
        bool filesChanged = false; // helper, scripts or unit
        bool usersChanged = false;
        bool restart = false; // the service is (with a root folder: would be) restarted
    };

    explicit InstallStep(Settings settings);

    // The user in pkexec's PKEXEC_UID, or nothing with `error` set.
    static std::optional<uid_t> userFromPkexec(const QByteArray &pkexecUid, QString *error = nullptr);

    // What was done once installed (and, without a root folder, serving); otherwise nothing, with
    // `error` saying why.
    std::optional<Outcome> run(QString *error = nullptr);

    // The allowed-users file's text with `user` added unless it is already named there.
    static QByteArray withUser(const QByteArray &existing, uid_t user);
    // The unit from its template: the placeholder @HELPER_DIR@ becomes `helperDirectory`.
    static QByteArray unitFromTemplate(const QByteArray &unitTemplate, const QString &helperDirectory);

private:
    bool startService(bool restart, bool reload, QString *error);
    bool waitUntilServing(QString *error);

    Settings m_settings;
};

} // namespace quellnet
