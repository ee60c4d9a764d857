// The system monitors behind the status and performance history pages: what a running disk
// space and log file monitor report, what the page says of monitors that do not run, and the
// history read from the performance log.
#include "programs/monitor_reports.h"

#include <gtest/gtest.h>

#include <fstream>

#include "logmon/log_file_monitor.h"
#include "monitors/disk_space_monitor.h"
#include "platform/fake/fake_file_watch.h"
#include "support/service_fixture.h"
#include "web/pages.h"

namespace kvzn::programs {
namespace {

constexpr size_t npos = std::string::npos;
constexpr const char* kNotMonitored = "Not being monitored or no data currently available ...";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class MonitorReportsTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    MonitorReportsTest() {
        context.enableWebReports = true;
        ConnectMonitorReports(context, sources);
    }
    web::PageRequest Request() { return {context, sources, "127.0.0.1", std::nullopt}; }
    std::string StatusPage() {
        std::string page;
        EXPECT_EQ(web::BuildHTMLStatusFile(Request(), page, false), 1);
        return page;
    }
    std::string HistoryPage(int lines) {
        std::string page;
        EXPECT_EQ(web::BuildHTMLPerformanceLoggingFile(Request(), page, lines), 1);
        return page;
    }
    void AddDisk(int n, const std::string& drive, uint32_t megabytes) {
        const std::string key =
            config::SubKey(config::subkey::kDiskSpace) + "\\Disk" + std::to_string(n);
        registry.WriteFlag(key, "Enabled", 1);
        registry.WriteText(key, "Drive", drive);
        registry.WriteNumber(key, "FreeSpace", megabytes);
        registry.WriteNumber(key, "AlertLevel", 2);
    }
    void AddLogCheck(const std::string& file, const std::string& name) {
        const std::string key = config::SubKey(config::subkey::kLogs) + "\\Log1";
        registry.WriteNumber(key, "LogType", 3);
        registry.WriteFlag(key, "Enabled", 1);
        registry.WriteText(key, "File", file);
        registry.WriteText(key, "Name", name);
        registry.WriteText(key, "KeywordInclude1", "error");
    }

    web::ReportSources sources;
    test::LogCapture log;
};

TEST_F(MonitorReportsTest, StatusPageShowsWhatTheRunningMonitorsReport) {
    // Nothing runs yet: every system monitor's table says so, in the page's order.
    std::string page = StatusPage();
    EXPECT_EQ(Count(page, kNotMonitored), 6u) << "three performance groups and three tables";
    const size_t performance = page.find("Server &amp; Software Performance ...");
    const size_t disk = page.find("Available Disk Space ...");
    const size_t events = page.find("Latest Event Log Records ...");
    const size_t files = page.find("Latest Logged Records ...");
    ASSERT_NE(performance, npos);
    EXPECT_LT(performance, disk);
    EXPECT_LT(disk, events);
    EXPECT_LT(events, files);
    EXPECT_NE(page.find("Last Checked: N/A", performance), npos);
    EXPECT_NE(page.find("<td>Print Server Performance ...</td><td>" + std::string(kNotMonitored)),
              npos);

    // A disk space monitor: "/" is short of space; the drive letter Q maps to nothing.
    AddDisk(1, "/", 600);
    AddDisk(2, "Q", 100);
    monitors::DiskSources diskSources;
    diskSources.query = [](const std::string&, platform::DiskSpace& out) {
        out.freeBytes = 500ull * 1024 * 1024;
        out.totalBytes = 10000ull * 1024 * 1024;
        return platform::Status::Ok();
    };
    auto diskMonitor = std::make_shared<monitors::DiskSpaceMonitor>(diskSources);
    ASSERT_EQ(diskMonitor->ReadConfiguration(context), 2);
    context.PublishMonitor(monitors::kDiskComponent, diskMonitor);

    // A log file monitor following a file with one check, no record alerted yet.
    const std::string path = dir / "app.log";
    test::WriteFile(path, "start\n");
    AddLogCheck(path, "App <errors>");
    auto fileMonitor = std::make_shared<logmon::LogFileMonitor>(
        [] { return std::make_unique<platform::FakeFileWatcher>(); });
    ASSERT_EQ(fileMonitor->ReadConfiguration(context), 1);
    fileMonitor->Prepare(context);
    context.PublishMonitor(logmon::kLogFileComponent, fileMonitor);
    page = StatusPage();
    EXPECT_NE(page.find("No entries logged since Korvane was started ..."), npos);

    std::ofstream(path, std::ios::app) << "error <disk> & more\nfine\n";
    clock.AdvanceMs(6000);
    fileMonitor->CheckAllFiles(context);
    page = StatusPage();
    EXPECT_NE(page.find("<th>Disk</th>"), npos);
    EXPECT_NE(page.find("<td>/</td><td class=\"problem\">500 / 10000 (600, 5%)</td>"), npos)
        << page;
    EXPECT_NE(page.find("<td>Q</td><td class=\"problem\">N/A / N/A (100, N/A)</td>"), npos);
    EXPECT_NE(page.find("<th>Log File</th><th>Message Text</th>"), npos);
    EXPECT_NE(page.find("<td>App &lt;errors&gt;</td><td>error &lt;disk&gt; &amp; more</td>"), npos);
    EXPECT_EQ(page.find("<td>fine</td>"), npos);
    EXPECT_EQ(page.find("No entries logged since"), npos);
    EXPECT_EQ(Count(page, kNotMonitored), 4u) << "performance groups and event logs";

    // Taken out when the web server ends: the page no longer reaches the monitors.
    DisconnectMonitorReports(sources);
    page = StatusPage();
    EXPECT_EQ(page.find("App &lt;errors&gt;"), npos);
    EXPECT_EQ(page.find("Available Disk Space"), npos);
    EXPECT_NE(page.find("Disk Space ..."), npos);
}

TEST_F(MonitorReportsTest, HistoryFollowsTheLoggingSettingsAndTheLog) {
    const std::string logging = config::SubKey(config::subkey::kAlertLogging);
    registry.WriteNumber(logging, config::alert_logging::kEnablePerfLogging, 0);
    EXPECT_NE(HistoryPage(10).find("Performance logging is not defined on this machine."), npos);

    const std::string path = dir / "perf.csv";
    registry.WriteNumber(logging, config::alert_logging::kEnablePerfLogging, 1);
    registry.WriteText(logging, config::alert_logging::kPerfDataFile, "\"" + path + "\"");
    EXPECT_NE(HistoryPage(10).find("Performance logging has yet to be collected."), npos);

    test::WriteFile(path,
                    "Date/Time,CPU Usage (> 90%),Available memory (< 5b)\n"
                    "07/12/2026 10:00,12,8000\n"
                    "07/12/2026 10:01,97,<b>\n"
                    "07/12/2026 10:02,14,N/A\n");
    const std::string page = HistoryPage(2);
    EXPECT_NE(page.find("<th>Date/Time</th><th>CPU Usage (&gt; 90%)</th>"), npos);
    EXPECT_EQ(page.find("<td>07/12/2026 10:00</td>"), npos) << "only the newest two lines";
    EXPECT_NE(page.find("<tr><td>07/12/2026 10:01</td><td>97</td><td>&lt;b&gt;</td></tr>"), npos)
        << page;
    EXPECT_NE(page.find("<tr><td>07/12/2026 10:02</td><td>14</td><td>N/A</td></tr>"), npos);
}

}  // namespace
}  // namespace kvzn::programs
