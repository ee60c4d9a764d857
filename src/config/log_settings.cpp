// The activity log settings of the product key.
#include "config/log_settings.h"

#include "config/registry_names.h"

namespace kvzn::config {

bool ApplyLogSettings(const companion::Registry& registry, companion::ActivityLog& log,
                      std::string* file) {
    std::string name = companion::ActivityLog::kDefaultFileName;
    uint32_t level = 3;
    std::string home;
    registry.ReadText(kProductKey, value::kLogFile, name, 261);
    registry.ReadNumber(kProductKey, value::kLogLevel, level);
    if (registry.ReadText(kProductKey, value::kHome, home) == 0) {
        log.SetBaseDirectory(home);
    }
    log.SetLevel(static_cast<int>(level));
    const bool usable = log.SetFile(name);
    if (file != nullptr) {
        *file = std::move(name);
    }
    return usable;
}

}  // namespace kvzn::config
