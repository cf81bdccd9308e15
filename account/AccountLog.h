#pragma once

#include <QLoggingCategory>

namespace quellnet {

// Diagnostics of the account requests and the connect flow ("quellnet.account"): failures at info
// level, the steps of a sign-in at debug level (off unless enabled, e.g. with
// QT_LOGGING_RULES="quellnet.*.debug=true"). Never a password, a token or a profile's text.
Q_DECLARE_LOGGING_CATEGORY(lcAccount)

} // namespace quellnet
