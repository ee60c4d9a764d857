// The log file monitor following real files in a temporary directory: appends, lines still
// being written, truncation, both rotation styles, a day's file at midnight, bad data, and
// the thread woken by inotify.
#include "logmon/log_file_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/fake/fake_file_watch.h"
#include "support/service_fixture.h"

namespace kvzn::logmon {
namespace {

using namespace std::chrono_literals;

void Append(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << text;
}

class LogFileMonitorTest : public ::testing::Test {
  protected:
    LogFileMonitorTest() {
        f.context.enableWebReports = true;
        logPath = f.dir / "app.log";
    }
    std::string LogKey(int n) {
        return config::SubKey(config::subkey::kLogs) + "\\Log" + std::to_string(n);
    }
    void AddCheck(int n, const std::string& file, const std::string& name,
                  std::vector<std::string> include, std::vector<std::string> exclude = {}) {
        const std::string key = LogKey(n);
        f.registry.WriteNumber(key, "LogType", 3);
        f.registry.WriteFlag(key, "Enabled", 1);
        f.registry.WriteText(key, "File", file);
        f.registry.WriteText(key, "Name", name);
        for (size_t i = 0; i < include.size(); ++i) {
            f.registry.WriteText(key, "KeywordInclude" + std::to_string(i + 1), include[i]);
        }
        for (size_t i = 0; i < exclude.size(); ++i) {
            f.registry.WriteText(key, "KeywordExclude" + std::to_string(i + 1), exclude[i]);
        }
    }
    void Start() {
        ASSERT_GT(monitor.ReadConfiguration(f.context), 0);
        monitor.Prepare(f.context);
    }
    // The alerted records since the last call, oldest first.
    std::vector<std::string> NewAlerts() {
        f.clock.AdvanceMs(6000);  // past the duplicate filter
        monitor.CheckAllFiles(f.context);
        std::vector<std::string> texts;
        const std::vector<RecentRecord> rows = monitor.Recent().Rows();
        for (size_t i = 0; i < rows.size() - std::min(rows.size(), seen); ++i) {
            texts.insert(texts.begin(), rows[i].message);
        }
        seen = rows.size();
        return texts;
    }

    test::ServiceFixture f;
    test::LogCapture logs;
    platform::FakeFileWatcher* watcher = nullptr;  // owned by the monitor
    LogFileMonitor monitor{[this] {
        auto made = std::make_unique<platform::FakeFileWatcher>();
        watcher = made.get();
        return made;
    }};
    std::string logPath;
    size_t seen = 0;
};

using Texts = std::vector<std::string>;

TEST_F(LogFileMonitorTest, FollowsAppendsAndWaitsForLineEnds) {
    test::WriteFile(logPath, "error before the start\nhalf a line with error");
    AddCheck(1, logPath, "App errors", {"error"}, {"ignore me"});
    Start();
    EXPECT_EQ(NewAlerts(), Texts{});

    Append(logPath, " completed\n\n   \nerror one\r\nnothing here\nerror but ignore me\nERROR two");
    EXPECT_EQ(NewAlerts(), (Texts{"half a line with error completed", "error one"}));
    Append(logPath, " continued\n");
    EXPECT_EQ(NewAlerts(), Texts{"ERROR two continued"});

    // A line of exactly the old joining length is a line of its own; a long line is one
    // record.
    const std::string line497 = "error " + std::string(491, 'x');
    const std::string line1200 = "error " + std::string(1194, 'y');
    Append(logPath, line497 + "\nerror next\n" + line1200 + "\n");
    EXPECT_EQ(NewAlerts(), (Texts{line497, "error next", line1200}));
    EXPECT_EQ(f.RecordedAlerts(), 6U);
}

TEST_F(LogFileMonitorTest, TruncationAndCopyTruncateRotation) {
    test::WriteFile(logPath, "start\n");
    AddCheck(1, logPath, "App errors", {"error"});
    Start();
    Append(logPath, "error before rotation\n");
    EXPECT_EQ(NewAlerts(), Texts{"error before rotation"});

    std::filesystem::copy_file(logPath, logPath + ".1");
    ::truncate(logPath.c_str(), 0);
    Append(logPath, "error while rotating\n");
    EXPECT_EQ(NewAlerts(), Texts{});
    EXPECT_TRUE(logs.Contains("The log file " + logPath +
                              " has been reset. Monitoring will continue from the new location"));
    Append(logPath, "error after rotation\n");
    EXPECT_EQ(NewAlerts(), Texts{"error after rotation"});
}

TEST_F(LogFileMonitorTest, RenameRotationReadsTheOldRestAndTheNewFileFromItsStart) {
    test::WriteFile(logPath, "start\n");
    AddCheck(1, logPath, "App errors", {"error"});
    Start();
    Append(logPath, "error one\n");
    EXPECT_EQ(NewAlerts(), Texts{"error one"});

    // Rotated to a file larger than the old read position.
    Append(logPath, "error last words of the old file\n");
    std::filesystem::rename(logPath, logPath + ".1");
    test::WriteFile(logPath,
                    "error first of the new file, and a lot longer than the old one\n"
                    "more text\nerror second of the new file\n");
    EXPECT_EQ(NewAlerts(), (Texts{"error last words of the old file",
                                  "error first of the new file, and a lot longer than the old one",
                                  "error second of the new file"}));
    EXPECT_TRUE(logs.Contains("has been replaced by a new file"));

    // Renamed away and created again only later.
    std::filesystem::rename(logPath, logPath + ".2");
    EXPECT_EQ(NewAlerts(), Texts{});
    test::WriteFile(logPath, "error in the recreated file\n");
    EXPECT_EQ(NewAlerts(), Texts{"error in the recreated file"});
}

TEST_F(LogFileMonitorTest, DateMacroNamesMoveOnAtMidnight) {
    test::ScopedEnv tz{"TZ", "UTC0"};
    ::tzset();
    f.clock.SetNow(1167609590);  // 2006-12-31 23:59:50 UTC
    const std::string today = f.dir / "app061231.log";
    const std::string tomorrow = f.dir / "app070101.log";
    test::WriteFile(today, "old\n");
    AddCheck(1, f.dir / "app$$YYMMDD.log", "Daily", {"error"});
    f.registry.WriteNumber(config::kProductKey, config::value::kLogFilePollInterval, 60);
    Start();
    EXPECT_EQ(monitor.Files().front().follower->Path(), today);
    EXPECT_EQ(watcher->Watched(), std::set<std::string>{today});
    // The wait ends at midnight, not after the poll interval.
    EXPECT_EQ(monitor.CheckAllFiles(f.context), 11);

    Append(today, "error late on the 31st\n");
    test::WriteFile(tomorrow, "error written before the switch\n");
    f.clock.SetNow(1167609601);  // 2007-01-01 00:00:01
    monitor.CheckAllFiles(f.context);
    EXPECT_EQ(monitor.Files().front().follower->Path(), tomorrow);
    EXPECT_EQ(watcher->Watched(), std::set<std::string>{tomorrow});
    Append(tomorrow, "error on new year's day\n");
    EXPECT_EQ(NewAlerts(), (Texts{"error late on the 31st", "error on new year's day"}));
}

TEST_F(LogFileMonitorTest, BadDataIsPassedOverAndMonitoringGoesOn) {
    test::ScopedEnv tz{"TZ", "UTC0"};
    ::tzset();
    test::WriteFile(logPath, "");
    AddCheck(1, logPath, "App errors", {"error"});
    // 258 characters that would become 261 on a Thursday (the fake clock's day).
    const std::string longName = f.dir / "";
    AddCheck(2, longName + std::string(258 - longName.size() - 5, 'y') + "$$DC9", "Too long",
             {"error"});
    Start();
    EXPECT_TRUE(logs.Contains("is too long once its date macros are expanded"));

    std::string binary("error \0\x01\xff\xfe binary\n", 19);
    Append(logPath, binary);
    Append(logPath, "error " + std::string(3 << 20, 'z') + " error\n");
    Append(logPath, "error " + std::string(40000, 'w'));  // still being written, already too long
    EXPECT_EQ(NewAlerts(), Texts{"error   \xff\xfe binary"});
    Append(logPath, "www\nerror after the long lines\n");
    EXPECT_EQ(NewAlerts(), Texts{"error after the long lines"});
    EXPECT_EQ(logs.Count("The log record exceeds the maximum permitted limit"), 2U);
}

TEST_F(LogFileMonitorTest, DuplicatesAndSeveralChecksOnOneLine) {
    test::WriteFile(logPath, "");
    AddCheck(1, logPath, "First", {"error"});
    AddCheck(2, logPath, "Second", {"disk"});
    Start();
    Append(logPath, "error on disk\n");
    monitor.CheckAllFiles(f.context);
    f.clock.AdvanceMs(1000);
    Append(logPath, "error on disk\n");
    monitor.CheckAllFiles(f.context);
    ASSERT_EQ(monitor.Recent().Rows().size(), 1U);
    EXPECT_EQ(monitor.Recent().Rows().front().checkName, "First");
    f.clock.AdvanceMs(5000);
    Append(logPath, "error on disk\n");
    monitor.CheckAllFiles(f.context);
    EXPECT_EQ(f.RecordedAlerts(), 2U);
}

// The real thread: started by the host's handshake, woken by inotify long before its
// one-hour poll, stopped at once.
TEST_F(LogFileMonitorTest, TheThreadIsWokenByChangesAndStopsPromptly) {
    test::WriteFile(logPath, "");
    AddCheck(1, logPath, "App errors", {"error"});
    f.registry.WriteNumber(config::kProductKey, config::value::kLogFilePollInterval, 3600);
    std::atomic<bool> initialised{false};
    f.context.SetComponentStatusSink([&](int code, std::string_view text) {
        if (code == kLogFileComponent && text.find("Initialising monitoring") == 0) {
            initialised = true;
        }
    });
    std::thread worker([&] { VerifyLogFiles(f.context); });
    f.context.ResumeAll();
    EXPECT_TRUE(test::WaitUntil([&] { return initialised.load(); }, 10s));
    std::this_thread::sleep_for(300ms);  // positioned and waiting
    Append(logPath, "error seen through inotify\n");
    EXPECT_TRUE(test::WaitUntil([&] { return f.RecordedAlerts() == 1; }, 20s));
    const auto stopAt = std::chrono::steady_clock::now();
    f.context.stopEvent.Set();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 5s);
    EXPECT_TRUE(logs.Contains("The Tessel Monitor is being shutdown", "kvZNLogFile"));
}

}  // namespace
}  // namespace kvzn::logmon
