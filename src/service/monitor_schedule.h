// Time rules shared by the monitors: alert suppression periods, the timed start and the
// weekly time windows of recipients and alert engine entries.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvzn::platform {
class Clock;
}
namespace kvzn::companion {
class Registry;
}

namespace kvzn::service {

class ServiceContext;

// 1 when no alert was raised (lastAlertTick is 0) or when at least `periodMinutes` minutes
// have passed since lastAlertTick; otherwise 0. Both ticks are 32-bit millisecond counts,
// so a tick count that wrapped between the two still measures the real distance. A period
// too long for the counter is never elapsed. A period of 0 is always elapsed.
// @threadsafety Always (pure).
int IsIntervalElapsed(uint32_t now, uint32_t lastAlertTick, uint32_t periodMinutes);

// Whole minutes (rounded down) from clock.Now() until the local time written in `text`,
// or 0 when that time is not in the future or the text cannot be read.
// The text is read by position: "DD/MM/YYYY HH:MM" when dateFormat is 1, otherwise
// "MM/DD/YYYY HH:MM"; any separator characters are accepted, seconds count as 0 and the
// time zone rules decide on daylight saving time. A first field of 0 (or not a number)
// gives 0; a field cut short by the end of the text counts as 0.
// @threadsafety The caller holds the date and time lock.
long MinutesUntil(std::string_view text, int dateFormat, const platform::Clock& clock);

// The same with the service's "DateFormat" and clock, under the date and time lock.
// @threadsafety Always.
long MinutesUntil(ServiceContext& ctx, std::string_view text);

// 1 when the current local time lies inside the weekly window of entry `number` stored
// under `keyPath` as "<prefix>Mask<n>", "<prefix>StartTime<n>" and "<prefix>EndTime<n>",
// or when any of the three values is missing or empty; otherwise 0.
// The mask holds one character per weekday from Sunday; "1" marks a day the window
// starts on (missing characters count as "0"). Start and end are "HH:MM" local wall
// times, inclusive; a start hour after the end hour makes the window run into the next
// day, so a window that opened yesterday evening is still open this morning. Windows are
// placed on the calendar, so a daylight-saving change never moves their bounds.
// @threadsafety Always.
int IsWithinTimeWindow(const companion::Registry& registry, std::string_view keyPath,
                       std::string_view prefix, int number, const platform::Clock& clock);

// The same over the service's registry and clock.
// @threadsafety Always.
int IsWithinTimeWindow(ServiceContext& ctx, std::string_view keyPath, std::string_view prefix,
                       int number);

}  // namespace kvzn::service
