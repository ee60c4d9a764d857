// Time rules shared by the monitors: suppression periods, timed start, weekly windows.
#include "service/monitor_schedule.h"

#include <ctime>
#include <mutex>
#include <string>

#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/clock.h"
#include "service/service_context.h"

namespace kvzn::service {

namespace {

constexpr uint64_t kMsPerMinute = 60000;
// Window texts are read into 16-byte buffers: at most 15 characters.
constexpr size_t kWindowTextBuffer = 16;

// The leading decimal number of `field` after optional blanks; 0 when there is none.
int LeadingNumber(std::string_view field) {
    size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t' || field[i] == '\n' ||
                                field[i] == '\r' || field[i] == '\v' || field[i] == '\f')) {
        ++i;
    }
    int value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
    }
    return value;
}

// The number in the `length` characters from `pos`; characters beyond the end of the
// text are absent, so a field that starts past the end is 0.
int NumberAt(std::string_view text, size_t pos, size_t length) {
    if (pos >= text.size()) {
        return 0;
    }
    return LeadingNumber(text.substr(pos, length));
}

struct HourMinute {
    int hour = 0;
    int minute = 0;
};

// "HH:MM" split at the first ':' or line feed; a missing minute counts as 0.
HourMinute ParseHourMinute(std::string_view text) {
    const size_t split = text.find_first_of(":\n");
    HourMinute result;
    result.hour = LeadingNumber(text.substr(0, split));
    if (split != std::string_view::npos) {
        result.minute = LeadingNumber(text.substr(split + 1));
    }
    return result;
}

// The local time `dayOffset` calendar days from `today` at the given wall-clock hour and
// minute (the second of `today` is kept). Days are moved on the calendar, not by 86400
// seconds, so a daylight-saving change in between does not shift the result.
// `placed` receives the normalised broken-down time.
std::time_t LocalTimeOn(const std::tm& today, int dayOffset, HourMinute at, std::tm& placed) {
    placed = today;
    placed.tm_mday += dayOffset;
    placed.tm_hour = at.hour;
    placed.tm_min = at.minute;
    placed.tm_isdst = -1;
    return std::mktime(&placed);
}

bool MaskMarks(std::string_view mask, int weekday) {
    return weekday >= 0 && static_cast<size_t>(weekday) < mask.size() && mask[weekday] == '1';
}

// Reads one window text; false when it is missing or empty.
bool ReadWindowText(const companion::Registry& registry, std::string_view keyPath,
                    const char* format, int number, std::string_view prefix, std::string& out) {
    return registry.ReadText(keyPath, config::Numbered(format, number, prefix), out,
                             kWindowTextBuffer) == 0 &&
           !out.empty();
}

}  // namespace

int IsIntervalElapsed(uint32_t now, uint32_t lastAlertTick, uint32_t periodMinutes) {
    if (lastAlertTick == 0) {
        return 1;
    }
    const uint32_t elapsed = now - lastAlertTick;
    return uint64_t{elapsed} >= uint64_t{periodMinutes} * kMsPerMinute ? 1 : 0;
}

long MinutesUntil(std::string_view text, int dateFormat, const platform::Clock& clock) {
    const int first = NumberAt(text, 0, 2);
    if (first == 0) {
        return 0;
    }
    const int second = NumberAt(text, 3, 2);
    std::tm target{};
    target.tm_mday = dateFormat == 1 ? first : second;
    target.tm_mon = (dateFormat == 1 ? second : first) - 1;
    target.tm_year = NumberAt(text, 6, 4) - 1900;
    target.tm_hour = NumberAt(text, 11, 2);
    target.tm_min = NumberAt(text, 14, 2);
    target.tm_sec = 0;
    target.tm_isdst = -1;
    const std::time_t when = std::mktime(&target);
    if (when == static_cast<std::time_t>(-1)) {
        return 0;
    }
    const std::time_t now = clock.Now();
    return when > now ? static_cast<long>((when - now) / 60) : 0;
}

long MinutesUntil(ServiceContext& ctx, std::string_view text) {
    std::scoped_lock lock(ctx.locks.dateTime);
    return MinutesUntil(text, ctx.DateFormat(), ctx.clock);
}

int IsWithinTimeWindow(const companion::Registry& registry, std::string_view keyPath,
                       std::string_view prefix, int number, const platform::Clock& clock) {
    std::string mask;
    std::string startText;
    std::string endText;
    if (!ReadWindowText(registry, keyPath, config::contacts::kWindowMask, number, prefix, mask) ||
        !ReadWindowText(registry, keyPath, config::contacts::kWindowStartTime, number, prefix,
                        startText) ||
        !ReadWindowText(registry, keyPath, config::contacts::kWindowEndTime, number, prefix,
                        endText)) {
        return 1;
    }
    const HourMinute start = ParseHourMinute(startText);
    const HourMinute end = ParseHourMinute(endText);
    // Only the hours decide whether the window runs into the next day.
    const int endDay = start.hour > end.hour ? 1 : 0;

    const std::time_t now = clock.Now();
    std::tm today{};
    localtime_r(&now, &today);

    std::tm placed{};
    std::time_t from = LocalTimeOn(today, 0, start, placed);
    std::time_t to = LocalTimeOn(today, endDay, end, placed);
    if (MaskMarks(mask, today.tm_wday) && from <= now && now <= to) {
        return 1;
    }

    // The window that started yesterday, still open after midnight.
    std::tm yesterdayStart{};
    from = LocalTimeOn(today, -1, start, yesterdayStart);
    to = LocalTimeOn(today, endDay - 1, end, placed);
    return MaskMarks(mask, yesterdayStart.tm_wday) && from <= now && now <= to ? 1 : 0;
}

int IsWithinTimeWindow(ServiceContext& ctx, std::string_view keyPath, std::string_view prefix,
                       int number) {
    return IsWithinTimeWindow(ctx.registry, keyPath, prefix, number, ctx.clock);
}

}  // namespace kvzn::service
