#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <set>

#include <sys/types.h>

namespace quellnet {

// The local users, besides root, who may use the helper: given on the command line, and recorded
// in a root-owned file (one user name or uid a line, '#' starts a comment) by the install step.
class AllowedUsers
{
public:
    // The uid of a user name or a decimal uid; nothing if neither names a user.
    static std::optional<uid_t> resolve(const QString &user);

    // Reads the file's users into `uids`. A missing file adds no one and is fine; a file that
    // anyone but root could change is refused. Unknown names are reported in `skipped`.
    static bool readFile(const QString &path, std::set<uid_t> &uids, QStringList &skipped, QString *error = nullptr);

    // The users of a file's text.
    static QStringList parse(const QByteArray &text);
};

} // namespace quellnet
