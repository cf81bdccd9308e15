// The root helper daemon: runs openvpn for the client. See HelperOptions.h for its command line.

#include "helper/AllowedUsers.h"
#include "helper/HelperDaemon.h"
#include "helper/HelperLog.h"
#include "helper/HelperOptions.h"
#include "helper/InstallStep.h"
#include "helper/TrustedPath.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

using namespace quellnet;

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QByteArray informationDictionary()
{
    const QJsonObject information {
        { QStringLiteral("CFBundleIdentifier"), QStringLiteral(QUELLNET_HELPER_ID) },
        { QStringLiteral("CFBundleVersion"), QStringLiteral(QUELLNET_VERSION) },
    };
    return QJsonDocument(information).toJson(QJsonDocument::Compact) + '\n';
}

// openvpn splits its --up and --down commands at blanks and reads quotes in them, so the scripts'
// directory must be a plain path.
bool isPlainPath(const QString &path)
{
    for (const QChar c : path) {
        const char latin = c.toLatin1();
        const bool plain = (latin >= 'a' && latin <= 'z') || (latin >= 'A' && latin <= 'Z')
            || (latin >= '0' && latin <= '9') || (latin != 0 && QByteArrayView("._/+-").contains(latin));
        if (c.unicode() > 0x7f || !plain)
            return false;
    }
    return true;
}

int refuseToStart(const QString &why)
{
    HelperLog::write(QStringLiteral("refusing to start: %1").arg(why));
    return 1;
}

int serve(const HelperOptions &options)
{
    if (::geteuid() != 0)
        return refuseToStart(QStringLiteral("the helper must run as root"));

    QString error;
    QString scriptsDir = options.scriptsDir;
    if (scriptsDir.isEmpty()) {
        // Installed, the scripts lie beside the helper; in the program's own layout (the build
        // tree, a package) they are its resources in <prefix>/share/quellnet.
        const QString beside = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
        scriptsDir
            = QFileInfo::exists(beside + QStringLiteral("/client.up")) ? beside : HelperOptions::programDataDirectory();
    }
    const std::optional<QString> trustedScripts
        = TrustedPath::resolve(scriptsDir, TrustedPath::Kind::Directory, &error);
    if (!trustedScripts)
        return refuseToStart(QStringLiteral("scripts: %1").arg(error));
    if (!isPlainPath(*trustedScripts))
        return refuseToStart(QStringLiteral("the scripts' directory %1 holds characters openvpn cannot take in a "
                                            "command")
                                 .arg(*trustedScripts));
    for (const QString &script : { QStringLiteral("client.up"), QStringLiteral("client.down") }) {
        const QString path = *trustedScripts + QLatin1Char('/') + script;
        if (!TrustedPath::resolve(path, TrustedPath::Kind::Executable, &error))
            return refuseToStart(QStringLiteral("scripts: %1").arg(error));
    }

    // The scripts get the runtime folder on the same command lines.
    if (!isPlainPath(options.runtimeDir))
        return refuseToStart(QStringLiteral("the runtime directory %1 holds characters openvpn cannot take in a "
                                            "command")
                                 .arg(options.runtimeDir));

    const std::optional<QString> openvpn = TrustedPath::resolve(options.openvpn, TrustedPath::Kind::Executable, &error);
    if (!openvpn)
        return refuseToStart(QStringLiteral("openvpn: %1").arg(error));

    std::set<uid_t> allowed;
    for (const QString &user : options.allowedUsers) {
        const std::optional<uid_t> uid = AllowedUsers::resolve(user);
        if (!uid)
            return refuseToStart(QStringLiteral("no such user: %1").arg(user));
        allowed.insert(*uid);
    }

    HelperDaemon::Settings settings;
    settings.socketPath = options.socketPath;
    settings.allowedUsers = std::move(allowed);
    settings.allowedUsersFile = options.allowedUsersFile;
    settings.openvpn.openvpn = *openvpn;
    settings.openvpn.scriptsDir = *trustedScripts;
    settings.openvpn.runtimeDir = options.runtimeDir;
    HelperDaemon daemon(std::move(settings));
    return daemon.run();
}

// Failures exit with 1: pkexec itself ends with 126 and 127, so those must keep meaning that the
// authorisation failed.
int install(const HelperOptions &options)
{
    auto fail = [](const QString &why) {
        HelperLog::write(why);
        return 1;
    };
    if (::geteuid() != 0)
        return fail(QStringLiteral("the install step must run as root; the program runs it through pkexec"));
    const char *pkexecUid = std::getenv("PKEXEC_UID");
    if (pkexecUid == nullptr)
        return fail(QStringLiteral("PKEXEC_UID is not set: run the install step through pkexec"));

    QString error;
    InstallStep::Settings settings;
    settings.root = options.installRoot;
    settings.helperExecutable = QStringLiteral("/proc/self/exe");
    settings.dataDirectory = HelperOptions::programDataDirectory();
    settings.user = InstallStep::userFromPkexec(pkexecUid, &error);
    if (!settings.user)
        return fail(error);
    if (*settings.user == 0)
        settings.user.reset(); // root may use the helper anyway
    const QString who = settings.user ? QStringLiteral("uid %1").arg(*settings.user) : QStringLiteral("root");

    InstallStep step(std::move(settings));
    const std::optional<InstallStep::Outcome> outcome = step.run(&error);
    if (!outcome)
        return fail(error);
    const QString service = !outcome->restart ? QStringLiteral("the running helper stays")
        : options.installRoot.isEmpty()       ? QStringLiteral("the helper's service was restarted")
                                              : QStringLiteral("the helper's service would be restarted");
    HelperLog::write(QStringLiteral("installed for %1: files %2, allowed users %3; %4")
                         .arg(who, outcome->filesChanged ? QStringLiteral("replaced") : QStringLiteral("unchanged"),
                             outcome->usersChanged ? QStringLiteral("changed") : QStringLiteral("unchanged"), service));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    QString error;
    const std::optional<HelperOptions> options = HelperOptions::parse(arguments, &error);
    if (!options) {
        print(stderr, error + QLatin1Char('\n') + HelperOptions::usage());
        return 64;
    }
    switch (options->mode) {
    case HelperOptions::Mode::Help:
        print(stdout, HelperOptions::usage());
        return 0;
    case HelperOptions::Mode::Info:
        print(stdout, QString::fromUtf8(informationDictionary()));
        return 0;
    case HelperOptions::Mode::Install:
        return install(*options);
    case HelperOptions::Mode::Serve:
        break;
    }
    return serve(*options);
}
