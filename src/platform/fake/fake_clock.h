// A clock that tests set and advance by hand.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "platform/clock.h"

namespace kvzn::platform {

// Tick, uptime and wall time move only when the test says so; SleepMs advances all three
// instead of sleeping, so code that sleeps in a loop runs at once.
// @threadsafety Always.
class FakeClock final : public Clock {
  public:
    FakeClock(std::time_t now = 1767225600 /* 2026-01-01 00:00:00 UTC */,
              uint64_t uptimeMs = 3600000)
        : now_(now), uptimeMs_(uptimeMs) {}
    uint32_t TickCount() const override { return static_cast<uint32_t>(uptimeMs_.load()); }
    uint64_t UptimeSeconds() const override { return uptimeMs_.load() / 1000; }
    std::time_t Now() const override { return now_.load(); }
    void SleepMs(uint32_t ms) override {
        slept_ += ms;
        AdvanceMs(ms);
        std::function<void()> hook;
        {
            std::scoped_lock lock(hookMutex_);
            hook = sleepHook_;
        }
        if (hook) {
            hook();
        }
    }
    // Advances as SleepMs unless the event is already set.
    bool SleepUnlessSet(const Event& event, uint32_t ms) override {
        if (event.IsSet()) {
            return true;
        }
        SleepMs(ms);
        return event.IsSet();
    }
    // Called after every sleep, as if it happened while the caller slept (a stop, say).
    void SetSleepHook(std::function<void()> hook) {
        std::scoped_lock lock(hookMutex_);
        sleepHook_ = std::move(hook);
    }

    void SetNow(std::time_t now) { now_ = now; }
    void SetUptimeMs(uint64_t ms) { uptimeMs_ = ms; }
    // Moves tick, uptime and wall time forward together (wall time in whole seconds).
    void AdvanceMs(uint64_t ms) {
        const uint64_t before = uptimeMs_.fetch_add(ms);
        now_ += static_cast<std::time_t>((before + ms) / 1000 - before / 1000);
    }
    uint64_t SleptMs() const { return slept_.load(); }

  private:
    std::atomic<std::time_t> now_;
    std::atomic<uint64_t> uptimeMs_;
    std::atomic<uint64_t> slept_{0};
    std::mutex hookMutex_;
    std::function<void()> sleepHook_;
};

}  // namespace kvzn::platform
