#pragma once

#include <QString>

#include <optional>

namespace quellnet {

// Checks that a file the helper runs or reads as root cannot be changed by anyone but root: the
// file itself and every directory above it are owned by root and writable by no one else (a
// sticky directory such as /tmp is fine, since no one else can replace root's entries there).
// The path is resolved first, and the resolved path is what the caller should use from then on.
class TrustedPath
{
public:
    enum class Kind { File, Executable, Directory };

    // The resolved absolute path, or nothing with `error` saying why it is not trusted.
    static std::optional<QString> resolve(const QString &path, Kind kind, QString *error = nullptr);

    // Only checks that `directory` (resolved) and the directories above it cannot be changed by
    // anyone but root; used for where the helper's socket lives.
    static bool directoryIsTrusted(const QString &directory, QString *error = nullptr);
};

} // namespace quellnet
