#include "helper/AllowedUsers.h"

#include "base/Error.h"
#include "helper/TrustedPath.h"

#include <QFile>

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellnet {

std::optional<uid_t> AllowedUsers::resolve(const QString &user)
{
    bool numeric = false;
    const qulonglong number = user.toULongLong(&numeric);
    if (numeric && !user.startsWith(QLatin1Char('+'))) {
        // (uid_t)-1 means "no user" to the kernel's calls.
        if (number >= qulonglong(uid_t(-1)))
            return std::nullopt;
        return uid_t(number);
    }
    const QByteArray name = user.toLocal8Bit();
    if (name.isEmpty() || name.contains('\0'))
        return std::nullopt;
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd *found = nullptr;
    if (::getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->pw_uid;
}

QStringList AllowedUsers::parse(const QByteArray &text)
{
    QStringList users;
    for (QByteArray line : text.split('\n')) {
        const qsizetype hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        const QByteArray user = line.trimmed();
        if (!user.isEmpty())
            users.append(QString::fromLocal8Bit(user));
    }
    return users;
}

bool AllowedUsers::readFile(const QString &path, std::set<uid_t> &uids, QStringList &skipped, QString *error)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 && errno == ENOENT)
        return true;
    const std::optional<QString> trusted = TrustedPath::resolve(path, TrustedPath::Kind::File, error);
    if (!trusted)
        return false;
    QFile file(*trusted);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
    for (const QString &user : parse(file.read(qint64 { 1024 } * 1024))) {
        if (const std::optional<uid_t> uid = resolve(user))
            uids.insert(*uid);
        else
            skipped.append(user);
    }
    return true;
}

} // namespace quellnet
