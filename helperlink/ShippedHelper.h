#pragma once

#include <QString>

#include <optional>

namespace quellnet {

// The helper daemon that ships with the program (AppPaths::shippedHelper()) and its information
// dictionary, which says which version the installed helper must report.
//
// The dictionary is what `<helper> --info` prints: the helper runs as the calling user, needs no
// privileges and touches nothing. Runs on the calling thread and waits at most timeoutMs; a helper
// that takes longer is killed.
class ShippedHelper
{
public:
    static constexpr int timeoutMs = 3000;

    // The "CFBundleVersion" string of the helper at `path`, or nothing, with `error` saying why,
    // when the information cannot be read: no such program, it fails or hangs, its output is not a
    // JSON object, or the object holds no "CFBundleVersion" string.
    static std::optional<QString> bundleVersion(const QString &path, QString *error = nullptr);
};

} // namespace quellnet
