#include "engine/EngineLog.h"

namespace quellnet {

Q_LOGGING_CATEGORY(lcEngine, "quellnet.engine", QtInfoMsg)

} // namespace quellnet
