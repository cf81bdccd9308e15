#include "helper/HelperOptions.h"

#include "base/Error.h"

#include <QDir>
#include <QFileInfo>

namespace quellnet {

QString HelperOptions::defaultSocketPath()
{
    return QStringLiteral("/run/" QUELLNET_HELPER_ID ".sock");
}

QString HelperOptions::defaultAllowedUsersFile()
{
    return QStringLiteral("/etc/" QUELLNET_HELPER_ID "/allowed-users");
}

QString HelperOptions::defaultRuntimeDir()
{
    return QStringLiteral("/run/" QUELLNET_HELPER_ID);
}

QString HelperOptions::defaultOpenVPN()
{
    return QStringLiteral("/usr/sbin/openvpn");
}

QString HelperOptions::installDirectory()
{
    return QStringLiteral("/usr/local/libexec/" QUELLNET_HELPER_ID);
}

QString HelperOptions::unitFile()
{
    return QStringLiteral("/etc/systemd/system/" QUELLNET_HELPER_ID ".service");
}

QString HelperOptions::programDataDirectory()
{
    const QString helperDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    return QDir::cleanPath(helperDir + QStringLiteral("/../../share/quellnet"));
}

std::optional<HelperOptions> HelperOptions::parse(const QStringList &arguments, QString *error)
{
    const auto fail = [error](const QString &why) {
        failWith(error, why);
        return std::nullopt;
    };
    HelperOptions options;
    options.socketPath = defaultSocketPath();
    options.allowedUsersFile = defaultAllowedUsersFile();
    options.runtimeDir = defaultRuntimeDir();
    options.openvpn = defaultOpenVPN();

    bool serveOptionSeen = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--info") || argument == QLatin1String("--install")) {
            const Mode mode = argument == QLatin1String("--info") ? Mode::Info : Mode::Install;
            if (options.mode == Mode::Help)
                continue;
            if (options.mode != Mode::Serve && options.mode != mode) {
                return fail(QStringLiteral("--info and --install exclude each other"));
            }
            options.mode = mode;
            continue;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.mode = Mode::Help;
            continue;
        }
        if (argument == QLatin1String("--root")) {
            if (i + 1 >= arguments.size() || !arguments.at(i + 1).startsWith(QLatin1Char('/'))) {
                return fail(QStringLiteral("--root needs an absolute path"));
            }
            options.installRoot = arguments.at(++i);
            continue;
        }
        QString *single = nullptr;
        if (argument == QLatin1String("--socket"))
            single = &options.socketPath;
        else if (argument == QLatin1String("--allowed-users-file"))
            single = &options.allowedUsersFile;
        else if (argument == QLatin1String("--scripts-dir"))
            single = &options.scriptsDir;
        else if (argument == QLatin1String("--runtime-dir"))
            single = &options.runtimeDir;
        else if (argument == QLatin1String("--openvpn"))
            single = &options.openvpn;
        else if (argument != QLatin1String("--allow-user")) {
            return fail(QStringLiteral("unknown argument %1").arg(argument));
        }
        if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty()) {
            return fail(QStringLiteral("%1 needs a value").arg(argument));
        }
        const QString &value = arguments.at(++i);
        if (single)
            *single = value;
        else
            options.allowedUsers.append(value);
        serveOptionSeen = true;
    }
    if (options.mode == Mode::Info && serveOptionSeen) {
        return fail(QStringLiteral("--info takes no other options"));
    }
    // The user to record is never an argument: pkexec tells the install step who asked.
    if (options.mode == Mode::Install && serveOptionSeen) {
        return fail(QStringLiteral("--install takes no options but --root"));
    }
    if (!options.installRoot.isEmpty() && options.mode != Mode::Install) {
        return fail(QStringLiteral("--root goes with --install only"));
    }
    return options;
}

QString HelperOptions::usage()
{
    return QStringLiteral(
        "Usage: " QUELLNET_HELPER_ID " --info\n"
        "       " QUELLNET_HELPER_ID " --install [--root DIR]\n"
        "       " QUELLNET_HELPER_ID " [options]\n"
        "\n"
        "Runs openvpn as root for the local users allowed to ask for it.\n"
        "\n"
        "  --info                    print this helper's information as JSON and exit\n"
        "  --install                 install this helper and its service for the user who ran\n"
        "                            pkexec (as root, through pkexec only)\n"
        "  --root DIR                with --install: install below DIR and leave systemd alone\n"
        "  --socket PATH             the socket to serve (default %1)\n"
        "  --allow-user USER|UID     a user besides root who may use the helper (repeatable)\n"
        "  --allowed-users-file FILE more such users, one a line (default %2)\n"
        "  --scripts-dir DIR         where client.up and client.down are (default: beside the helper,\n"
        "                            else <prefix>/share/quellnet)\n"
        "  --runtime-dir DIR         root-only place for private profile copies and management\n"
        "                            passwords (default %3)\n"
        "  --openvpn PATH            the openvpn program (default %4)\n")
        .arg(defaultSocketPath(), defaultAllowedUsersFile(), defaultRuntimeDir(), defaultOpenVPN());
}

} // namespace quellnet
