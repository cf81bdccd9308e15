#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

#include <sys/types.h>

namespace quellnet {

// Reads the profile a client names, as root, without letting the client aim root at a file that
// is not its own. The path must be absolute and name a regular file that is not a symbolic link,
// is owned by the calling user and is writable by no one else. The file is opened once, without
// following a final symbolic link and without blocking, the checks are made on that open file,
// and its bytes are read from it once; nothing is read through the path again.
class ProfileIntake
{
public:
    struct Result
    {
        bool ok = false;
        QByteArray content;
        // When refused: the termination status to report (a RunStatus code) and why, for the log.
        std::int32_t status = 0;
        QString reason;
    };

    static Result read(const QString &path, uid_t caller, qsizetype maxSize);
};

} // namespace quellnet
