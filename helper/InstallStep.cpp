#include "helper/InstallStep.h"

#include "base/Error.h"
#include "helper/AllowedUsers.h"
#include "helper/HelperOptions.h"
#include "helper/TrustedPath.h"
#include "helperlink/HelperWire.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quellnet {

namespace {

const QString unitName = QStringLiteral(QUELLNET_HELPER_ID ".service");
const QString unitTemplateName = QStringLiteral(QUELLNET_HELPER_ID ".service.in");

std::optional<QByteArray> readWhole(const QString &path, qint64 limit, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        failWith(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    QByteArray content = file.read(limit + 1);
    if (content.size() > limit || file.error() != QFileDevice::NoError) {
        failWith(error,
            QStringLiteral("cannot read %1: %2")
                .arg(path, content.size() > limit ? QStringLiteral("too large") : file.errorString()));
        return std::nullopt;
    }
    return content;
}

// A source of the installation: only root may have written it, nor replaced it or a folder above
// it, since what it holds is run as root or decides who may use the helper.
std::optional<QByteArray> readSource(const QString &path, qint64 limit, QString *error)
{
    QString why;
    const std::optional<QString> trusted = TrustedPath::resolve(path, TrustedPath::Kind::File, &why);
    if (!trusted) {
        failWith(error, QStringLiteral("refusing to install from %1: %2").arg(path, why));
        return std::nullopt;
    }
    return readWhole(*trusted, limit, error);
}

// What is installed at `path`, if it is a plain file of root's with the mode the step gives it.
std::optional<QByteArray> installed(const QString &path, mode_t mode, qint64 limit)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0
        || info.st_gid != 0 || (info.st_mode & 07777) != mode)
        return std::nullopt;
    return readWhole(path, limit, nullptr);
}

// A file written beside its target, not yet in place.
struct StagedFile
{
    QString target;
    QByteArray content;
    mode_t mode = 0644;
    QByteArray temporary;
};

bool stage(StagedFile &file, QString *error)
{
    const QFileInfo target(file.target);
    QByteArray name = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName())
        + QByteArrayLiteral(".XXXXXX");
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        failWith(error, QStringLiteral("cannot write into %1: %2").arg(target.absolutePath(), qt_error_string(errno)));
        return false;
    }
    file.temporary = name;
    const char *data = file.content.constData();
    qsizetype left = file.content.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        left -= n;
    }
    ok = ok && ::fchown(fd, 0, 0) == 0 && ::fchmod(fd, file.mode) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        failWith(error, QStringLiteral("cannot write %1: %2").arg(file.target, qt_error_string(writeError)));
    return ok;
}

void syncDirectory(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A root-owned folder that only root can change, made when missing; the resolved path.
std::optional<QString> trustedDirectory(const QString &path, QString *error)
{
    if (!QDir().mkpath(path)) {
        failWith(error, QStringLiteral("cannot create %1").arg(path));
        return std::nullopt;
    }
    return TrustedPath::resolve(path, TrustedPath::Kind::Directory, error);
}

// Runs a system program with a fixed environment; its exit status, or -1. `output` gets what it
// wrote on standard output and standard error.
int runProgram(const QStringList &arguments, QByteArray &output)
{
    std::vector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char lang[] = "LANG=C";
    char *envp[] = { path, lang, nullptr };

    int pipeFds[2];
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (devNull >= 0)
            ::close(devNull);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // System calls only from here on.
        if (::dup2(devNull, STDIN_FILENO) < 0 || ::dup2(pipeFds[1], STDOUT_FILENO) < 0
            || ::dup2(pipeFds[1], STDERR_FILENO) < 0)
            ::_exit(125);
        ::execve(argv[0], argv.data(), envp);
        ::_exit(125);
    }
    ::close(devNull);
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (output.size() < 65536)
            output.append(buffer, n);
    }
    ::close(pipeFds[0]);
    if (pid < 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The version of the daemon that serves `path`, asked as root; nothing when none answers.
std::optional<QString> servingVersion(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(native.size()) >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    // A daemon that hangs must not hold the install up for long.
    const timeval timeout { 2, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    HelperRequest request;
    request.id = 1;
    request.operation = HelperRequest::Operation::GetVersion;
    const QByteArray line = HelperWire::encode(request);
    QByteArray received;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL) == ssize_t(line.size())) {
        char buffer[512];
        while (!received.contains('\n') && received.size() < 4096) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            received.append(buffer, n);
        }
    }
    ::close(fd);
    const qsizetype end = received.indexOf('\n');
    const HelperDecoded<HelperReply> reply
        = HelperWire::decodeReply(QByteArrayView(received).first(std::max<qsizetype>(end, 0)));
    if (end < 0 || !reply.message || reply.message->kind != HelperReply::Kind::Version)
        return std::nullopt;
    return reply.message->text;
}

// Whether `user` may connect to the socket at `path`: its access control list names the user, or
// the file system has no such lists and the socket is open to all.
bool socketAdmits(const QString &path, uid_t user)
{
    const QByteArray native = QFile::encodeName(path);
    char acl[4096];
    const ssize_t size = ::getxattr(native.constData(), "system.posix_acl_access", acl, sizeof acl);
    if (size < 0) {
        struct stat info = {};
        return (errno == EOPNOTSUPP || errno == ENODATA) && ::stat(native.constData(), &info) == 0
            && (info.st_mode & 0666) == 0666;
    }
    auto read32 = [&acl](ssize_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | std::uint8_t(acl[at + i]);
        return value;
    };
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        const std::uint32_t tagAndPermissions = read32(at);
        if ((tagAndPermissions & 0xffff) == ACL_USER && read32(at + 4) == user && (tagAndPermissions >> 16) & ACL_WRITE)
            return true;
    }
    return false;
}

} // namespace

InstallStep::InstallStep(Settings settings) : m_settings(std::move(settings)) { }

std::optional<uid_t> InstallStep::userFromPkexec(const QByteArray &pkexecUid, QString *error)
{
    bool numeric = false;
    const qulonglong uid = pkexecUid.toULongLong(&numeric);
    bool digitsOnly = !pkexecUid.isEmpty();
    for (const char c : pkexecUid)
        digitsOnly = digitsOnly && c >= '0' && c <= '9';
    // (uid_t)-1 means "no user" to the kernel's calls.
    if (!numeric || !digitsOnly || uid >= qulonglong(uid_t(-1))) {
        failWith(error, QStringLiteral("PKEXEC_UID does not name a user"));
        return std::nullopt;
    }
    return uid_t(uid);
}

QByteArray InstallStep::withUser(const QByteArray &existing, uid_t user)
{
    for (const QString &entry : AllowedUsers::parse(existing)) {
        if (AllowedUsers::resolve(entry) == user)
            return existing;
    }
    QByteArray text = existing;
    if (text.isEmpty())
        text = QByteArrayLiteral(
            "# Users besides root who may use " QUELLNET_HELPER_ID ", one user name or uid a line.\n");
    else if (!text.endsWith('\n'))
        text.append('\n');
    text.append(QByteArray::number(user));
    // The name is a note for the administrator; the uid is what counts.
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd *found = nullptr;
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        text.append(QByteArrayLiteral(" # ") + found->pw_name);
    text.append('\n');
    return text;
}

QByteArray InstallStep::unitFromTemplate(const QByteArray &unitTemplate, const QString &helperDirectory)
{
    QByteArray unit = unitTemplate;
    return unit.replace("@HELPER_DIR@", QFile::encodeName(helperDirectory));
}

std::optional<InstallStep::Outcome> InstallStep::run(QString *error)
{
    ::umask(022);
    const QString &root = m_settings.root;
    if (!root.isEmpty() && !QFileInfo(root).isDir()) {
        failWith(error, QStringLiteral("%1 is not a folder").arg(root));
        return std::nullopt;
    }

    // Everything is read before anything is written.
    const QString data = m_settings.dataDirectory + QLatin1Char('/');
    const std::optional<QByteArray> helper
        = readSource(m_settings.helperExecutable, qint64 { 256 } * 1024 * 1024, error);
    const std::optional<QByteArray> clientUp
        = helper ? readSource(data + QStringLiteral("client.up"), 1024 * 1024, error) : std::nullopt;
    const std::optional<QByteArray> clientDown
        = clientUp ? readSource(data + QStringLiteral("client.down"), 1024 * 1024, error) : std::nullopt;
    const std::optional<QByteArray> unitTemplate
        = clientDown ? readSource(data + unitTemplateName, 1024 * 1024, error) : std::nullopt;
    if (!unitTemplate)
        return std::nullopt;

    const std::optional<QString> installDir = trustedDirectory(root + HelperOptions::installDirectory(), error);
    if (!installDir)
        return std::nullopt;
    const QFileInfo usersFile(root + HelperOptions::defaultAllowedUsersFile());
    const std::optional<QString> usersDir = trustedDirectory(usersFile.absolutePath(), error);
    if (!usersDir)
        return std::nullopt;
    const QFileInfo unitFile(root + HelperOptions::unitFile());
    const std::optional<QString> unitDir = trustedDirectory(unitFile.absolutePath(), error);
    if (!unitDir)
        return std::nullopt;

    // Users recorded earlier stay; a file that is not a plain file is replaced, not read.
    const QString usersPath = *usersDir + QLatin1Char('/') + usersFile.fileName();
    QByteArray users;
    struct stat existing = {};
    if (::lstat(QFile::encodeName(usersPath).constData(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        const std::optional<QByteArray> recorded = readWhole(usersPath, 1024 * 1024, error);
        if (!recorded)
            return std::nullopt;
        users = *recorded;
    }
    if (m_settings.user)
        users = withUser(users, *m_settings.user);

    const QString helperPath = *installDir + QStringLiteral("/" QUELLNET_HELPER_ID);
    const QString unitPath = *unitDir + QLatin1Char('/') + unitFile.fileName();
    // The helper goes into place last: should a rename fail, the previous helper stays.
    std::vector<StagedFile> candidates {
        { *installDir + QStringLiteral("/client.up"), *clientUp, 0755, {} },
        { *installDir + QStringLiteral("/client.down"), *clientDown, 0755, {} },
        { usersPath, users, 0644, {} },
        { unitPath, unitFromTemplate(*unitTemplate, HelperOptions::installDirectory()), 0644, {} },
        { helperPath, *helper, 0755, {} },
    };
    Outcome outcome;
    bool helperChanged = false;
    bool unitChanged = false;
    std::vector<StagedFile> files;
    for (StagedFile &file : candidates) {
        if (installed(file.target, file.mode, qint64 { 256 } * 1024 * 1024) == file.content)
            continue;
        helperChanged = helperChanged || file.target == helperPath;
        unitChanged = unitChanged || file.target == unitPath;
        (file.target == usersPath ? outcome.usersChanged : outcome.filesChanged) = true;
        files.push_back(std::move(file));
    }

    auto discard = [&files] {
        for (const StagedFile &file : files) {
            if (!file.temporary.isEmpty())
                ::unlink(file.temporary.constData());
        }
    };
    for (StagedFile &file : files) {
        if (!stage(file, error)) {
            discard();
            return std::nullopt;
        }
    }
    for (StagedFile &file : files) {
        if (::rename(file.temporary.constData(), QFile::encodeName(file.target).constData()) != 0) {
            failWith(error, QStringLiteral("cannot replace %1: %2").arg(file.target, qt_error_string(errno)));
            discard();
            return std::nullopt;
        }
        file.temporary.clear();
    }
    for (const QString &directory : { *installDir, *usersDir, *unitDir })
        syncDirectory(directory);

    // A restart ends every tunnel the helper runs: only when the helper that runs is not this one.
    const std::optional<QString> running = servingVersion(root + HelperOptions::defaultSocketPath());
    outcome.restart = helperChanged || unitChanged || running != QStringLiteral(QUELLNET_VERSION);
    if (root.isEmpty()) {
        if (!startService(outcome.restart, unitChanged, error))
            return std::nullopt;
    } else if (outcome.restart) {
        return outcome; // systemd is left alone, and no daemon of this helper serves yet
    }
    if (!waitUntilServing(error))
        return std::nullopt;
    return outcome;
}

bool InstallStep::startService(bool restart, bool reload, QString *error)
{
    if (!restart)
        return true; // the daemon that serves is this one and reads the allowed users itself
    if (!QFileInfo::exists(QStringLiteral("/run/systemd/system"))) {
        failWith(
            error, QStringLiteral("systemd does not run on this system, so the helper's service cannot be started"));
        return false;
    }
    QString systemctl;
    for (const QString &candidate : { QStringLiteral("/usr/bin/systemctl"), QStringLiteral("/bin/systemctl") }) {
        if (QFileInfo(candidate).isExecutable()) {
            systemctl = candidate;
            break;
        }
    }
    if (systemctl.isEmpty()) {
        failWith(error, QStringLiteral("systemctl is not installed"));
        return false;
    }
    QList<QStringList> commands;
    if (reload)
        commands.append({ QStringLiteral("daemon-reload") });
    commands.append({ QStringLiteral("enable"), unitName });
    // A helper that runs already is replaced by the new one.
    commands.append({ QStringLiteral("restart"), unitName });
    for (const QStringList &command : commands) {
        QByteArray output;
        const int status = runProgram(
            QStringList { systemctl, QStringLiteral("--quiet"), QStringLiteral("--no-ask-password") } + command,
            output);
        if (status != 0) {
            failWith(error,
                QStringLiteral("systemctl %1 failed: %2")
                    .arg(command.join(QLatin1Char(' ')),
                        output.trimmed().isEmpty() ? QStringLiteral("exit status %1").arg(status)
                                                   : QString::fromLocal8Bit(output).simplified()));
            return false;
        }
    }
    return true;
}

bool InstallStep::waitUntilServing(QString *error)
{
    // The program talks to the helper right after this step, as the user it was installed for: the
    // daemon must serve by then, and let that user in.
    const QString socket = m_settings.root + HelperOptions::defaultSocketPath();
    const QDeadlineTimer deadline(10000);
    while (!servingVersion(socket) || (m_settings.user && !socketAdmits(socket, *m_settings.user))) {
        if (deadline.hasExpired()) {
            failWith(error,
                QStringLiteral("the helper's service does not serve %1 for the user (journalctl -u %2 says why)")
                    .arg(socket, unitName));
            return false;
        }
        QThread::msleep(100);
    }
    return true;
}

} // namespace quellnet
