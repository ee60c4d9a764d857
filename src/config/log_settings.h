// The activity log settings of the product key, applied the same way by every program at
// start: the service before and after it reads its settings, and the configuration utility.
#pragma once

#include <string>

#include "companion/activity_log.h"
#include "companion/registry.h"

namespace kvzn::config {

// Points `log` at "LogFile" (default "KVZN.LOG"; a relative name lives in "Home") and sets
// its level to "LogLevel" (default 3). False when the file cannot be written; the log then
// keeps the file it had. `file` (when given) receives the name that was asked for.
bool ApplyLogSettings(const companion::Registry& registry, companion::ActivityLog& log,
                      std::string* file = nullptr);

}  // namespace kvzn::config
