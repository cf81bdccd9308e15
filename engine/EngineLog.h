#pragma once

#include <QLoggingCategory>

namespace quellnet {

// Diagnostics of the VPN engine beyond the program's own log lines ("quellnet.engine").
// Never used for a password or for a profile's configuration text.
Q_DECLARE_LOGGING_CATEGORY(lcEngine)

} // namespace quellnet
