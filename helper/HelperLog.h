#pragma once

#include <QLoggingCategory>
#include <QString>

namespace quellnet {

// The helper daemon's log: one line per event on standard error, which journald keeps when the
// helper runs as a service. Lines never hold a profile's content or a password.
class HelperLog
{
public:
    static void write(const QString &line);
};

// Diagnostics beyond those lines ("quellnet.helper"); never a secret or a profile's content.
Q_DECLARE_LOGGING_CATEGORY(lcHelper)

} // namespace quellnet
