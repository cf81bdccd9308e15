#pragma once

#include <QString>

namespace quellnet {

// The error convention of every operation that can fail: it returns false (or an empty optional
// when it yields a value) and takes `QString *error = nullptr` as its last parameter, which it
// fills with a reason for a person to read. errno values become text through qt_error_string().
//
// For the failure path: stores `why` when the caller asked for it, and returns false.
inline bool failWith(QString *error, const QString &why)
{
    if (error != nullptr)
        *error = why;
    return false;
}

} // namespace quellnet
