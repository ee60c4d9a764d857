// The event log monitor against real journal files written by systemd-journal-remote:
// matching by event ID, source, type and keywords, a response run, the recent records, and
// a restart in the middle of a burst.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "alerting/alert_record.h"
#include "logmon/event_log_monitor.h"
#include "support/service_fixture.h"

namespace kvzn::logmon {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;
constexpr const char* kJournalRemote = "/lib/systemd/systemd-journal-remote";

// Appends entries to DIR/test.journal through the journal export format.
class JournalWriter {
  public:
    explicit JournalWriter(std::string dir) : path_(std::move(dir) + "/test.journal") {}
    void Write(const std::vector<Fields>& entries) {
        std::string text;
        for (const Fields& fields : entries) {
            text += "__REALTIME_TIMESTAMP=" + std::to_string(++usec_) + "\n";
            for (const auto& [name, value] : fields) {
                text += name + "=" + value + "\n";
            }
            text += "\n";
        }
        const std::string command = std::string(kJournalRemote) + " -o " + path_ + " - 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "w");
        ASSERT_NE(pipe, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), pipe), text.size());
        ASSERT_EQ(::pclose(pipe), 0);
    }

  private:
    std::string path_;
    uint64_t usec_ = 1700000000000000ULL;
};

Fields App(const std::string& message, const std::string& id = "1001",
           const std::string& source = "lp", const std::string& priority = "3") {
    return {{"MESSAGE", message},   {"EVENT_ID", id}, {"SYSLOG_IDENTIFIER", source},
            {"PRIORITY", priority}, {"_PID", "4711"}, {"_TRANSPORT", "syslog"}};
}

// Stops the service after a number of records have been read: a stop in the middle of a
// burst.
class StoppingJournal final : public platform::Journal {
  public:
    StoppingJournal(std::unique_ptr<platform::Journal> inner, platform::Event& stop, int after)
        : inner_(std::move(inner)), stop_(stop), left_(after) {}
    platform::Status AddMatch(std::string_view m) override { return inner_->AddMatch(m); }
    platform::Status AddDisjunction() override { return inner_->AddDisjunction(); }
    platform::Result<std::optional<std::string>> SeekToEnd() override {
        return inner_->SeekToEnd();
    }
    platform::Result<bool> SeekAfterCursor(const std::string& c) override {
        return inner_->SeekAfterCursor(c);
    }
    platform::Result<std::optional<platform::JournalRecord>> Next() override {
        if (--left_ == 0) {
            stop_.Set();
        }
        return inner_->Next();
    }
    int ChangeDescriptor() override { return inner_->ChangeDescriptor(); }
    platform::JournalChange ProcessChanges() override { return inner_->ProcessChanges(); }

  private:
    std::unique_ptr<platform::Journal> inner_;
    platform::Event& stop_;
    int left_;
};

class EventLogJournalTest : public ::testing::Test {
  protected:
    EventLogJournalTest()
        : journalEnv("KVZN_JOURNAL_DIR", journalDir.path()), writer(journalDir.path()) {
        f.context.enableWebReports = true;
        f.registry.WriteNumber(config::kProductKey, config::value::kEventLogPollInterval, 1);
    }
    void SetUp() override {
        if (!std::filesystem::exists(kJournalRemote)) {
            GTEST_SKIP() << "systemd-journal-remote is not installed";
        }
    }
    void AddCheck(int n, uint32_t type, const std::string& file,
                  const std::map<std::string, std::string>& texts,
                  const std::map<std::string, uint32_t>& numbers = {}) {
        const std::string key = config::SubKey(config::subkey::kLogs) + "\\Log" + std::to_string(n);
        f.registry.WriteNumber(key, "LogType", type);
        f.registry.WriteFlag(key, "Enabled", 1);
        f.registry.WriteText(key, "File", file);
        for (const auto& [name, value] : texts) {
            f.registry.WriteText(key, name, value);
        }
        for (const auto& [name, value] : numbers) {
            f.registry.WriteNumber(key, name, value);
        }
    }
    std::vector<std::string> AlertMessages() {
        std::vector<std::string> messages;
        for (uint32_t n = 1; n <= f.RecordedAlerts(); ++n) {
            auto record = alerting::AlertRecord::Load(f.Alerts().store.RecordPath(n));
            messages.push_back(record.ok() ? record->message.value_or("") : "?");
        }
        return messages;
    }
    // Runs cycles until `alerts` alerts are recorded (or ten cycles passed).
    void RunUntil(EventLogMonitor& monitor, uint32_t alerts) {
        for (int i = 0; i < 10 && f.RecordedAlerts() < alerts; ++i) {
            monitor.RunCycle(f.context, 0);
        }
    }

    test::ServiceFixture f;
    test::TempDir journalDir;
    test::ScopedEnv journalEnv;
    test::LogCapture logs;
    JournalWriter writer;
};

TEST_F(EventLogJournalTest, ChecksMatchByIdSourceTypeAndKeywords) {
    writer.Write({App("paper out before the start")});
    AddCheck(1, 0, "Application",
             {{"Name", "Paper"},
              {"EventID", "1001"},
              {"Source", "LP"},
              {"KeywordInclude1", "paper"},
              {"KeywordExclude1", "tray 9"}},
             {{"EventType", 1}});
    AddCheck(2, 2, "Security", {{"Name", "Failed logons"}, {"KeywordInclude1", "login"}},
             {{"EventType", 2}});
    AddCheck(3, 5, "SYSLOG_IDENTIFIER=backup",
             {{"Name", "Backup"},
              {"KeywordInclude1", "failed"},
              {"Command", "echo ran > " + (f.dir / "response.txt")}},
             {{"ActionToTake", 3}});
    f.context.notifyRunningActions = 1;
    EventLogMonitor monitor;
    ASSERT_EQ(monitor.ReadConfiguration(f.context), 3);
    monitor.Prepare(f.context);
    ASSERT_EQ(monitor.Logs().size(), 3U);
    for (const MonitoredLog& log : monitor.Logs()) {
        EXPECT_TRUE(log.available) << log.name;
    }

    writer.Write({
        App("paper out in tray 2"),
        App("paper out, other id", "1002"),
        App("paper out from another source", "1001", "cups"),
        App("paper out as a warning", "1001", "lp", "4"),
        App("paper out in tray 9"),
        App("toner low"),
        {{"MESSAGE", "op=login acct=bob res=failed"}, {"_TRANSPORT", "audit"}},
        {{"MESSAGE", "op=login acct=amy res=success"}, {"_TRANSPORT", "audit"}},
        {{"MESSAGE", "backup of /srv failed"}, {"SYSLOG_IDENTIFIER", "backup"}, {"PRIORITY", "3"}},
        {{"MESSAGE", "backup failed elsewhere"}, {"SYSLOG_IDENTIFIER", "other"}},
    });
    RunUntil(monitor, 3);
    const std::vector<std::string> messages = AlertMessages();
    ASSERT_EQ(messages.size(), 3U);
    EXPECT_EQ(messages[0], "paper out in tray 2 (Event ID: 1001, Source: lp)");
    EXPECT_EQ(messages[1], "op=login acct=bob res=failed (Event ID: 0, Source: )");
    EXPECT_EQ(messages[2].rfind("The following error was detected in the Backup (Event Log). ", 0),
              0U)
        << messages[2];
    EXPECT_NE(messages[2].find("backup of /srv failed (Event ID: 0, Source: backup)"),
              std::string::npos);
    EXPECT_EQ(test::ReadFile(f.dir / "response.txt"), "ran\n");

    const std::vector<RecentRecord> rows = monitor.Recent().Rows();
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0].checkName, "Backup");
    EXPECT_EQ(rows[2].checkName, "Paper");
    EXPECT_EQ(rows[2].timeText.size(), 19U) << rows[2].timeText;

    // The same record again within five seconds is dropped; after them it alerts again.
    writer.Write({App("paper out in tray 2")});
    for (int i = 0; i < 2; ++i) {
        monitor.RunCycle(f.context, 0);
    }
    EXPECT_EQ(f.RecordedAlerts(), 3U);
    f.clock.AdvanceMs(5000);
    writer.Write({App("paper out in tray 2")});
    RunUntil(monitor, 4);
    EXPECT_EQ(f.RecordedAlerts(), 4U);
}

TEST_F(EventLogJournalTest, ARestartInTheMiddleOfABurstLosesAndRepeatsNothing) {
    writer.Write({App("paper out before the first start")});
    AddCheck(1, 0, "Application", {{"Name", "Paper"}, {"KeywordInclude1", "paper"}});
    {
        EventLogMonitor first;
        first.ReadConfiguration(f.context);
        first.Prepare(f.context);
    }
    // Written while the service was stopped: read at the next start.
    writer.Write({App("paper out while stopped")});

    std::vector<Fields> burst;
    for (int i = 0; i < 40; ++i) {
        burst.push_back(App("paper out number " + std::to_string(i)));
    }
    EventLogMonitor second([&](const std::optional<std::string>& dir)
                               -> platform::Result<std::unique_ptr<platform::Journal>> {
        auto journal = platform::OpenJournal(dir);
        if (!journal.ok()) {
            return journal.status();
        }
        // Prepare reads nothing; the 18th record read stops the service.
        return std::unique_ptr<platform::Journal>(
            std::make_unique<StoppingJournal>(std::move(*journal), f.context.stopEvent, 18));
    });
    second.ReadConfiguration(f.context);
    second.Prepare(f.context);
    writer.Write(burst);
    second.RunCycle(f.context, 0);
    ASSERT_TRUE(f.context.Stopping());
    const uint32_t beforeRestart = f.RecordedAlerts();
    EXPECT_GT(beforeRestart, 5U);
    EXPECT_LT(beforeRestart, 41U);

    f.context.stopEvent.Reset();
    EventLogMonitor third;
    third.ReadConfiguration(f.context);
    third.Prepare(f.context);
    RunUntil(third, 41);

    std::vector<std::string> expected = {"paper out while stopped (Event ID: 1001, Source: lp)"};
    for (int i = 0; i < 40; ++i) {
        expected.push_back("paper out number " + std::to_string(i) +
                           " (Event ID: 1001, Source: lp)");
    }
    EXPECT_EQ(AlertMessages(), expected);
}

TEST_F(EventLogJournalTest, AVacuumedCursorContinuesWithTheOldestRemainingRecord) {
    AddCheck(1, 0, "Application", {{"Name", "Paper"}, {"KeywordInclude1", "paper"}});
    writer.Write({App("paper one")});
    {
        EventLogMonitor first;
        first.ReadConfiguration(f.context);
        first.Prepare(f.context);  // the cursor of "paper one" is saved
    }
    // The journal is replaced by a new one: the saved position is gone.
    std::filesystem::remove(journalDir / "test.journal");
    JournalWriter other(journalDir.path());
    other.Write({App("paper two"), App("paper three")});
    EventLogMonitor second;
    second.ReadConfiguration(f.context);
    second.Prepare(f.context);
    RunUntil(second, 2);
    EXPECT_TRUE(logs.Contains("is no longer in the journal"));
    EXPECT_EQ(AlertMessages(),
              (std::vector<std::string>{"paper two (Event ID: 1001, Source: lp)",
                                        "paper three (Event ID: 1001, Source: lp)"}));
}

// The thread of the service: the journal's change notification wakes it long before its
// one-hour poll, its records reach the status page through the service context, and a stop
// ends it at once.
TEST_F(EventLogJournalTest, TheThreadFollowsTheJournalAndStopsPromptly) {
    writer.Write({App("paper out before the start")});
    AddCheck(1, 0, "Application", {{"Name", "Paper"}, {"KeywordInclude1", "paper"}});
    f.registry.WriteNumber(config::kProductKey, config::value::kEventLogPollInterval, 3600);
    std::thread worker([&] { VerifyEventLogs(f.context); });
    f.context.ResumeAll();
    const bool positioned = test::WaitUntil(
        [&] {
            return std::filesystem::exists(f.context.dataDirectory +
                                           "/EventLogCursor_application.txt");
        },
        std::chrono::seconds(10));
    writer.Write({App("paper out while running")});
    std::vector<RecentRecord> rows;
    test::WaitUntil(
        [&] {
            const std::shared_ptr<EventLogMonitor> running = CurrentEventLogMonitor(f.context);
            rows = running ? running->Recent().Rows() : std::vector<RecentRecord>{};
            return !rows.empty();
        },
        std::chrono::seconds(20));
    const auto stopAt = std::chrono::steady_clock::now();
    f.context.stopEvent.Set();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(5));
    EXPECT_TRUE(positioned);
    EXPECT_EQ(f.RecordedAlerts(), 1U);
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows.front().message, "paper out while running (Event ID: 1001, Source: lp)");
}

}  // namespace
}  // namespace kvzn::logmon
