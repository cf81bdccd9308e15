#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/types.h>

namespace quellnet {

// The helper's install step (`--install`), which the program runs through pkexec when the
// installed helper is missing or is not the one it ships. As root, it:
//   - copies this executable and the program's client.up and client.down into root-owned
//     HelperOptions::installDirectory();
//   - records the user who asked (pkexec's PKEXEC_UID, never an argument) in the allowed-users
//     file, keeping the users already there;
//   - writes the systemd unit from the program's template, then reloads, enables and restarts
//     it, and waits until the new helper serves its socket.
// An older or newer helper is replaced alike. Every file is written beside its target, synced
// and renamed into place, and nothing is renamed before all of them are written, so a failed
// install leaves the previous helper whole.
//
// With a root folder set (tests), every system path lies below it and systemd is left alone.
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

    explicit InstallStep(Settings settings);

    // The user in pkexec's PKEXEC_UID, or nothing with `problem` set.
    static std::optional<uid_t> userFromPkexec(const QByteArray &pkexecUid, QString &problem);

    // True once installed (and, without a root folder, serving); otherwise `problem` says why.
    bool run(QString &problem);

    // The allowed-users file's text with `user` added unless it is already named there.
    static QByteArray withUser(const QByteArray &existing, uid_t user);
    // The unit from its template: the placeholder @HELPER_DIR@ becomes `helperDirectory`.
    static QByteArray unitFromTemplate(const QByteArray &unitTemplate, const QString &helperDirectory);

private:
    bool startService(QString &problem);

    Settings m_settings;
};

} // namespace quellnet
