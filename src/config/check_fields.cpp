// The fields every check entry shares, and the once-per-process date order.
#include "config/check_fields.h"

#include "config/registry_names.h"

namespace kvzn::config {

CommonCheckFields ReadCommonCheckFields(const companion::Registry& registry, std::string_view key) {
    CommonCheckFields f;
    uint32_t enabled = 0;
    f.enabled = registry.ReadFlag(key, check::kEnabled, enabled) == 0 && enabled == 1;
    registry.ReadNumber(key, check::kAlertLevel, f.alertLevel);
    registry.ReadNumber(key, check::kActionToTake, f.actionToTake);
    registry.ReadNumber(key, check::kCountBeforeAction, f.countBeforeAction);
    registry.ReadNumber(key, check::kNonNotificationPeriod, f.nonNotificationPeriod);
    registry.ReadText(key, check::kCommand, f.command, 256);
    registry.ReadNumber(key, check::kThreshold, f.threshold);
    registry.ReadText(key, check::kName, f.name, 256);
    registry.ReadText(key, check::kDisplayName, f.displayName, 256);
    f.restart = f.actionToTake == kActionRebootServer;
    return f;
}

int DateFormatSetting::Get(const companion::Registry& registry) {
    std::call_once(once_, [&] {
        uint32_t format = 1;
        registry.ReadNumber(kProductKey, value::kDateFormat, format);
        value_ = format == 0 ? 1 : static_cast<int>(format);
    });
    return value_.load();
}

}  // namespace kvzn::config
