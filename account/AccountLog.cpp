#include "account/AccountLog.h"

namespace quellnet {

Q_LOGGING_CATEGORY(lcAccount, "quellnet.account", QtInfoMsg)

} // namespace quellnet
