#pragma once

#include <QString>

namespace quellnet {

// The helper daemon's log: one line per event on standard error, which journald keeps when the
// helper runs as a service. Lines never hold a profile's content or a password.
class HelperLog
{
public:
    static void write(const QString &line);
};

} // namespace quellnet
