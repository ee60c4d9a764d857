// The event log monitor over the in-memory journal: logs that cannot be opened, one entry
// seen through two logs, read failures, shared log entries and the status page rows.
#include "logmon/event_log_monitor.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#include "platform/fake/fake_journal.h"
#include "platform/profile_file.h"
#include "service/config_status.h"
#include "support/service_fixture.h"

namespace kvzn::logmon {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields Lp(const std::string& message) {
    return {{"MESSAGE", message}, {"SYSLOG_IDENTIFIER", "lp"}, {"PRIORITY", "3"}, {"_PID", "77"}};
}

class EventLogMonitorTest : public ::testing::Test {
  protected:
    EventLogMonitorTest()
        : store(std::make_shared<platform::FakeJournalStore>()),
          monitor([this](const std::optional<std::string>&)
                      -> platform::Result<std::unique_ptr<platform::Journal>> {
              if (failOpens > 0) {
                  --failOpens;
                  return platform::Status::Error(ENOENT, "no journal");
              }
              return std::unique_ptr<platform::Journal>(
                  std::make_unique<platform::FakeJournal>(store));
          }) {
        f.context.enableWebReports = true;
    }
    void AddCheck(int n, uint32_t type, const std::string& file, const std::string& name,
                  const std::string& include) {
        const std::string key = config::SubKey(config::subkey::kLogs) + "\\Log" + std::to_string(n);
        f.registry.WriteNumber(key, "LogType", type);
        f.registry.WriteFlag(key, "Enabled", 1);
        f.registry.WriteText(key, "File", file);
        f.registry.WriteText(key, "Name", name);
        if (!include.empty()) {
            f.registry.WriteText(key, "KeywordInclude1", include);
        }
    }
    void Start() {
        monitor.ReadConfiguration(f.context);
        monitor.Prepare(f.context);
    }
    std::vector<std::string> RecentChecks() const {
        std::vector<std::string> names;
        for (const RecentRecord& row : monitor.Recent().Rows()) {
            names.insert(names.begin(), row.checkName);
        }
        return names;
    }

    test::ServiceFixture f;
    test::LogCapture logs;
    std::shared_ptr<platform::FakeJournalStore> store;
    int failOpens = 0;
    EventLogMonitor monitor;
};

TEST_F(EventLogMonitorTest, ALogThatCannotBeOpenedIsReportedAndTheOthersRun) {
    AddCheck(1, 5, "backup", "Backup", "failed");
    AddCheck(2, 0, "Application", "Paper", "paper");
    failOpens = 1;
    Start();
    EXPECT_TRUE(logs.Contains("The event log backup could not be accessed."));
    EXPECT_TRUE(logs.Contains("Warning: Unable to monitor the Windows Event Log: backup"));
    EXPECT_EQ(
        platform::GetProfileString("EventLogs", "Title1", "", service::ConfigStatusPath(f.context)),
        "backup");
    ASSERT_EQ(f.RecordedAlerts(), 1U);  // the configuration alert

    store->Append(Lp("paper out"));
    monitor.ProcessAll(f.context);
    EXPECT_EQ(f.RecordedAlerts(), 2U);
    EXPECT_FALSE(monitor.Logs()[0].available);
    EXPECT_TRUE(monitor.Logs()[1].available);
}

TEST_F(EventLogMonitorTest, OneEntrySeenThroughTwoLogs) {
    AddCheck(1, 0, "Application", "Paper", "paper");
    AddCheck(2, 5, "SYSLOG_IDENTIFIER=lp", "Printer", "");
    AddCheck(3, 5, "syslog_identifier=LP", "Printer toner", "toner");
    Start();
    // "SYSLOG_IDENTIFIER=lp" and "syslog_identifier=LP" are one log entry (names compare
    // without regard to case), holding two checks.
    ASSERT_EQ(monitor.Logs().size(), 2U);
    EXPECT_EQ(monitor.Logs()[1].checks.size(), 2U);

    store->Append(Lp("paper out"));  // both logs want it: alerted once
    store->Append(Lp("toner low"));  // Application has no interest: the other log alerts
    monitor.ProcessAll(f.context);
    EXPECT_EQ(RecentChecks(), (std::vector<std::string>{"Paper", "Printer", "Printer toner"}));
}

TEST_F(EventLogMonitorTest, AReadFailureLosesNothing) {
    AddCheck(1, 0, "Application", "Paper", "paper");
    Start();
    store->Append(Lp("paper one"));
    store->Append(Lp("paper two"));
    store->FailReads(1);
    monitor.ProcessAll(f.context);
    EXPECT_TRUE(logs.Contains("The Application Event Log could not be read"));
    EXPECT_EQ(f.RecordedAlerts(), 0U);
    monitor.ProcessAll(f.context);
    EXPECT_EQ(f.RecordedAlerts(), 2U);
}

TEST_F(EventLogMonitorTest, StatusPageRows) {
    test::ScopedEnv tz{"TZ", "UTC0"};
    ::tzset();
    std::ostringstream empty;
    service::ReportRequest none{empty};
    monitor.WriteWebData(f.context, none);
    EXPECT_NE(empty.str().find("Not being monitored or no data currently available ..."),
              std::string::npos);

    AddCheck(1, 0, "Application", "Paper <A&B>", "paper");
    Start();
    std::ostringstream before;
    service::ReportRequest first{before};
    monitor.WriteWebData(f.context, first);
    EXPECT_NE(before.str().find("No entries logged since Korvane was started ..."),
              std::string::npos);

    store->Append(Lp("paper <jam>"));
    monitor.ProcessAll(f.context);
    std::ostringstream after;
    service::ReportRequest second{after};
    monitor.WriteWebData(f.context, second);
    EXPECT_NE(after.str().find("<td>Paper &lt;A&amp;B&gt;</td><td>01/01/2026"), std::string::npos)
        << after.str();
    EXPECT_NE(after.str().find("paper &lt;jam&gt; (Event ID: 0, Source: lp)"), std::string::npos);
}

}  // namespace
}  // namespace kvzn::logmon
