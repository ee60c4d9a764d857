// The performance counter monitor over a proc/sys fixture and a fake spooler: evaluation,
// follow-up of responses, unavailable counters, the CSV log and the status page data.
#include "monitors/performance_monitor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "alerting/alert_record.h"
#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "service/config_status.h"
#include "support/service_fixture.h"
#include "support/shared_spooler.h"

namespace kvzn::monitors {
namespace {

class PerformanceMonitorTest : public ::testing::Test, public test::ServiceFixture {
  protected:
    void SetUp() override {
        tzset();  // the rows and the page carry local times, pinned to UTC here
        std::filesystem::create_directories(root / "proc/1");
        std::filesystem::create_directories(root / "sys/block/sda");
        test::WriteFile(root / "proc/stat", "cpu 10 0 10 80 0 0 0 0\ncpu0 10 0 10 80 0 0 0 0\n");
        test::WriteFile(root / "proc/meminfo", "MemAvailable: 6000000 kB\n");
        DiskQueue(0);
        platform::PrinterInfo office;
        office.name = "Office";
        spooler->SetPrinter(office);
        context.notifyRunningActions = 1;
    }
    void DiskQueue(int queue) {
        test::WriteFile(root / "proc/diskstats",
                        "8 0 sda 1 0 1 0 1 0 1 0 " + std::to_string(queue) + " 1 0 0 0 0\n");
    }
    PerformanceSources Sources() {
        PerformanceSources sources;
        sources.root = root.path();
        sources.makeSpooler = [this] { return std::make_unique<test::SharedSpooler>(spooler); };
        return sources;
    }
    std::string PerfKey(const char* name) {
        return config::SubKey(config::subkey::kPerformance) + "\\" + name;
    }
    void EnableBuiltIn(const char* name, uint32_t threshold, uint32_t count = 0) {
        registry.WriteFlag(PerfKey(name), "Enabled", 1);
        registry.WriteNumber(PerfKey(name), "Threshold", threshold);
        registry.WriteNumber(PerfKey(name), "CountBeforeAction", count);
        registry.WriteNumber(PerfKey(name), "AlertLevel", 2);
    }
    void AddCustom(int n, const char* name, const char* object, const char* instance,
                   const char* counter, uint32_t threshold) {
        const std::string key =
            config::SubKey(config::subkey::kCustomPerformance) + "\\Counter" + std::to_string(n);
        registry.WriteFlag(key, "Enabled", 1);
        registry.WriteText(key, "Name", name);
        registry.WriteText(key, "DisplayName", name);
        registry.WriteText(key, "ObjectName", object);
        registry.WriteText(key, "InstanceName", instance);
        registry.WriteText(key, "CounterName", counter);
        registry.WriteNumber(key, "ResultComparison", 2);
        registry.WriteNumber(key, "Threshold", threshold);
        registry.WriteText(key, "DisplaySuffix", " reqs.");
    }
    alerting::AlertRecord Alert(uint32_t slot) {
        auto record = alerting::AlertRecord::Load(Alerts().store.RecordPath(slot));
        EXPECT_TRUE(record.ok()) << "alert " << slot;
        return record.ok() ? *record : alerting::AlertRecord{};
    }
    std::string Status(const std::string& key) {
        return platform::GetProfileString("Performance", key, "<none>",
                                          service::ConfigStatusPath(context));
    }
    static CounterEntry Entry(uint32_t comparison, int64_t threshold) {
        CounterEntry e;
        e.enabled = true;
        e.name = "High CPU usage";
        e.suffix = "%";
        e.comparison = comparison;
        e.threshold = threshold;
        e.levelMask = 4;
        return e;
    }

    void TearDown() override {
        utc.reset();
        tzset();
    }

    std::unique_ptr<test::ScopedEnv> utc = std::make_unique<test::ScopedEnv>("TZ", "UTC");
    test::TempDir root;
    std::shared_ptr<platform::FakeSpooler> spooler = std::make_shared<platform::FakeSpooler>();
    test::LogCapture log;
};

TEST_F(PerformanceMonitorTest, CountBeforeActionThenAPlainAlertThatRunsAlertScripts) {
    CounterEntry e = Entry(2, 90);
    e.countBeforeAction = 3;
    for (int i = 0; i < 3; ++i) {
        int64_t value = 95;
        EXPECT_EQ(CheckCounterForError(context, e, value, 1000), 1);
    }
    EXPECT_EQ(RecordedAlerts(), 0u);
    int64_t value = 95;
    EXPECT_EQ(CheckCounterForError(context, e, value, 5000), 1);
    ASSERT_EQ(RecordedAlerts(), 1u);
    const alerting::AlertRecord alert = Alert(1);
    EXPECT_EQ(alert.message.value_or(""),
              "The performance check High CPU usage failed on this server. The threshold value is "
              "90%, but the actual value is 95% ...");
    EXPECT_EQ(alert.autoResponse, std::optional<bool>(false))
        << "an ordinary alert is no automatic-response alert";
    EXPECT_EQ(alert.additionalInfo[1].value_or(""), "90");
    EXPECT_EQ(alert.additionalInfo[2].value_or(""), "95");
    EXPECT_EQ(e.lastAlertTick, 5000u);
    EXPECT_EQ(e.failureCount, 0u);
}

TEST_F(PerformanceMonitorTest, IncreaseModeComparesTheChangeAndAResetNeverFails) {
    CounterEntry e = Entry(2, 10);
    e.measureIncrease = true;
    e.previousValue = 100;
    int64_t value = 105;
    EXPECT_EQ(CheckCounterForError(context, e, value, 1), 0);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(e.previousValue, 105);
    value = 3;  // the counter started again
    EXPECT_EQ(CheckCounterForError(context, e, value, 2), 0);
    EXPECT_EQ(value, -102);
    value = 20;
    EXPECT_EQ(CheckCounterForError(context, e, value, 3), 1);
    EXPECT_EQ(RecordedAlerts(), 1u);
}

TEST_F(PerformanceMonitorTest, AResponseIsFollowedUpAtTheNextSample) {
    CounterEntry e = Entry(3, 50);
    e.responseCode = 3;
    e.command = "true";
    int64_t value = 10;
    EXPECT_EQ(CheckCounterForError(context, e, value, 1), 1);
    EXPECT_TRUE(e.responseInProgress);
    EXPECT_EQ(RecordedAlerts(), 0u) << "the command ran; it is judged at the next sample";
    value = 10;
    EXPECT_EQ(CheckCounterForError(context, e, value, 2), 1);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Alert(1).message.value_or("").rfind("Automatic response failed. The performance "
                                                  "check High CPU usage failed",
                                                  0),
              0u);
    EXPECT_EQ(Alert(1).autoResponse, std::optional<bool>(true));
    EXPECT_FALSE(e.responseInProgress);

    // Another response that works: the success alert, then nothing more.
    e.lastAlertTick = 0;
    value = 10;
    EXPECT_EQ(CheckCounterForError(context, e, value, 3), 1);
    ASSERT_TRUE(e.responseInProgress);
    value = 60;
    EXPECT_EQ(CheckCounterForError(context, e, value, 4), 0);
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Alert(2).message.value_or("").rfind("Automatic response was successful.", 0), 0u);
    EXPECT_EQ(Alert(2).autoResponse, std::optional<bool>(true));
    value = 60;
    EXPECT_EQ(CheckCounterForError(context, e, value, 5), 0);
    EXPECT_EQ(RecordedAlerts(), 2u);
}

TEST_F(PerformanceMonitorTest, NothingToDoRecordsNoConfigValuesAndDeletesTheLog) {
    registry.WriteNumber(config::kProductKey, "PerfInterval", 30);
    const std::string csv = dir / "perf.csv";
    test::WriteFile(csv, "old");
    const std::string logging = config::SubKey(config::subkey::kAlertLogging);
    registry.WriteNumber(logging, "EnablePerfLogging", 1);
    registry.WriteText(logging, "PerfDataFile", "\"" + csv + "\"");
    PerformanceMonitor monitor(Sources());
    EXPECT_FALSE(monitor.Start(context));
    EXPECT_EQ(Status("NoConfigValues"), "1");
    EXPECT_FALSE(std::filesystem::exists(csv));
}

TEST_F(PerformanceMonitorTest, AQueryThatCannotBeOpenedDisablesTheMonitor) {
    EnableBuiltIn("High CPU usage", 90);
    PerformanceSources sources = Sources();
    sources.root = dir / "nowhere";
    PerformanceMonitor monitor(sources);
    EXPECT_FALSE(monitor.Start(context));
    EXPECT_TRUE(log.Contains("An error occurred whilst creating the PDH query #1"));
}

TEST_F(PerformanceMonitorTest, OnTheFirstRunMissingCountersAreOnlyListed) {
    context.firstRun = true;
    EnableBuiltIn("Suspicious no. Server Logon attempts", 5);
    EnableBuiltIn("Memory low", 1);
    PerformanceMonitor monitor(Sources());
    ASSERT_TRUE(monitor.Start(context));
    EXPECT_EQ(RecordedAlerts(), 0u);
    EXPECT_EQ(Status("Title1"), "No. Recent Suspect Logon Attempts");
    EXPECT_FALSE(monitor.BuiltIns()[1].unavailable);
}

TEST_F(PerformanceMonitorTest, CyclesLogSampleAndReportUnavailableCounters) {
    const std::string csv = dir / "perf.csv";
    const std::string logging = config::SubKey(config::subkey::kAlertLogging);
    registry.WriteNumber(logging, "EnablePerfLogging", 1);
    registry.WriteText(logging, "PerfDataFile", csv);
    EnableBuiltIn("High CPU usage", 50);
    EnableBuiltIn("System Registry size near or at maximum", 90);
    EnableBuiltIn("High Print Queue Length", 1);
    AddCustom(1, "Disk sda", "PhysicalDisk", "sda", "Current Disk Queue Length", 5);
    AddCustom(2, "Bogus", "Server", "", "Errors Logon", 0);

    PerformanceMonitor monitor(Sources());
    ASSERT_TRUE(monitor.Start(context));
    // The registry quota has no counter here; neither has the server's logon errors.
    EXPECT_TRUE(monitor.BuiltIns()[3].unavailable);
    EXPECT_TRUE(monitor.Customs()[1].unavailable);
    EXPECT_EQ(Status("Title1"), "Registry Database - % used");
    EXPECT_NE(Status("Reason1").find("Counter: % Registry Quota In Use"), std::string::npos);
    EXPECT_EQ(Status("Title2"), "Bogus");
    EXPECT_TRUE(
        log.Contains("Unable to add performance counter 4 (System Registry size near or "
                     "at maximum). Skipping entry"));
    EXPECT_TRUE(log.Contains("Unable to add custom performance counter 2 (Bogus). Skipping entry"));
    // Two per-check alerts and the summary (web reports are off).
    ASSERT_EQ(RecordedAlerts(), 3u);
    EXPECT_EQ(Alert(1).errorTitle.value_or(""), "Performance Monitor Error");
    EXPECT_EQ(Alert(3).message.value_or("").rfind(
                  "One or more performance checks cannot be performed on server PRINTSRV", 0),
              0u);

    // Cycle 1: 60 % busy, two jobs queued, disk idle.
    test::WriteFile(root / "proc/stat", "cpu 70 0 10 120 0 0 0 0\n");
    platform::JobInfo job;
    job.printer = "Office";
    spooler->AddJob(job);
    spooler->AddJob(job);
    monitor.RunCycle(context, 10000);
    const std::string heading =
        "Date/Time,CPU Usage (> 50 %),Registry Database - % used (> 90 %),Current Print Queue "
        "Length (> 1 ),Disk sda (> 5  reqs.),Bogus (> 0  reqs.)";
    EXPECT_EQ(test::ReadFile(csv), heading + "\n01/01/2026 00:00:00,60,N/A,2,0,N/A");
    ASSERT_EQ(RecordedAlerts(), 5u) << "CPU and print queue length";

    // The status page shows what the cycle sampled, and looking at it collects nothing.
    spooler->ClearCalls();
    const PerformanceWebData page = monitor.WebData();
    EXPECT_TRUE(spooler->Calls().empty());
    EXPECT_EQ(page.lastChecked, "01/01/2026 00:00:00");
    using State = PerformanceGroup::State;
    ASSERT_EQ(page.groups[0].state, State::kRows);
    ASSERT_EQ(page.groups[0].rows.size(), 2u);
    EXPECT_EQ(page.groups[0].rows[0].valueText, "60%");
    EXPECT_EQ(page.groups[0].rows[0].thresholdText, "> 50%");
    EXPECT_EQ(page.groups[0].rows[0].percent, 100);
    EXPECT_TRUE(page.groups[0].rows[0].failed);
    EXPECT_EQ(page.groups[0].rows[1].valueText, "N/A");
    ASSERT_EQ(page.groups[1].rows.size(), 1u);
    EXPECT_EQ(page.groups[1].rows[0].valueText, "2");
    ASSERT_EQ(page.groups[2].rows.size(), 2u);
    EXPECT_EQ(page.groups[2].rows[0].valueText, "0 reqs.");
    EXPECT_EQ(page.groups[2].rows[0].percent, 0);
    EXPECT_FALSE(page.groups[2].rows[0].failed);

    // The disk goes: the custom check becomes unavailable, the others go on.
    std::filesystem::remove(root / "sys/block/sda");
    monitor.RunCycle(context, 20000);
    EXPECT_TRUE(monitor.Customs()[0].unavailable);
    EXPECT_TRUE(log.Contains("The performance counter of Disk sda cannot be read"));
    EXPECT_FALSE(monitor.BuiltIns()[0].unavailable);
    // It comes back by itself at the recheck of the sixth cycle and fails its check then.
    std::filesystem::create_directories(root / "sys/block/sda");
    DiskQueue(9);
    for (uint32_t cycle = 3; cycle <= 6; ++cycle) {
        monitor.RunCycle(context, cycle * 10000);
    }
    EXPECT_TRUE(monitor.Customs()[0].unavailable);
    const uint32_t before = RecordedAlerts();
    monitor.RunCycle(context, 70000);
    EXPECT_FALSE(monitor.Customs()[0].unavailable);
    EXPECT_TRUE(monitor.Customs()[1].unavailable) << "what has no counter stays unavailable";
    EXPECT_EQ(Status("Title1"), "Registry Database - % used") << "listed afresh at the recheck";
    EXPECT_EQ(Status("Title3"), "<none>");
    bool diskAlert = false;
    for (uint32_t slot = before + 1; slot <= RecordedAlerts(); ++slot) {
        diskAlert = diskAlert || Alert(slot).errorTitle == std::optional<std::string>("Disk sda");
    }
    EXPECT_TRUE(diskAlert);

    // History: the last rows, judged by the thresholds of the running monitor.
    const PerformanceHistory history = PerformanceCounterHistory(context, 2);
    ASSERT_TRUE(history.fileRead);
    ASSERT_EQ(history.table.rows.size(), 2u);
    EXPECT_EQ(history.table.rows[1].cells[3].text, "9");
    EXPECT_EQ(history.table.rows[1].cells[3].kind, HistoryCell::Kind::kFailed);
    EXPECT_EQ(history.table.rows[1].cells[1].kind, HistoryCell::Kind::kNotRead);
}

TEST_F(PerformanceMonitorTest, AfterTheTickWrapsEveryCheckIsEvaluatedAgainAtOnce) {
    EnableBuiltIn("High no. Running processes", 0);  // one process: fails every sample
    registry.WriteNumber(PerfKey("High no. Running processes"), "NonNotificationPeriod", 60);
    PerformanceMonitor monitor(Sources());
    ASSERT_TRUE(monitor.Start(context));
    monitor.RunCycle(context, 4294000000u);
    ASSERT_EQ(RecordedAlerts(), 1u);
    monitor.RunCycle(context, 4294900000u);  // 15 minutes later: within the hour
    EXPECT_EQ(RecordedAlerts(), 1u);
    monitor.RunCycle(context, 1000);  // wrapped
    EXPECT_EQ(RecordedAlerts(), 2u);
}

TEST_F(PerformanceMonitorTest, TheThreadIsReadyAfterItsStartAndEndsAtOnceOnStop) {
    registry.WriteNumber(config::kProductKey, "PerfInterval", 3600);
    EnableBuiltIn("Memory low", 1);
    auto monitor = std::make_shared<PerformanceMonitor>(Sources());
    context.PublishMonitor(kPerformanceComponent, monitor);
    std::thread thread([&] { monitor->Run(context); });
    for (int i = 0; i < 500 && !context.PerformanceReady(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(context.PerformanceReady());
    EXPECT_EQ(CurrentPerformanceMonitor(context), monitor);
    // The first cycle follows a second after the start.
    for (int i = 0; i < 300 && PerformanceCounterWebData(context).groups[0].state !=
                                   PerformanceGroup::State::kRows;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(PerformanceCounterWebData(context).groups[0].rows.at(0).valueText, "6144000000b");
    const auto stopAt = std::chrono::steady_clock::now();
    context.stopEvent.Set();
    thread.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(2));
}

}  // namespace
}  // namespace kvzn::monitors
