// The printer responses against a private cupsd: printer and job codes change the real
// queues, the session sees the effect at once, and refused requests change nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alerting/dispatcher.h"
#include "config/registry_names.h"
#include "integration/platform/private_cupsd.h"
#include "platform/profile_file.h"
#include "platform/spooler.h"
#include "printmon/printer_actions.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class PrinterActionsCupsTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (!fs::exists(test::PrivateCupsd::kProgram) || ::geteuid() != 0) {
            GTEST_SKIP() << "needs cupsd and root (backends must be owned by root)";
        }
        ASSERT_TRUE(cupsd_.Start()) << test::ReadFile(cupsd_.dir() + "/log/error_log");
        spooler_ = platform::MakeSpooler({.server = cupsd_.socket()});
        session_ = std::make_unique<SpoolerSession>(*spooler_);
        env_ = std::make_unique<PrintEnv>(PrintEnv{context, *session_, 0u, {}});
        test::WriteFile(document_, std::string(3000, 'x'));
    }

    void Admin(const std::vector<std::string>& argv) {
        const auto [status, output] = cupsd_.Client(argv);
        ASSERT_EQ(status, 0) << argv[0] << ": " << output;
    }
    int Submit(const std::string& printer, const std::string& title, bool hold = false) {
        std::string output;
        const int id = cupsd_.Submit(printer, "alice", title, document_, hold, output);
        EXPECT_NE(id, 0) << output;
        return id;
    }

    unsigned Run(const std::string& printer, uint32_t code, const std::string& command = {},
                 int jobId = 0, std::optional<std::string> document = std::nullopt) {
        PrinterCheck check;
        check.title = "Check Error Conditions";
        check.fields.alertLevel = 4;
        check.fields.actionToTake = code;
        check.fields.command = command;
        auto handle = OpenPrinter(*session_, printer);
        std::optional<std::string> description;
        return RunSpecifiedPrinterActions(*env_, handle ? &*handle : nullptr, "Printer in error",
                                          jobId, document, std::nullopt, printer, check,
                                          description);
    }
    // The printer as the session sees it now (what the caller's re-check reads).
    platform::PrinterQueue Seen(const std::string& printer) {
        auto handle = OpenPrinter(*session_, printer);
        EXPECT_TRUE(handle.has_value()) << printer;
        if (!handle) {
            return {};
        }
        auto queue = ReadPrinter(*handle);
        EXPECT_TRUE(queue.ok()) << queue.status().Text();
        return queue.ok() ? *queue : platform::PrinterQueue{};
    }
    std::optional<platform::JobInfo> SeenJob(const std::string& printer, int id) {
        for (const platform::JobInfo& job : Seen(printer).jobs) {
            if (job.id == id) {
                return job;
            }
        }
        return std::nullopt;
    }
    std::string Message(uint32_t slot) {
        return platform::GetProfileString(alerting::kRecordSection, "Message", "",
                                          alerting::Alerts(context).store.RecordPath(slot));
    }
    size_t SettledLines(const std::string& log) {
        size_t lines = cupsd_.LogLines(log).size();
        for (;;) {
            std::this_thread::sleep_for(150ms);
            const size_t now = cupsd_.LogLines(log).size();
            if (now == lines) {
                return lines;
            }
            lines = now;
        }
    }

    test::PrivateCupsd cupsd_;
    std::unique_ptr<platform::Spooler> spooler_;
    std::unique_ptr<SpoolerSession> session_;
    std::unique_ptr<PrintEnv> env_;
    std::string document_ = cupsd_.dir() + "/document.txt";
};

TEST_F(PrinterActionsCupsTest, PrinterCodesChangeTheQueue) {
    Admin({"lpadmin", "-p", "QA", "-v", "kvzntest://a", "-E"});
    Admin({"lpadmin", "-p", "QB", "-v", "kvzntest://b", "-E"});

    ASSERT_EQ(Run("QA", kPausePrinter), 2u);
    EXPECT_EQ(Seen("QA").printer.status, platform::kPrinterPaused);

    ASSERT_EQ(Run("QA", kTakeOffline), 2u);
    EXPECT_FALSE(Seen("QA").printer.accepting);
    ASSERT_EQ(Run("QA", kBringOnline), 2u);
    EXPECT_TRUE(Seen("QA").printer.accepting);

    Submit("QA", "Waiting");
    Submit("QA", "Held", true);
    session_->Invalidate();  // jobs sent behind the session's back
    ASSERT_EQ(Seen("QA").jobs.size(), 2u);
    ASSERT_EQ(Run("QA", kPurgePrinter), 2u);
    EXPECT_TRUE(Seen("QA").jobs.empty()) << "held jobs are purged too";

    ASSERT_EQ(Run("QA", kResumePrinter), 2u);
    EXPECT_EQ(Seen("QA").printer.state, platform::kIppPrinterIdle);

    ASSERT_EQ(Run("QA", kRedirectQueue, "kvzntest://b"), 2u);
    EXPECT_EQ(Seen("QA").printer.deviceUri, "kvzntest://b");

    // A file: port would let the scheduler write files as root: refused, alerted, unchanged.
    ASSERT_EQ(RecordedAlerts(), 0u);
    EXPECT_EQ(Run("QA", kRedirectQueue, "file:///etc/passwd"), 3u);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_NE(Message(1).find("unable to automatically requeue jobs for the printer QA"),
              std::string::npos);
    EXPECT_EQ(Seen("QA").printer.deviceUri, "kvzntest://b");

    EXPECT_EQ(Run("NoSuchQueue", kPausePrinter), 3u);
    EXPECT_EQ(RecordedAlerts(), 2u);
}

TEST_F(PrinterActionsCupsTest, JobCodesActOnlyOnJobsOfTheNamedPrinter) {
    Admin({"lpadmin", "-p", "QA", "-v", "kvzntest://a", "-E"});
    Admin({"lpadmin", "-p", "QB", "-v", "kvzntest://b", "-E"});
    Admin({"cupsdisable", "QA", "QB"});  // jobs stay queued
    const int a = Submit("QA", "On A");
    const int b = Submit("QB", "On B");

    ASSERT_EQ(Run("QA", kPauseDocument, "", a, "On A"), 2u);
    EXPECT_EQ(SeenJob("QA", a).value().state, platform::kIppJobHeld);
    ASSERT_EQ(Run("QA", kResumeDocument, "", a, "On A"), 2u);
    EXPECT_EQ(SeenJob("QA", a).value().state, platform::kIppJobPending);

    // A queued job is restarted by holding and releasing it.
    const size_t before = SettledLines("access_log");
    ASSERT_EQ(Run("QA", kRestartDocument, "", a, "On A"), 2u);
    SettledLines("access_log");
    const auto log = cupsd_.LogLines("access_log");
    std::vector<std::string> operations;
    for (size_t i = before; i < log.size(); ++i) {
        for (const char* op : {"Hold-Job", "Release-Job", "Restart-Job"}) {
            if (log[i].find(std::string(" ") + op + " ") != std::string::npos) {
                operations.emplace_back(op);
            }
        }
    }
    EXPECT_EQ(operations, (std::vector<std::string>{"Hold-Job", "Release-Job"}));
    EXPECT_EQ(SeenJob("QA", a).value().state, platform::kIppJobPending);

    // Job ids are global: QB's job is not QA's to delete.
    EXPECT_EQ(Run("QA", kDeleteDocument, "", b, "On B"), 3u);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_NE(Message(1).find("unable to automatically delete the print job On B on printer QA"),
              std::string::npos);
    EXPECT_TRUE(SeenJob("QB", b).has_value());

    ASSERT_EQ(Run("QA", kDeleteDocument, "", a, "On A"), 2u);
    EXPECT_FALSE(SeenJob("QA", a).has_value());
    EXPECT_TRUE(SeenJob("QB", b).has_value());
}

}  // namespace
}  // namespace kvzn::printmon
