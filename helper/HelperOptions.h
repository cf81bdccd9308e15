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
//   com.quellnet.macos.helper --install [--root DIR]
//       The install step, run as root by pkexec for the user in PKEXEC_UID (see InstallStep.h).
//       It installs the helper into installDirectory() and records the user in
//       defaultAllowedUsersFile(), so the defaults below are the installed layout.
struct HelperOptions
{
    enum class Mode { Serve, Info, Help, Install };

    Mode mode = Mode::Serve;
    QString socketPath;
    QStringList allowedUsers;
    QString allowedUsersFile;
    QString scriptsDir; // empty: beside the executable, else <prefix>/share/quellnet
    QString runtimeDir;
    QString openvpn;
    QString installRoot; // --install --root: prefixes every system path (tests)

    static QString defaultSocketPath();
    static QString defaultAllowedUsersFile();
    static QString defaultRuntimeDir();
    static QString defaultOpenVPN();
    static QString installDirectory();
    static QString unitFile();
    // The program's data folder, <prefix>/share/quellnet, seen from the helper in <prefix>/lib/quellnet.
    static QString programDataDirectory();

    // `arguments` without the program name. Nothing on error, with `error` saying why.
    static std::optional<HelperOptions> parse(const QStringList &arguments, QString *error = nullptr);
    static QString usage();
};

} // namespace quellnet
