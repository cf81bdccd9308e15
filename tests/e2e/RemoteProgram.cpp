#include "tests/e2e/RemoteProgram.h"

#include "account/Constant.h"
#include "base/Error.h"
#include "tests/support/Waiting.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <cerrno>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellnet::test {

namespace {

bool run(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    return failWith(error,
        QStringLiteral("%1 %2 failed: %3")
            .arg(program, arguments.join(u' '), QString::fromLocal8Bit(process.readAll()).trimmed()));
}

} // namespace

bool RemoteProgram::stage(const QString &dir, QString *error)
{
    return run(QStringLiteral("/bin/sh"),
        { QStringLiteral("-ec"),
            QStringLiteral("mkdir -p \"$1/bin\" \"$1/share\" \"$1/lib\"; cp -- \"$2\" \"$1/bin/\"; "
                           "cp -R -- \"$3/share/quellnet\" \"$1/share/\"; cp -R -- \"$3/lib/quellnet\" \"$1/lib/\"; "
                           "if [ -n \"$4\" ]; then mkdir -p \"$1/share/quellnet-e2e\"; "
                           "cp -- \"$4\" \"$1/share/quellnet-e2e/ca.crt\"; fi; chmod -R a+rX -- \"$1\""),
            QStringLiteral("sh"), dir, QStringLiteral(QUELLNET_E2E_PROGRAM), QStringLiteral(QUELLNET_BUILD_PREFIX),
            Constant::extraCACertificate() },
        error);
}

bool RemoteProgram::makeHome(
    const QString &home, uid_t uid, const QString &email, const QString &password, QString *error)
{
    const QString settings = home + QStringLiteral("/config/quellnet/quellnet.conf");
    if (!QDir().mkpath(home + QStringLiteral("/config/quellnet")) || !QDir().mkpath(home + QStringLiteral("/runtime")))
        return failWith(error, QStringLiteral("cannot make %1").arg(home));
    if (!email.isEmpty()) {
        QSettings remembered(settings, QSettings::IniFormat);
        remembered.setValue(QStringLiteral("email"), email);
        remembered.setValue(QStringLiteral("password"), password);
        remembered.sync();
        if (remembered.status() != QSettings::NoError)
            return failWith(error, QStringLiteral("cannot write %1").arg(settings));
    }
    return run(QStringLiteral("/bin/sh"),
        { QStringLiteral("-ec"), QStringLiteral("chown -R \"$1\" -- \"$2\"; chmod -R go-rwx -- \"$2\""),
            QStringLiteral("sh"), QStringLiteral("%1:%2").arg(uid).arg(Identity::of(uid).gid), home },
        error);
}

RemoteProgram::RemoteProgram(const QString &stageDir, const QString &home, uid_t uid)
    : m_identity(Identity::of(uid)), m_environment(QProcessEnvironment::systemEnvironment())
{
    setProgram(stageDir + QStringLiteral("/bin/quellnet-e2e-program"));
    setWorkingDirectory(home);
    m_environment.insert(QStringLiteral("HOME"), home);
    m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    m_environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_environment.remove(QStringLiteral("QUELLNET_E2E_CLICK_AT_LAUNCH"));
}

RemoteProgram::~RemoteProgram()
{
    if (state() != NotRunning) {
        kill();
        waitForFinished(5000);
    }
    if (!m_tmpMountPoint.isEmpty())
        ::rmdir(m_tmpMountPoint.constData());
}

void RemoteProgram::setEnvironmentValue(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

void RemoteProgram::usePrivateTmp(const QStringList &kept)
{
    m_privateTmp = true;
    m_kept = kept;
}

QString RemoteProgram::tmpPath(const QString &name) const
{
    return QStringLiteral("/proc/%1/root/tmp/%2").arg(processId()).arg(name);
}

bool RemoteProgram::launch(QString *error)
{
    // What the child does between fork and exec is prepared here: it may only make system calls. The
    // new /tmp is mounted on a folder of its own first, the folders to keep are bound into it, and
    // then it is moved onto /tmp.
    QByteArrayList folders;
    QByteArrayList bindSources;
    QByteArrayList bindTargets;
    if (m_privateTmp && m_tmpMountPoint.isEmpty()) {
        QByteArray pattern = "/tmp/quellnet-e2e-tmp-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            return failWith(error, QStringLiteral("cannot make a mount point: %1").arg(qt_error_string(errno)));
        m_tmpMountPoint = pattern;
    }
    for (const QString &path : std::as_const(m_kept)) {
        const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
        if (!native.startsWith("/tmp/"))
            continue;
        const QByteArray inside = m_tmpMountPoint + native.mid(4);
        for (qsizetype slash = inside.indexOf('/', m_tmpMountPoint.size() + 1); slash >= 0;
             slash = inside.indexOf('/', slash + 1))
            folders.append(inside.left(slash));
        folders.append(inside);
        bindSources.append(native);
        bindTargets.append(inside);
    }
    // The user's identity was looked up before: after fork only plain system calls are safe.
    setChildProcessModifier([uid = m_identity.uid, gid = m_identity.gid, groups = m_identity.groups,
                                mountPoint = m_tmpMountPoint, folders, bindSources, bindTargets] {
        if (!mountPoint.isEmpty()) {
            bool ok = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                && ::mount("qn-e2e-tmp", mountPoint.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
            for (const QByteArray &folder : folders)
                ok = ok && (::mkdir(folder.constData(), 0755) == 0 || errno == EEXIST);
            for (qsizetype i = 0; i < bindSources.size(); ++i)
                ok = ok
                    && ::mount(
                           bindSources[i].constData(), bindTargets[i].constData(), nullptr, MS_BIND | MS_REC, nullptr)
                        == 0;
            if (!ok || ::mount(mountPoint.constData(), "/tmp", nullptr, MS_MOVE, nullptr) != 0)
                ::_exit(125);
        }
        if (uid == 0)
            return;
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(126);
    });
    setProcessEnvironment(m_environment);
    start();
    return waitForStarted(10000)
        || failWith(error, QStringLiteral("cannot start %1: %2").arg(program(), errorString()));
}

void RemoteProgram::command(const QByteArray &line)
{
    write(line + '\n');
}

void RemoteProgram::takeOutput()
{
    m_standardOutput += readAllStandardOutput();
    m_partialLine += readAllStandardError();
    for (qsizetype end = m_partialLine.indexOf('\n'); end >= 0; end = m_partialLine.indexOf('\n')) {
        const QString line = QString::fromUtf8(m_partialLine.left(end));
        m_partialLine.remove(0, end + 1);
        if (!line.startsWith(QLatin1String("@e2e "))) {
            m_logLines.append(line);
            continue;
        }
        // "@e2e <ms> <kind> <detail>"
        const QStringList parts = line.mid(5).split(u' ');
        Event event;
        event.ms = parts.value(0).toLongLong();
        event.kind = parts.value(1);
        event.detail = parts.mid(2).join(u' ');
        m_events.append(event);
    }
}

std::optional<RemoteProgram::Event> RemoteProgram::waitFor(
    const QString &kind, const QString &detail, int timeoutMs, int from)
{
    std::optional<Event> found;
    waitUntil(
        [&] {
            takeOutput();
            for (qsizetype i = from; i < m_events.size() && !found; ++i) {
                if (m_events[i].kind == kind && (detail.isNull() || m_events[i].detail == detail))
                    found = m_events[i];
            }
            return found.has_value() || state() == NotRunning;
        },
        timeoutMs);
    takeOutput();
    return found;
}

QList<RemoteProgram::Event> RemoteProgram::events()
{
    takeOutput();
    return m_events;
}

QStringList RemoteProgram::logLines()
{
    takeOutput();
    return m_logLines;
}

QByteArray RemoteProgram::standardOutput()
{
    takeOutput();
    return m_standardOutput;
}

bool RemoteProgram::quit(int timeoutMs)
{
    command("quit");
    const bool ended = waitUntil([this] { return state() == NotRunning; }, timeoutMs);
    takeOutput();
    return ended && exitStatus() == NormalExit && exitCode() == 0;
}

} // namespace quellnet::test
