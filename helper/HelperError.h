#pragma once

#include <QString>

namespace quellnet {

// The program's error convention (base/Error.h), here for the helper, which shares nothing with the
// client but the wire format: an operation that can fail returns false (or an empty optional) and
// takes `QString *error = nullptr` last, filled with a reason for the helper's log. errno values
// become text through qt_error_string().
//
// For the failure path: stores `why` when the caller asked for it, and returns false.
inline bool failWith(QString *error, const QString &why)
{
    if (error != nullptr)
        *error = why;
    return false;
}

} // namespace quellnet
