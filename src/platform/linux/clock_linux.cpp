// The system clock over CLOCK_BOOTTIME (tick and uptime) and CLOCK_REALTIME.
#include <time.h>

#include <thread>

#include "platform/clock.h"

namespace kvzn::platform {

namespace {

class LinuxClock final : public Clock {
  public:
    uint32_t TickCount() const override {
        return static_cast<uint32_t>(BootMilliseconds());  // wraps like a 32-bit counter
    }
    uint64_t UptimeSeconds() const override { return BootMilliseconds() / 1000; }
    std::time_t Now() const override { return ::time(nullptr); }
    void SleepMs(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    bool SleepUnlessSet(const Event& event, uint32_t ms) override {
        return event.WaitFor(std::chrono::milliseconds(ms));
    }

  private:
    static uint64_t BootMilliseconds() {
        timespec ts{};
        ::clock_gettime(CLOCK_BOOTTIME, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000u +
               static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    }
};

}  // namespace

std::tm Clock::LocalNow() const {
    std::tm tm{};
    const std::time_t now = Now();
    ::localtime_r(&now, &tm);
    return tm;
}

Clock& SystemClock() {
    static LinuxClock clock;
    return clock;
}

}  // namespace kvzn::platform
