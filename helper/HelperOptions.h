#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace quellnet {

// The helper daemon's command line.
//
//   com.quellnet.macos.helper --info
//       Prints the information dictionary as JSON; needs no privileges and touches nothing.
//   com.quellnet.macos.helper [--socket PATH] [--allow-user USER|UID]... [--allowed-users-file FILE]
//                             [--scripts-dir DIR] [--runtime-dir DIR] [--openvpn PATH]
//       Serves the socket as root.
//
// The install step, which pkexec runs on behalf of the program, is to be a third mode of the same
// executable, `--install --for-user UID`: it copies the executable with its client.up and
// client.down into installDirectory(), records the user in defaultAllowedUsersFile(), and writes
// and restarts the systemd service that starts the helper with those two places. The defaults
// below are therefore the installed layout.
struct HelperOptions
{
    enum class Mode { Serve, Info, Help };

    Mode mode = Mode::Serve;
    QString socketPath;
    QStringList allowedUsers;
    QString allowedUsersFile;
    QString scriptsDir; // empty: beside the executable, else <prefix>/share/quellnet
    QString runtimeDir;
    QString openvpn;

    static QString defaultSocketPath();
    static QString defaultAllowedUsersFile();
    static QString defaultRuntimeDir();
    static QString defaultOpenVPN();
    static QString installDirectory();

    // `arguments` without the program name. Nothing on error, with `error` saying why.
    static std::optional<HelperOptions> parse(const QStringList &arguments, QString &error);
    static QString usage();
};

} // namespace quellnet
