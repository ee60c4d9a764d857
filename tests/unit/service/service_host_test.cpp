// Start-up, handshake and shut-down of the service host with test workers.
#include "service/service_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "config/registry_names.h"
#include "platform/fake/fake_clock.h"
#include "support/test_support.h"

namespace kvzn::service {
namespace {

using namespace std::chrono_literals;
namespace value = config::value;

class RecordingNotifier : public platform::StatusNotifier {
  public:
    platform::Status Notify(ServiceStatusState state, uint32_t checkpoint, uint32_t,
                            uint32_t) override {
        std::scoped_lock lock(mutex);
        reports.emplace_back(state, checkpoint);
        return platform::Status::Ok();
    }
    std::vector<std::pair<ServiceStatusState, uint32_t>> Reports() {
        std::scoped_lock lock(mutex);
        return reports;
    }
    std::mutex mutex;
    std::vector<std::pair<ServiceStatusState, uint32_t>> reports;
};

class ServiceHostTest : public ::testing::Test {
  protected:
    ServiceHostTest() : store(platform::MakeMemoryStore()), registry(store), status(notifier) {
        registry.WriteText(config::kProductKey, value::kHome, dir.path());
        registry.WriteText(config::kProductKey, value::kDataDirectory, dir / "data");
        registry.WriteText(config::kProductKey, value::kHTMLTargetDirectory, dir / "html");
        registry.WriteText(config::kProductKey, value::kImagesDirectory, dir / "images");
        registry.WriteText(config::kProductKey, value::kLogFile, dir / "KVZN.LOG");
        timings.stopGraceMs = 0;
        timings.cleanupBudgetSeconds = 2;
        timings.readyPollMs = 50;
        timings.performancePollMs = 50;
    }

    // A worker that takes part in the handshake and ends on the stop.
    ComponentEntry Worker(std::string name, int slot,
                          std::function<bool(ServiceContext&)> cond = {}) {
        return {name,
                slot,
                0,
                "cannot start " + name,
                std::move(cond),
                [this, name](ServiceContext& ctx) {
                    ctx.ComponentReadyAndSuspend();
                    {
                        std::scoped_lock lock(mutex);
                        ran.push_back(name);
                    }
                    ctx.stopEvent.Wait();
                }};
    }
    ComponentTable Table(std::vector<ComponentEntry> components) {
        ComponentTable table;
        table.performance = {"PerformanceCounter", 3, 4, "perf", nullptr, [](ServiceContext& ctx) {
                                 ctx.SetPerformanceReady();
                                 ctx.stopEvent.Wait();
                             }};
        table.components = std::move(components);
        return table;
    }
    // Runs ServiceMain on its own thread until `running` holds, then stops the service.
    void RunAndStop(ServiceHost& host, const std::function<void()>& whileRunning = {}) {
        std::thread main([&] { host.ServiceMain(0, nullptr); });
        ASSERT_TRUE(log.WaitFor("Tessel Monitor Startup Complete", 5s));
        if (whileRunning) {
            whileRunning();
        }
        host.ServiceStop();
        main.join();
    }

    test::TempDir dir;
    test::LogCapture log;
    std::shared_ptr<platform::ConfigStore> store;
    companion::Registry registry;
    RecordingNotifier notifier;
    StatusReporter status;
    platform::FakeClock clock;
    HostTimings timings;
    std::mutex mutex;
    std::vector<std::string> ran;
};

TEST_F(ServiceHostTest, MissingRequiredSettingsStopStartUpWithTheirMessage) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {value::kHome, "(home)"},
        {value::kDataDirectory, "(DataDirectory)"},
        {value::kHTMLTargetDirectory, "(HTMLTargetDirectory)"},
        {value::kImagesDirectory, "(ImagesDirectory)"},
    };
    for (const auto& [setting, word] : cases) {
        SCOPED_TRACE(setting);
        test::LogCapture capture;
        auto caseStore = platform::MakeMemoryStore();
        companion::Registry caseRegistry(caseStore);
        caseRegistry.WriteText(config::kProductKey, value::kLogFile, dir / "KVZN.LOG");
        for (const char* v : {value::kHome, value::kDataDirectory, value::kHTMLTargetDirectory,
                              value::kImagesDirectory}) {
            if (std::string(v) != setting) {
                caseRegistry.WriteText(config::kProductKey, v, dir / v);
            }
        }
        bool started = false;
        ComponentTable table = Table({});
        table.performance.body = [&](ServiceContext&) { started = true; };
        ServiceHost host(caseRegistry, clock, status, std::move(table), timings);
        host.ServiceMain(0, nullptr);
        EXPECT_TRUE(capture.Contains(
            "The Korvane/Tessel Print Monitor cannot be started because the required local "
            "configuration settings " +
            word + " are not defined. Please contact the System Administrator"));
        EXPECT_FALSE(started);
        EXPECT_TRUE(host.StartedSlots().empty());
        EXPECT_FALSE(capture.Contains("Startup Complete"));
    }
}

TEST_F(ServiceHostTest, StartsThreadsInTableOrderAndOnlyWhenTheirConditionHolds) {
    std::vector<ComponentEntry> components = {
        Worker("VerifyEventLogs", 0),
        Worker("VerifyLogFiles", 1),
        Worker("GenericMonitor", 2),
        Worker("SpecificMonitor", 4),
        Worker("AlertNotification", 7),
        Worker("DelayedAlertNotification", 14, [](ServiceContext&) { return false; }),
        Worker("EmbeddedWebServer", kWebSlot,
               [](ServiceContext& ctx) { return ctx.enableWebReports; }),
        Worker("CheckForSummary", 10, [](ServiceContext&) { return true; })};
    ServiceHost host(registry, clock, status, Table(std::move(components)), timings);
    RunAndStop(host, [&] {
        EXPECT_TRUE(test::WaitUntil(
            [&] {
                std::scoped_lock lock(mutex);
                return ran.size() == 6;
            },
            2s));
    });
    EXPECT_EQ(host.StartedSlots(), (std::vector<int>{3, 0, 1, 2, 4, 7, 10}));
    EXPECT_TRUE(log.Contains("The Korvane/Tessel Print Monitor shut down successfully"));
    EXPECT_TRUE(log.Contains("Starting component threads"));
}

TEST_F(ServiceHostTest, NoWorkerRunsBeforeAllAreStarted) {
    // The first worker must not get past its handshake while a later one is not yet created.
    std::atomic<int> created{0};
    std::atomic<int> createdWhenFirstRan{-1};
    ComponentEntry first{"First", 0, 0, "x", nullptr, [&](ServiceContext& ctx) {
                             ctx.ComponentReadyAndSuspend();
                             createdWhenFirstRan = created.load();
                             ctx.stopEvent.Wait();
                         }};
    ComponentEntry second = Worker("Second", 1, [&](ServiceContext&) {
        std::this_thread::sleep_for(100ms);  // the first one is well under way meanwhile
        created = 2;
        return true;
    });
    ServiceHost host(registry, clock, status, Table({first, second}), timings);
    RunAndStop(host,
               [&] { EXPECT_TRUE(test::WaitUntil([&] { return createdWhenFirstRan >= 0; }, 2s)); });
    EXPECT_EQ(createdWhenFirstRan, 2);
}

TEST_F(ServiceHostTest, RunBeforeMarksTheFirstRunOnlyOnce) {
    for (bool expectFirst : {true, false}) {
        ServiceHost host(registry, clock, status, Table({}), timings);
        RunAndStop(host);
        EXPECT_EQ(host.Context().firstRun, expectFirst);
        uint32_t runBefore = 0;
        ASSERT_EQ(registry.ReadFlag(config::kProductKey, value::kRunBefore, runBefore), 0);
        EXPECT_EQ(runBefore, 1u);
    }
}

TEST_F(ServiceHostTest, ReportsPendingWithGrowingCheckpointsThenRunningThenStopped) {
    ServiceHost host(registry, clock, status, Table({Worker("A", 0)}), timings);
    RunAndStop(host);
    const auto reports = notifier.Reports();
    ASSERT_GE(reports.size(), 4u);
    uint32_t expected = 1;
    size_t i = 0;
    for (; i < reports.size() && reports[i].first == ServiceStatusState::StartPending; ++i) {
        EXPECT_EQ(reports[i].second, expected++);
    }
    ASSERT_LT(i, reports.size());
    EXPECT_EQ(reports[i].first, ServiceStatusState::Running);
    EXPECT_EQ(reports[i].second, 0u);
    for (++i; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].first, ServiceStatusState::StopPending);
        EXPECT_EQ(reports[i].second, expected++);
    }
    EXPECT_EQ(reports.back().first, ServiceStatusState::Stopped);
    EXPECT_EQ(reports.back().second, 0u);
}

TEST_F(ServiceHostTest, WarmUpWaitsForTheRemainingSecondsAndAStopEndsItWithoutThreads) {
    registry.WriteNumber(config::kProductKey, value::kInitialStartupDelay, 300);
    clock.SetUptimeMs(100'000);
    ServiceHost host(registry, clock, status, Table({Worker("A", 0)}), timings);
    std::thread main([&] { host.ServiceMain(0, nullptr); });
    ASSERT_TRUE(log.WaitFor("Waiting for server warm-up time (200 secs.)", 5s));
    const auto before = std::chrono::steady_clock::now();
    host.ServiceStop();
    main.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    EXPECT_TRUE(host.StartedSlots().empty());
    EXPECT_FALSE(log.Contains("Server warm-up completed"));
    EXPECT_EQ(notifier.Reports().back().first, ServiceStatusState::Stopped);
}

TEST_F(ServiceHostTest, NoWarmUpWaitWhenTheServerHasBeenUpLongEnough) {
    registry.WriteNumber(config::kProductKey, value::kInitialStartupDelay, 300);
    // 400 s, and 49.7 days + 100 s, where the 32-bit tick has wrapped to a small value.
    for (uint64_t uptimeMs : {400'000ull, 4'294'967'296ull + 100'000ull}) {
        SCOPED_TRACE(uptimeMs);
        test::LogCapture capture;
        clock.SetUptimeMs(uptimeMs);
        ServiceHost host(registry, clock, status, Table({}), timings);
        RunAndStop(host);
        EXPECT_FALSE(capture.Contains("Waiting for server warm-up time"));
        EXPECT_TRUE(capture.Contains("Server warm-up completed. Startup continues ..."));
    }
}

TEST_F(ServiceHostTest, AWorkerWaitingForMinutesEndsAtOnceOnStop) {
    std::atomic<bool> ended{false};
    ComponentEntry sleeper{"Sleeper", 2, 0, "x", nullptr, [&](ServiceContext& ctx) {
                               ctx.ComponentReadyAndSuspend();
                               ctx.WaitForStop(std::chrono::minutes(30));
                               ended = true;
                           }};
    ServiceHost host(registry, clock, status, Table({sleeper}), timings);
    const auto before = std::chrono::steady_clock::now();
    RunAndStop(host);
    EXPECT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    EXPECT_FALSE(log.Contains("Timed out waiting for thread"));
}

TEST_F(ServiceHostTest, WorkersThatNeverEndAreNamedAndLeftBehindWithinTheBudget) {
    platform::Event release;
    auto stubborn = [&](const char* name, int slot) {
        return ComponentEntry{name, slot, 0, "x", nullptr, [&release](ServiceContext& ctx) {
                                  ctx.ComponentReadyAndSuspend();
                                  release.Wait();  // ignores the stop event
                              }};
    };
    ComponentTable table = Table({stubborn("A", 5), stubborn("B", 6)});
    // A worker that ends a moment after the stop uses up that moment of the budget, no more.
    table.performance.body = [](ServiceContext& ctx) {
        ctx.SetPerformanceReady();
        ctx.stopEvent.Wait();
        std::this_thread::sleep_for(100ms);
    };
    ServiceHost host(registry, clock, status, std::move(table), timings);
    std::thread main([&] { host.ServiceMain(0, nullptr); });
    ASSERT_TRUE(log.WaitFor("Tessel Monitor Startup Complete", 5s));
    const auto before = std::chrono::steady_clock::now();
    host.ServiceStop();
    main.join();
    const auto took = std::chrono::steady_clock::now() - before;
    // Budget of 2 s for the first, one more second for the second.
    EXPECT_GE(took, 2900ms);
    EXPECT_LT(took, 10s);  // generous: a loaded machine wakes late
    EXPECT_TRUE(log.Contains("Timed out waiting for thread: 5 to terminate. Forcing it to close"));
    EXPECT_TRUE(log.Contains("Timed out waiting for thread: 6 to terminate. Forcing it to close"));
    EXPECT_TRUE(log.Contains("The Korvane/Tessel Print Monitor shut down successfully"));
    release.Set();  // the detached workers end on their own
    std::this_thread::sleep_for(50ms);
}

// A worker left behind may still write an alert record (a temporary file, then a rename):
// the clean-up leaves the temporary files of this run alone and removes older ones.
TEST_F(ServiceHostTest, CleanupRemovesOnlyTemporaryFilesFromBeforeTheRun) {
    const std::string data = dir / "data";
    ServiceHost host(registry, clock, status, Table({Worker("A", 0)}), timings);
    RunAndStop(host, [&] {
        test::WriteFile(data + "/PRT7.err.Ab12Cd.tmp", "[Default]\r\n");
        test::WriteFile(data + "/Unsent.prt.Xy34Zw.tmp", "");
        test::WriteFile(data + "/left.tmp", "");
        std::filesystem::last_write_time(data + "/left.tmp",
                                         std::filesystem::file_time_type::clock::now() - 1h);
        test::WriteFile(data + "/PRT7.err", "[Default]\r\n");
    });
    EXPECT_TRUE(std::filesystem::exists(data + "/PRT7.err.Ab12Cd.tmp"));
    EXPECT_TRUE(std::filesystem::exists(data + "/Unsent.prt.Xy34Zw.tmp"));
    EXPECT_FALSE(std::filesystem::exists(data + "/left.tmp"));
    EXPECT_TRUE(std::filesystem::exists(data + "/PRT7.err"));
}

TEST_F(ServiceHostTest, CleanupRunsOnce) {
    ServiceHost host(registry, clock, status, Table({Worker("A", 0)}), timings);
    RunAndStop(host);
    const size_t reports = notifier.Reports().size();
    host.CleanupMonitor();
    EXPECT_EQ(notifier.Reports().size(), reports);
}

TEST_F(ServiceHostTest, StopClosesTheWebListenerAndTheBlockedAcceptEndsAtOnce) {
    std::atomic<int> acceptResult{0};
    companion::Socket listener;
    ComponentEntry web{"EmbeddedWebServer", kWebSlot, 13, "x", nullptr, [&](ServiceContext& ctx) {
                           ctx.ComponentReadyAndSuspend();
                           ASSERT_EQ(companion::IpCreateServer(listener, 0, "127.0.0.1"), 0);
                           companion::Socket client;
                           std::string address;
                           acceptResult = companion::IpAccept(listener, client, address);
                       }};
    ComponentTable table = Table({web});
    table.closeWebListener = [&] { companion::IpClose(listener); };
    ServiceHost host(registry, clock, status, std::move(table), timings);
    std::thread main([&] { host.ServiceMain(0, nullptr); });
    ASSERT_TRUE(log.WaitFor("Tessel Monitor Startup Complete", 5s));
    ASSERT_TRUE(test::WaitUntil([&] { return listener.valid(); }, 2s));
    const auto before = std::chrono::steady_clock::now();
    host.ServiceStop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    main.join();
    EXPECT_EQ(acceptResult, companion::kIpListenerClosed);
    EXPECT_FALSE(log.Contains("Timed out waiting for the Web Server thread"));
}

TEST_F(ServiceHostTest, StopRequestedWhileWaitingForWorkersStillResumesThem) {
    std::atomic<bool> resumed{false};
    ComponentEntry slow{"Slow", 0, 0, "x", nullptr, [&](ServiceContext& ctx) {
                            std::this_thread::sleep_for(300ms);  // not ready yet when stop comes
                            ctx.ComponentReadyAndSuspend();
                            resumed = true;
                        }};
    timings.readyPolls = 1000;
    ServiceHost host(registry, clock, status, Table({slow}), timings);
    std::thread main([&] { host.ServiceMain(0, nullptr); });
    ASSERT_TRUE(log.WaitFor("Starting component threads", 5s));
    host.ServiceStop();
    main.join();
    EXPECT_TRUE(resumed);
}

}  // namespace
}  // namespace kvzn::service
