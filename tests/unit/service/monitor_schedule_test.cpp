// Suppression periods, timed start and weekly windows, on a fake clock and fixed time zones.
#include "service/monitor_schedule.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/config_store.h"
#include "platform/fake/fake_clock.h"
#include "platform/service_status.h"
#include "service/service_context.h"
#include "service/status_reporter.h"
#include "support/test_support.h"

namespace kvzn::service {
namespace {

// Sets TZ for the life of the object and makes the C library notice both changes.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) {
        env_.emplace("TZ", tz);
        tzset();
    }
    ~ScopedTimeZone() {
        env_.reset();
        tzset();
    }

  private:
    std::optional<test::ScopedEnv> env_;
};

// Expected instants are written as UTC plus the zone's offset, independent of mktime.
std::time_t Utc(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

// Local wall time in a zone `offsetHours` east of UTC.
std::time_t Local(int offsetHours, int year, int month, int day, int hour, int minute,
                  int second = 0) {
    return Utc(year, month, day, hour, minute, second) - offsetHours * 3600;
}

// "JST-9": nine hours east of UTC, no daylight saving. Far enough from UTC that local and
// UTC weekdays differ for part of every day.
constexpr const char* kJapan = "JST-9";
std::time_t Jst(int month, int day, int hour, int minute, int second = 0) {
    return Local(9, 2026, month, day, hour, minute, second);
}
constexpr int kGmt = 0;
constexpr int kBst = 1;

class NullNotifier : public platform::StatusNotifier {
  public:
    platform::Status Notify(platform::ServiceStatusState, uint32_t, uint32_t, uint32_t) override {
        return platform::Status::Ok();
    }
};

// ---------------------------------------------------------------------------------------

TEST(IntervalElapsedTest, Table) {
    constexpr uint32_t kNearTop = 4294937295u;  // 30001 ms before the counter wraps
    struct Case {
        const char* name;
        uint32_t now;
        uint32_t last;
        uint32_t period;
        int expected;
    };
    const Case cases[] = {
        {"no alert raised yet", 5000, 0, 15, 1},
        {"1 ms before the period ends", 1000 + 900000 - 1, 1000, 15, 0},
        {"exactly at the period", 1000 + 900000, 1000, 15, 1},
        {"well after the period", 1000 + 5000000, 1000, 15, 1},
        {"period 0 right after the alert", 1000, 1000, 0, 1},
        {"across the wrap, 1 ms short", 29998, kNearTop, 1, 0},
        {"across the wrap, exactly at", 29999, kNearTop, 1, 1},
        {"across the wrap, after", 500000, kNearTop, 1, 1},
        {"product beyond 32 bits does not wrap small", 1000 + 20000, 1000, 71583, 0},
        {"largest period never elapses", 0, 1, 0xFFFFFFFFu, 0},
        {"largest period fitting the counter", 0, 1, 71582, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsIntervalElapsed(c.now, c.last, c.period), c.expected) << c.name;
    }
}

// ---------------------------------------------------------------------------------------

TEST(MinutesUntilTest, ReadsFieldsByPositionInEitherDateOrder) {
    ScopedTimeZone tz(kJapan);
    platform::FakeClock clock(Jst(3, 10, 12, 0));
    // The text parts beyond its length hold digits: a reader that ran past the end of the
    // view would find a minute of 45 there.
    const std::string cutSource = "10/03/2026 13:45";
    struct Case {
        const char* name;
        std::string_view text;
        int dateFormat;
        long expected;
    };
    const Case cases[] = {
        {"ten minutes ahead, day first", "10/03/2026 12:10", 1, 10},
        {"ten minutes ahead, month first", "03/10/2026 12:10", 2, 10},
        {"day-first text read month first", "10/03/2026 12:10", 2, 207 * 1440 + 10},
        {"any separators", "10-03-2026T12.10", 1, 10},
        {"exactly now", "10/03/2026 12:00", 1, 0},
        {"in the past", "09/03/2026 12:10", 1, 0},
        {"empty text", "", 1, 0},
        {"first field 00 (day 0 would be 31 March)", "00/04/2026 12:10", 1, 0},
        {"first field 00 month first", "00/10/2027 12:10", 2, 0},
        {"first field not a number", "xx/04/2026 12:10", 1, 0},
        {"plain words", "tomorrow", 1, 0},
        {"hour not a number counts as 0", "11/03/2026 xx:10", 1, 12 * 60 + 10},
        {"date only means midnight", "11/03/2026", 1, 12 * 60},
        {"hour without minute", "10/03/2026 13", 1, 60},
        {"view cut after the hour", std::string_view(cutSource).substr(0, 13), 1, 60},
        {"cut inside the year", "11/03/20", 1, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MinutesUntil(c.text, c.dateFormat, clock), c.expected) << c.name;
    }
}

TEST(MinutesUntilTest, RoundsPartMinutesDown) {
    ScopedTimeZone tz(kJapan);
    platform::FakeClock clock(Jst(3, 10, 11, 59, 1));
    EXPECT_EQ(MinutesUntil("10/03/2026 12:00", 1, clock), 0);
    EXPECT_EQ(MinutesUntil("10/03/2026 12:10", 1, clock), 10);
}

TEST(MinutesUntilTest, CountsElapsedMinutesAcrossDaylightSavingChanges) {
    ScopedTimeZone tz("Europe/London");
    // Spring: 00:30 GMT to 03:00 BST is 90 minutes, not the 150 the clock face shows.
    platform::FakeClock spring(Local(kGmt, 2026, 3, 29, 0, 30));
    EXPECT_EQ(MinutesUntil("29/03/2026 03:00", 1, spring), 90);
    // Autumn: 00:30 BST to 03:00 GMT is 210 minutes.
    platform::FakeClock autumn(Local(kBst, 2026, 10, 25, 0, 30));
    EXPECT_EQ(MinutesUntil("25/10/2026 03:00", 1, autumn), 210);
}

TEST(MinutesUntilTest, ServiceOverloadUsesTheStoredDateOrder) {
    ScopedTimeZone tz(kJapan);
    companion::Registry registry(platform::MakeMemoryStore());
    ASSERT_EQ(registry.WriteNumber(config::kProductKey, config::value::kDateFormat, 2), 0);
    platform::FakeClock clock(Jst(3, 10, 12, 0));
    NullNotifier notifier;
    StatusReporter status(notifier);
    ServiceContext ctx(registry, clock, status);
    EXPECT_EQ(MinutesUntil(ctx, "03/10/2026 12:10"), 10);
    // The date and time lock is released again.
    EXPECT_TRUE(ctx.locks.dateTime.try_lock());
    ctx.locks.dateTime.unlock();
}

// ---------------------------------------------------------------------------------------

constexpr const char* kKey = "Software\\Test\\Recipients";

struct Window {
    std::optional<std::string> mask;
    std::optional<std::string> start;
    std::optional<std::string> end;
};

// Stores the window as entry 3 of the "Email" prefix.
void StoreWindow(companion::Registry& registry, const Window& window) {
    registry.DeleteKey(kKey);
    if (window.mask) {
        ASSERT_EQ(registry.WriteText(kKey, "EmailMask3", *window.mask), 0);
    }
    if (window.start) {
        ASSERT_EQ(registry.WriteText(kKey, "EmailStartTime3", *window.start), 0);
    }
    if (window.end) {
        ASSERT_EQ(registry.WriteText(kKey, "EmailEndTime3", *window.end), 0);
    }
}

struct WindowCase {
    const char* name;
    Window window;
    std::time_t now;
    int expected;
};

void ExpectWindows(const WindowCase* begin, const WindowCase* end) {
    companion::Registry registry(platform::MakeMemoryStore());
    platform::FakeClock clock;
    for (const WindowCase* c = begin; c != end; ++c) {
        StoreWindow(registry, c->window);
        clock.SetNow(c->now);
        EXPECT_EQ(IsWithinTimeWindow(registry, kKey, "Email", 3, clock), c->expected) << c->name;
    }
}

TEST(TimeWindowTest, WeeklyWindowsInLocalTime) {
    ScopedTimeZone tz(kJapan);
    const Window office{"0111110", "08:00", "18:00"};
    const Window fridayNight{"0000010", "22:00", "06:00"};
    const Window empty{"1111111", "10:30", "10:10"};
    const Window shortMask{"11", "08:00", "18:00"};
    const Window shortMaskNight{"11", "22:00", "06:00"};
    // 2026-03-02 is a Monday, 2026-03-06 a Friday.
    const WindowCase cases[] = {
        {"office: Monday 08:00 opens", office, Jst(3, 2, 8, 0), 1},
        {"office: Wednesday 18:00 still open", office, Jst(3, 4, 18, 0), 1},
        {"office: Monday 07:59 closed", office, Jst(3, 2, 7, 59), 0},
        {"office: Friday 18:01 closed", office, Jst(3, 6, 18, 1), 0},
        {"office: Saturday noon closed", office, Jst(3, 7, 12, 0), 0},
        {"office: Sunday noon closed", office, Jst(3, 8, 12, 0), 0},
        {"friday night: Friday 22:00 opens", fridayNight, Jst(3, 6, 22, 0), 1},
        {"friday night: Saturday 05:59 open", fridayNight, Jst(3, 7, 5, 59), 1},
        {"friday night: Friday 05:00 closed", fridayNight, Jst(3, 6, 5, 0), 0},
        {"friday night: Friday 21:59 closed", fridayNight, Jst(3, 6, 21, 59), 0},
        {"friday night: Saturday 06:01 closed", fridayNight, Jst(3, 7, 6, 1), 0},
        {"friday night: Saturday 22:30 closed", fridayNight, Jst(3, 7, 22, 30), 0},
        {"10:30-10:10: 10:05 closed", empty, Jst(3, 4, 10, 5), 0},
        {"10:30-10:10: 10:20 closed", empty, Jst(3, 4, 10, 20), 0},
        {"10:30-10:10: 10:40 closed", empty, Jst(3, 4, 10, 40), 0},
        {"mask \"11\": Monday noon open", shortMask, Jst(3, 2, 12, 0), 1},
        {"mask \"11\": Tuesday noon closed", shortMask, Jst(3, 3, 12, 0), 0},
        {"mask \"11\": Saturday noon closed", shortMask, Jst(3, 7, 12, 0), 0},
        {"mask \"11\": Tuesday 05:00 in Monday's night", shortMaskNight, Jst(3, 3, 5, 0), 1},
        {"mask \"11\": Sunday 05:00 after Saturday", shortMaskNight, Jst(3, 8, 5, 0), 0},
        {"start 08\n30: 08:29 closed", {"1111111", "08\n30", "18:00"}, Jst(3, 2, 8, 29), 0},
        {"hour without minutes", {"1111111", "8", "9"}, Jst(3, 2, 8, 0), 1},
        {"no mask", {std::nullopt, "08:00", "09:00"}, Jst(3, 8, 12, 0), 1},
        {"no start", {"0000000", std::nullopt, "09:00"}, Jst(3, 8, 12, 0), 1},
        {"no end", {"0000000", "08:00", std::nullopt}, Jst(3, 8, 12, 0), 1},
        {"empty mask", {"", "08:00", "09:00"}, Jst(3, 8, 12, 0), 1},
        {"empty end", {"0000000", "08:00", ""}, Jst(3, 8, 12, 0), 1},
        {"nothing stored", {}, Jst(3, 8, 12, 0), 1},
        {"no day ticked", {"0000000", "00:00", "00:00"}, Jst(3, 8, 0, 0), 0},
    };
    ExpectWindows(std::begin(cases), std::end(cases));
}

TEST(TimeWindowTest, DaylightSavingNightsKeepWallClockBounds) {
    ScopedTimeZone tz("Europe/London");
    const Window nightly{"1111111", "22:00", "06:00"};
    const Window toHalfPast{"1111111", "22:00", "00:30"};
    const Window saturday{"0000001", "23:00", "06:00"};
    // Clocks go forward at 01:00 GMT on Sunday 29 March 2026 and back at 02:00 BST on
    // Sunday 25 October 2026.
    const WindowCase cases[] = {
        {"spring: Saturday 22:30 GMT open", nightly, Local(kGmt, 2026, 3, 28, 22, 30), 1},
        {"spring: Saturday 21:59 GMT closed", nightly, Local(kGmt, 2026, 3, 28, 21, 59), 0},
        {"spring: Sunday 05:30 BST open", nightly, Local(kBst, 2026, 3, 29, 5, 30), 1},
        {"spring: Sunday 06:30 BST closed", nightly, Local(kBst, 2026, 3, 29, 6, 30), 0},
        {"spring: Sunday 21:59 BST closed", nightly, Local(kBst, 2026, 3, 29, 21, 59), 0},
        {"spring: Sunday 22:00 BST opens", nightly, Local(kBst, 2026, 3, 29, 22, 0), 1},
        {"spring: 00:15 GMT before end 00:30", toHalfPast, Local(kGmt, 2026, 3, 29, 0, 15), 1},
        {"spring: 00:45 GMT after end 00:30", toHalfPast, Local(kGmt, 2026, 3, 29, 0, 45), 0},
        {"autumn: Saturday 22:30 BST open", nightly, Local(kBst, 2026, 10, 24, 22, 30), 1},
        {"autumn: Sunday 05:30 GMT open", nightly, Local(kGmt, 2026, 10, 25, 5, 30), 1},
        {"autumn: Sunday 06:30 GMT closed", nightly, Local(kGmt, 2026, 10, 25, 6, 30), 0},
        {"autumn: Sunday 21:30 GMT closed", nightly, Local(kGmt, 2026, 10, 25, 21, 30), 0},
        {"autumn: Sunday 22:00 GMT opens", nightly, Local(kGmt, 2026, 10, 25, 22, 0), 1},
        {"autumn: Saturday's, 00:30 BST open", saturday, Local(kBst, 2026, 10, 25, 0, 30), 1},
        {"autumn: Saturday's, 03:00 GMT open", saturday, Local(kGmt, 2026, 10, 25, 3, 0), 1},
        {"autumn: Saturday's, 06:01 GMT closed", saturday, Local(kGmt, 2026, 10, 25, 6, 1), 0},
    };
    ExpectWindows(std::begin(cases), std::end(cases));
}

TEST(TimeWindowTest, ServiceOverloadReadsTheServiceRegistry) {
    ScopedTimeZone tz(kJapan);
    companion::Registry registry(platform::MakeMemoryStore());
    StoreWindow(registry, {"0000010", "22:00", "06:00"});
    platform::FakeClock clock(Jst(3, 7, 5, 59));
    NullNotifier notifier;
    StatusReporter status(notifier);
    ServiceContext ctx(registry, clock, status);
    EXPECT_EQ(IsWithinTimeWindow(ctx, kKey, "Email", 3), 1);
    clock.SetNow(Jst(3, 7, 6, 1));
    EXPECT_EQ(IsWithinTimeWindow(ctx, kKey, "Email", 3), 0);
}

}  // namespace
}  // namespace kvzn::service
