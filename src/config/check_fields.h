// The fields every check entry shares, and the once-per-process date order.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "companion/registry.h"

namespace kvzn::config {

// Response code that restarts the server; it sets the check's restart flag.
inline constexpr uint32_t kActionRebootServer = 2;

struct CommonCheckFields {
    bool enabled = false;                // "Enabled" = 1
    uint32_t alertLevel = 0;             // one-bit level mask; 1023 = every level
    uint32_t actionToTake = 0;           // response code
    uint32_t countBeforeAction = 0;      // failures tolerated before acting
    uint32_t nonNotificationPeriod = 0;  // minutes without evaluation after an alert
    std::string command;                 // up to 255 characters
    uint32_t threshold = 0;
    std::string name;  // custom entries, up to 255 characters
    std::string displayName;
    bool restart = false;  // "ActionToTake" is 2
};

// Reads the common fields of the check entry at `key`; missing values keep the defaults.
CommonCheckFields ReadCommonCheckFields(const companion::Registry& registry, std::string_view key);

// "DateFormat": 1 day/month/year, 2 month/day/year; missing or 0 counts as 1 (other values
// are kept: readers test for 1). A reader reads it at its first use and keeps it.
// @threadsafety Always.
class DateFormatSetting {
  public:
    int Get(const companion::Registry& registry);

  private:
    std::once_flag once_;
    std::atomic<int> value_{1};
};

}  // namespace kvzn::config
