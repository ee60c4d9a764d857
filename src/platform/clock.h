// The injectable clock: tick count, uptime, wall time and sleeping.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "platform/event.h"

namespace kvzn::platform {

// Every time-dependent rule asks this interface, never the system directly, so that tests
// can drive the 32-bit tick wrap, long waits and daylight-saving days.
// @threadsafety All members may be called from any thread.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since boot as a 32-bit value: wraps to 0 after about 49.7 days.
    virtual uint32_t TickCount() const = 0;
    // Whole seconds since boot, 64 bits: never wraps.
    virtual uint64_t UptimeSeconds() const = 0;
    // Wall time in seconds since the epoch.
    virtual std::time_t Now() const = 0;
    // Sleeps for the given milliseconds (a fake clock advances instead).
    virtual void SleepMs(uint32_t ms) = 0;
    // Sleeps as SleepMs, ending early when `event` is set; true when it is set.
    virtual bool SleepUnlessSet(const Event& event, uint32_t ms) = 0;

    // Local broken-down time of Now() (process time zone, TZ honoured).
    std::tm LocalNow() const;
};

// The process clock over CLOCK_BOOTTIME and CLOCK_REALTIME.
Clock& SystemClock();

}  // namespace kvzn::platform
