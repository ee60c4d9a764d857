// The monitor skeleton: closing path, timed start, cycles, tick wrap and stop.
#include "service/monitor_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/profile_file.h"
#include "service/config_status.h"
#include "support/service_fixture.h"

namespace kvzn::service {
namespace {

using namespace std::chrono_literals;

class TestMonitor : public Monitor {
  public:
    explicit TestMonitor(platform::FakeClock& clock) : clock_(clock) {}
    const MonitorIdentity& Identity() const override { return identity; }
    int ReadConfiguration(ServiceContext&) override { return enabledChecks; }
    bool IntervalsDisabled() const override { return intervalsDisabled; }
    uint32_t RunCycle(ServiceContext&, uint32_t now) override {
        ticks.push_back(now);
        ++cycles;
        clock_.AdvanceMs(advancePerCycle);
        return waitMs;
    }
    void ClearAlertTicks() override { ++clears; }

    MonitorIdentity identity{"SpecificMonitor",
                             25,
                             "kvZNPrintServerMonitor",
                             "There are no monitoring tasks to perform or the monitoring interval "
                             "is disabled. The Print Specific Monitor will close",
                             "Server-specific",
                             true,
                             true};
    int enabledChecks = 1;
    bool intervalsDisabled = false;
    uint32_t waitMs = 0;
    uint64_t advancePerCycle = 0;
    std::atomic<int> cycles{0};
    std::atomic<int> clears{0};
    std::vector<uint32_t> ticks;

  private:
    platform::FakeClock& clock_;
};

class MonitorThreadTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    MonitorThreadTest() : monitor(clock) { context.ResumeAll(); }
    TestMonitor monitor;
    test::LogCapture log;
};

TEST_F(MonitorThreadTest, NothingToDoLogsTheClosingSentenceAndRecordsIt) {
    for (int variant = 0; variant < 2; ++variant) {
        std::filesystem::remove(dir / "kvZNConfigStatus_PRT.err");
        monitor.enabledChecks = variant == 0 ? 0 : 3;
        monitor.intervalsDisabled = variant == 1;
        RunMonitorThread(context, monitor);  // returns: the thread would end here
        EXPECT_EQ(monitor.cycles, 0) << variant;
        EXPECT_EQ(platform::GetProfileString("Server-Specific", kNoConfigValues, "",
                                             ConfigStatusPath(context)),
                  "1")
            << variant;
    }
    EXPECT_EQ(log.Count("The Print Specific Monitor will close"), 2u);
}

TEST_F(MonitorThreadTest, AStopEndsAWaitOfMinutesAtOnce) {
    monitor.waitMs = 10 * 60 * 1000;
    std::thread t([&] { RunMonitorThread(context, monitor); });
    ASSERT_TRUE(test::WaitUntil([&] { return monitor.cycles == 1; }, 2s));
    const auto before = std::chrono::steady_clock::now();
    context.stopEvent.Set();
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_TRUE(log.Contains("The Tessel Monitor is being shutdown"));
}

TEST_F(MonitorThreadTest, TheTickWrapClearsTheAlertTicks) {
    clock.SetUptimeMs(0xFFFFFFFFull - 150);  // 150 ms before the 32-bit tick wraps
    monitor.advancePerCycle = 100;
    monitor.waitMs = 1;
    std::thread t([&] { RunMonitorThread(context, monitor); });
    ASSERT_TRUE(test::WaitUntil([&] { return monitor.cycles >= 4; }, 2s));
    context.stopEvent.Set();
    t.join();
    EXPECT_EQ(monitor.clears, 1);
    EXPECT_LT(monitor.ticks[2], monitor.ticks[1]);
}

TEST_F(MonitorThreadTest, TimedStartWaitsUntilTheGivenTimeAndAStopEndsTheWait) {
    test::ScopedEnv tz("TZ", "UTC");
    tzset();
    clock.SetNow(1767225600);  // 01/01/2026 00:00 UTC
    registry.WriteText(config::kProductKey, config::value::kStartMonitoringOn, "01/01/2026 00:10");
    std::thread t([&] { RunMonitorThread(context, monitor); });
    ASSERT_TRUE(log.WaitFor("Waiting until 01/01/2026 00:10 before monitoring commences", 2s));
    context.stopEvent.Set();
    t.join();
    EXPECT_EQ(monitor.cycles, 0);
    EXPECT_FALSE(log.Contains("Server timed start completed"));
}

TEST_F(MonitorThreadTest, TimedStartInThePastEmptyOrZeroStartsAtOnce) {
    test::ScopedEnv tz("TZ", "UTC");
    tzset();
    clock.SetNow(1767225600);
    for (const char* text : {"31/12/2025 23:00", "", "00/01/2026 00:10"}) {
        SCOPED_TRACE(text);
        context.stopEvent.Reset();
        monitor.cycles = 0;
        monitor.waitMs = 60000;
        registry.WriteText(config::kProductKey, config::value::kStartMonitoringOn, text);
        std::thread t([&] { RunMonitorThread(context, monitor); });
        EXPECT_TRUE(test::WaitUntil([&] { return monitor.cycles == 1; }, 2s));
        context.stopEvent.Set();
        t.join();
    }
    EXPECT_FALSE(log.Contains("Waiting until"));
}

}  // namespace
}  // namespace kvzn::service
