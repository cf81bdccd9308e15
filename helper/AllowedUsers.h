#pragma once

#include <QString>
#include <QStringList>

#include <set>

#include <sys/types.h>

namespace quellnet {

// The local users, besides root, who may use the helper: given on the command line, and recorded
// in a root-owned file (one user name or uid a line, '#' starts a comment) by the install step.
class AllowedUsers
{
public:
    // A user name or a decimal uid; false if neither names a user.
    static bool resolve(const QString &user, uid_t &uid);

    // Reads the file's users into `uids`. A missing file adds no one and is fine; a file that
    // anyone but root could change is refused. Unknown names are reported in `skipped`.
    static bool readFile(const QString &path, std::set<uid_t> &uids, QStringList &skipped, QString &problem);

    // The users of a file's text.
    static QStringList parse(const QByteArray &text);
};

} // namespace quellnet
