#include "helper/InstallStep.h"

#include "helper/AllowedUsers.h"
#include "helper/HelperOptions.h"
#include "helper/TrustedPath.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellnet {

namespace {

const QString unitName = QStringLiteral(QUELLNET_HELPER_ID ".service");
const QString unitTemplateName = QStringLiteral(QUELLNET_HELPER_ID ".service.in");

QString errnoText(int error)
{
    return qt_error_string(error);
}

bool readWhole(const QString &path, qint64 limit, QByteArray &content, QString &problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    content = file.read(limit + 1);
    if (content.size() > limit || file.error() != QFileDevice::NoError) {
        problem = QStringLiteral("cannot read %1: %2")
                      .arg(path, content.size() > limit ? QStringLiteral("too large") : file.errorString());
        return false;
    }
    return true;
}

// A file written beside its target, not yet in place.
struct StagedFile
{
    QString target;
    QByteArray content;
    mode_t mode = 0644;
    QByteArray temporary;
};

bool stage(StagedFile &file, QString &problem)
{
    const QFileInfo target(file.target);
    QByteArray name = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName())
        + QByteArrayLiteral(".XXXXXX");
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        problem = QStringLiteral("cannot write into %1: %2").arg(target.absolutePath(), errnoText(errno));
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
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        problem = QStringLiteral("cannot write %1: %2").arg(file.target, errnoText(error));
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

// A root-owned folder that only root can change, made when missing; the resolved path, or "".
QString trustedDirectory(const QString &path, QString &problem)
{
    if (!QDir().mkpath(path)) {
        problem = QStringLiteral("cannot create %1").arg(path);
        return {};
    }
    return TrustedPath::resolve(path, TrustedPath::Kind::Directory, problem);
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

bool socketAnswers(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(native.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return answered;
}

} // namespace

InstallStep::InstallStep(Settings settings) : m_settings(std::move(settings)) { }

std::optional<uid_t> InstallStep::userFromPkexec(const QByteArray &pkexecUid, QString &problem)
{
    bool numeric = false;
    const qulonglong uid = pkexecUid.toULongLong(&numeric);
    bool digitsOnly = !pkexecUid.isEmpty();
    for (const char c : pkexecUid)
        digitsOnly = digitsOnly && c >= '0' && c <= '9';
    // (uid_t)-1 means "no user" to the kernel's calls.
    if (!numeric || !digitsOnly || uid >= qulonglong(uid_t(-1))) {
        problem = QStringLiteral("PKEXEC_UID does not name a user");
        return std::nullopt;
    }
    return uid_t(uid);
}

QByteArray InstallStep::withUser(const QByteArray &existing, uid_t user)
{
    for (const QString &entry : AllowedUsers::parse(existing)) {
        uid_t uid = 0;
        if (AllowedUsers::resolve(entry, uid) && uid == user)
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

bool InstallStep::run(QString &problem)
{
    ::umask(022);
    const QString &root = m_settings.root;
    if (!root.isEmpty() && !QFileInfo(root).isDir()) {
        problem = QStringLiteral("%1 is not a folder").arg(root);
        return false;
    }

    // Everything is read before anything is written.
    QByteArray helper, clientUp, clientDown, unitTemplate;
    const QString data = m_settings.dataDirectory + QLatin1Char('/');
    if (!readWhole(m_settings.helperExecutable, qint64 { 256 } * 1024 * 1024, helper, problem)
        || !readWhole(data + QStringLiteral("client.up"), 1024 * 1024, clientUp, problem)
        || !readWhole(data + QStringLiteral("client.down"), 1024 * 1024, clientDown, problem)
        || !readWhole(data + unitTemplateName, 1024 * 1024, unitTemplate, problem))
        return false;

    const QString installDir = trustedDirectory(root + HelperOptions::installDirectory(), problem);
    if (installDir.isEmpty())
        return false;
    const QFileInfo usersFile(root + HelperOptions::defaultAllowedUsersFile());
    const QString usersDir = trustedDirectory(usersFile.absolutePath(), problem);
    if (usersDir.isEmpty())
        return false;
    const QFileInfo unitFile(root + HelperOptions::unitFile());
    const QString unitDir = trustedDirectory(unitFile.absolutePath(), problem);
    if (unitDir.isEmpty())
        return false;

    // Users recorded earlier stay; a file that is not a plain file is replaced, not read.
    const QString usersPath = usersDir + QLatin1Char('/') + usersFile.fileName();
    QByteArray users;
    struct stat existing = {};
    if (::lstat(QFile::encodeName(usersPath).constData(), &existing) == 0 && S_ISREG(existing.st_mode)
        && !readWhole(usersPath, 1024 * 1024, users, problem))
        return false;
    if (m_settings.user)
        users = withUser(users, *m_settings.user);

    // The helper goes into place last: should a rename fail, the previous helper stays.
    std::vector<StagedFile> files {
        { installDir + QStringLiteral("/client.up"), clientUp, 0755, {} },
        { installDir + QStringLiteral("/client.down"), clientDown, 0755, {} },
        { usersPath, users, 0644, {} },
        { unitDir + QLatin1Char('/') + unitFile.fileName(),
            unitFromTemplate(unitTemplate, HelperOptions::installDirectory()), 0644, {} },
        { installDir + QStringLiteral("/" QUELLNET_HELPER_ID), helper, 0755, {} },
    };
    auto discard = [&files] {
        for (const StagedFile &file : files) {
            if (!file.temporary.isEmpty())
                ::unlink(file.temporary.constData());
        }
    };
    for (StagedFile &file : files) {
        if (!stage(file, problem)) {
            discard();
            return false;
        }
    }
    for (StagedFile &file : files) {
        if (::rename(file.temporary.constData(), QFile::encodeName(file.target).constData()) != 0) {
            problem = QStringLiteral("cannot replace %1: %2").arg(file.target, errnoText(errno));
            discard();
            return false;
        }
        file.temporary.clear();
    }
    for (const QString &directory : { installDir, usersDir, unitDir })
        syncDirectory(directory);

    return !root.isEmpty() || startService(problem);
}

bool InstallStep::startService(QString &problem)
{
    if (!QFileInfo::exists(QStringLiteral("/run/systemd/system"))) {
        problem = QStringLiteral("systemd does not run on this system, so the helper's service cannot be started");
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
        problem = QStringLiteral("systemctl is not installed");
        return false;
    }
    const QList<QStringList> commands {
        { QStringLiteral("daemon-reload") },
        { QStringLiteral("enable"), unitName },
        // A helper that runs already is replaced by the new one.
        { QStringLiteral("restart"), unitName },
    };
    for (const QStringList &command : commands) {
        QByteArray output;
        const int status = runProgram(
            QStringList { systemctl, QStringLiteral("--quiet"), QStringLiteral("--no-ask-password") } + command,
            output);
        if (status != 0) {
            problem = QStringLiteral("systemctl %1 failed: %2")
                          .arg(command.join(QLatin1Char(' ')),
                              output.trimmed().isEmpty() ? QStringLiteral("exit status %1").arg(status)
                                                         : QString::fromLocal8Bit(output).simplified());
            return false;
        }
    }

    // The program talks to the helper right after this step: it must be serving by then.
    const QDeadlineTimer deadline(10000);
    while (!socketAnswers(HelperOptions::defaultSocketPath())) {
        if (deadline.hasExpired()) {
            problem = QStringLiteral("the helper's service did not start serving %1 (journalctl -u %2 says why)")
                          .arg(HelperOptions::defaultSocketPath(), unitName);
            return false;
        }
        QThread::msleep(100);
    }
    return true;
}

} // namespace quellnet
