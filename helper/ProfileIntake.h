#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

#include <sys/types.h>

namespace quellnet {

// Who asked, as the kernel reported it when the caller connected: the identity the helper takes
// on to open the caller's files.
struct CallerIdentity
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

// Reads the profile a client names with the caller's own file system identity (uid, gid and
// groups), so that the helper opens nothing the caller could not open itself and its answer says
// nothing about files the caller cannot reach: a path the caller may not search or read is
// "cannot be opened" whether or not it exists. The path must be absolute and name a regular file
// that is not a symbolic link, is owned by the caller and is writable by no one else. The file is
// opened once, without following a final symbolic link and without blocking (a FIFO or a device
// never holds the helper up), the checks are made on that open file, and its bytes are read from
// it once; nothing is read through the path again.
//
// Switches the calling thread's file system identity for the duration and back; the helper is
// single-threaded, and no other thread's identity changes.
class ProfileIntake
{
public:
    // The profile's bytes, or nothing with `status` (a RunStatus code) and `error` (for the log)
    // saying why.
    static std::optional<QByteArray> read(const QString &path, const CallerIdentity &caller, qsizetype maxSize,
        std::int32_t *status = nullptr, QString *error = nullptr);
};

} // namespace quellnet
