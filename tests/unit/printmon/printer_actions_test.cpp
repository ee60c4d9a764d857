// The printer responses over the in-memory spooler: each printer and job code with its
// status line, spooler call and description, the failure alerts, owner notices, the hand-over
// to the common runner and the wait after an action.
#include "printmon/printer_actions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "alerting/dispatcher.h"
#include "config/registry_names.h"
#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kTitle = "Check Print Queue Length";
constexpr const char* kState = "Queue length 12 exceeds 10";

class PrinterActionsTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    PrinterActionsTest() {
        context.SetComponentStatusSink([this](int code, std::string_view text) {
            std::scoped_lock lock(linesMutex_);
            lines_.push_back(std::to_string(code) + " " + std::string(text));
        });
        spooler.SetPrinter({.name = "Laser1", .deviceUri = "socket://laser1"});
        spooler.SetPrinter({.name = "Laser2", .deviceUri = "socket://laser2"});
        env.printActionWaitTime = 0;  // the wait has tests of its own
        env.ownerNotifier = [this](const std::string& user, const std::string& text) {
            notices.emplace_back(user, text);
        };
    }

    static PrinterCheck Check(uint32_t code, std::string command = {}, bool notifyOwner = false) {
        PrinterCheck check;
        check.title = kTitle;
        check.fields.enabled = true;
        check.fields.alertLevel = 8;
        check.fields.actionToTake = code;
        check.fields.command = std::move(command);
        check.notifyOwner = notifyOwner;
        return check;
    }

    struct Outcome {
        unsigned result = 0;
        std::optional<std::string> description;
    };
    Outcome Run(PrinterCheck check, int jobId = 0,
                std::optional<std::string> document = std::nullopt,
                std::optional<std::string> user = std::nullopt) {
        Outcome outcome;
        auto handle = OpenPrinter(session, "Laser1");
        outcome.result =
            RunSpecifiedPrinterActions(env, handle ? &*handle : nullptr, kState, jobId, document,
                                       user, "Laser1", check, outcome.description);
        return outcome;
    }

    // The spooler calls other than the snapshot reads of the session.
    std::vector<std::string> Operations() {
        std::vector<std::string> calls = spooler.Calls();
        std::erase(calls, "Snapshot");
        return calls;
    }
    std::vector<std::string> Lines() {
        std::scoped_lock lock(linesMutex_);
        return lines_;
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(alerting::kRecordSection, key, "<none>",
                                          alerting::Alerts(context).store.RecordPath(slot));
    }
    const platform::PrinterQueue& Queue(const std::string& name) {
        auto snapshot = spooler.Snapshot();
        EXPECT_TRUE(snapshot.ok());
        snapshot_ = *snapshot;
        return *snapshot_.Find(name);
    }

    platform::FakeSpooler spooler;
    SpoolerSession session{spooler};
    PrintEnv env{context, session};
    std::vector<std::pair<std::string, std::string>> notices;

  private:
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
    platform::SpoolerSnapshot snapshot_;
};

TEST_F(PrinterActionsTest, PrinterCodesActOnThePrinterAndDescribeWhatTheyDid) {
    struct Case {
        uint32_t code;
        std::string command;
        std::string line;
        std::string call;
        std::string done;
    };
    const std::vector<Case> cases{
        {5, "", "Pausing the printer Laser1", "PausePrinter Laser1", "paused the printer"},
        {6, "", "Resuming operation of printer Laser1", "ResumePrinter Laser1",
         "resumed the printer"},
        {7, "", "Taking the print queue Laser1 off-line", "SetOffline Laser1",
         "taken the printer off-line"},
        {8, "", "Bringing the print queue Laser1 on-line", "SetOnline Laser1",
         "brought the printer on-line"},
        {9, "", "Deleting all jobs from printer Laser1", "PurgeJobs Laser1",
         "purged all jobs from the printers print queue"},
        {10, "socket://laser2", "Redirecting the printer Laser1 to socket://laser2",
         "Redirect Laser1 socket://laser2", "redirected the queue to socket://laser2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_TRUE(session.Current().ok());
        const int reads = session.Reads();
        spooler.ClearCalls();

        const Outcome outcome = Run(Check(c.code, c.command));
        EXPECT_EQ(outcome.result, 2u);
        EXPECT_EQ(outcome.description, "The Korvane/Tessel Monitor has automatically " + c.done +
                                           " in response to the error");
        EXPECT_EQ(Lines().back(), "25 " + c.line);
        EXPECT_EQ(Operations(), std::vector<std::string>{c.call});
        ASSERT_TRUE(session.Current().ok());
        EXPECT_EQ(session.Reads(), reads + 1) << "the caller's re-check reads the spooler again";
    }
    EXPECT_EQ(Queue("Laser1").printer.deviceUri, "socket://laser2");
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(PrinterActionsTest, JobCodesActOnTheJobOfThatPrinter) {
    struct Case {
        uint32_t code;
        std::string line;
        std::string method;
        std::string done;
    };
    const std::vector<Case> cases{
        {11, "Pausing print job ", "PauseJob", "paused"},
        {12, "Resuming print job ", "ResumeJob", "resumed"},
        {13, "Restarting print job ", "RestartJob", "restarted"},
        {14, "Deleting print job ", "DeleteJob", "deleted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const int id = spooler.AddJob({.printer = "Laser1",
                                       .document = "Report.doc",
                                       .user = "alice",
                                       .status = platform::kJobPaused,
                                       .state = platform::kIppJobHeld});
        spooler.ClearCalls();
        ASSERT_TRUE(session.Current().ok());
        const int reads = session.Reads();

        const Outcome outcome = Run(Check(c.code), id, "Report.doc", "alice");
        EXPECT_EQ(outcome.result, 2u);
        EXPECT_EQ(outcome.description, "The Korvane/Tessel Monitor has automatically " + c.done +
                                           " the print job(s) in response to the error");
        EXPECT_EQ(Lines().back(), "25 " + c.line + std::to_string(id) + " on printer Laser1");
        EXPECT_EQ(Operations(),
                  std::vector<std::string>{c.method + " Laser1 " + std::to_string(id)});
        ASSERT_TRUE(session.Current().ok());
        EXPECT_EQ(session.Reads(), reads + 1) << "the caller's re-check reads the spooler again";
    }
    EXPECT_TRUE(notices.empty()) << "NotifyOwner is 0";
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(PrinterActionsTest, FailedOperationRaisesOneConfigurationErrorAlert) {
    const int job = spooler.AddJob({.printer = "Laser1", .document = "Report.doc"});
    const std::string tail =
        " in response to the failure of check Check Print Queue Length. "
        "The original error was Queue length 12 exceeds 10 ...";
    const std::string head = "The Korvane/Tessel Monitor was unable to automatically ";
    const std::vector<std::pair<uint32_t, std::string>> cases{
        {5, "pause the printer Laser1"},
        {6, "resume the printer Laser1"},
        {7, "take the printer Laser1 off-line"},
        {8, "bring the printer Laser1 on-line"},
        {9, "purge queued jobs from the printer Laser1"},
        {10, "requeue jobs for the printer Laser1"},
        {11, "pause the print job Report.doc on printer Laser1"},
        {12, "resume the print job Report.doc on printer Laser1"},
        {13, "restart the print job Report.doc on printer Laser1"},
        {14, "delete the print job Report.doc on printer Laser1"},
    };
    spooler.SetFailure("*", platform::Status::Error(EACCES, "not allowed"));
    env.printActionWaitTime = 30;  // a failed action must not wait
    uint32_t slot = 0;
    for (const auto& [code, action] : cases) {
        SCOPED_TRACE(code);
        session.Current();  // held, failed as it is, until something invalidates it
        const int reads = session.Reads();
        const auto start = SteadyClock::now();

        const Outcome outcome = Run(Check(code, "socket://laser2"), job, "Report.doc", "alice");
        EXPECT_EQ(outcome.result, 3u);
        EXPECT_FALSE(outcome.description.has_value());
        EXPECT_LT(SteadyClock::now() - start, 2s);
        ASSERT_EQ(RecordedAlerts(), ++slot) << "exactly one alert";
        EXPECT_EQ(Key(slot, "ErrorTitle"), "Monitor/Configuration Error");
        EXPECT_EQ(Key(slot, "Message"), head + action + tail);
        EXPECT_EQ(Key(slot, "AppName"), kTitle);
        EXPECT_EQ(Key(slot, "AdditionalInfo1"), kTitle);
        EXPECT_EQ(Key(slot, "AdditionalInfo2"), "<none>");
        EXPECT_EQ(Key(slot, "ErrorType"), "2");
        EXPECT_EQ(Key(slot, "AlertLevel"), "8");
        EXPECT_EQ(Key(slot, "AlertAction"), std::to_string(code));
        EXPECT_EQ(Key(slot, "Auto-Response"), "0");
        session.Current();
        EXPECT_EQ(session.Reads(), reads + 1) << "read again after a failed action too";
    }
    EXPECT_TRUE(notices.empty());
}

TEST_F(PrinterActionsTest, RedirectWithoutPortIsLoggedAndAlerted) {
    test::LogCapture log;
    spooler.ClearCalls();
    const Outcome outcome = Run(Check(10, ""));
    EXPECT_EQ(outcome.result, 3u);
    EXPECT_FALSE(outcome.description.has_value());
    EXPECT_TRUE(Operations().empty());

    bool logged = false;
    for (const auto& record : log.Records()) {
        if (record.message ==
            "Cannot redirect the print queue for printer Laser1because no port was specified") {
            logged = record.level == 1 && record.module == "kvZNPrintServerMonitor" &&
                     record.function == "RunSpecifiedPrinterActions";
        }
    }
    EXPECT_TRUE(logged);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(1, "Message"),
              "The Korvane/Tessel Monitor was unable to automatically requeue jobs for the "
              "printer Laser1 in response to the failure of check Check Print Queue Length. The "
              "original error was Queue length 12 exceeds 10 ...");
}

TEST_F(PrinterActionsTest, RedirectToAPortNotOfferedChangesNothing) {
    uint32_t slot = 0;
    for (const char* port : {"file:///etc/passwd", "socket://elsewhere", "FILE:/tmp/out"}) {
        SCOPED_TRACE(port);
        test::LogCapture log;
        const Outcome outcome = Run(Check(10, port));
        EXPECT_EQ(outcome.result, 3u);
        EXPECT_FALSE(outcome.description.has_value());
        ASSERT_EQ(RecordedAlerts(), ++slot);
        EXPECT_NE(Key(slot, "Message").find("unable to automatically requeue jobs"),
                  std::string::npos);
        EXPECT_TRUE(
            log.Contains("Unable to set new printer information for printer Laser1. "
                         "Error 22",
                         "kvZNPrintHTML"));
        EXPECT_EQ(Queue("Laser1").printer.deviceUri, "socket://laser1");
    }
}

TEST_F(PrinterActionsTest, JobCodesWithoutJobDetailsAlertAndTouchNothing) {
    spooler.ClearCalls();
    const Outcome outcome = Run(Check(12), 0, std::nullopt, std::nullopt);
    EXPECT_EQ(outcome.result, 3u);
    EXPECT_FALSE(outcome.description.has_value());
    EXPECT_TRUE(Operations().empty());
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(1, "Message"),
              "The Korvane/Tessel Monitor was unable to automatically resume the print job on "
              "printer Laser1 in response to the failure of check Check Print Queue Length. No "
              "details are available for the job. The original error was Queue length 12 "
              "exceeds 10 ...");
}

TEST_F(PrinterActionsTest, OtherCodesGoToTheCommonRunnerWithoutTheWait) {
    env.printActionWaitTime = 30;
    spooler.ClearCalls();
    const auto start = SteadyClock::now();
    const Outcome outcome =
        Run(Check(3, R"(printf '%s|%s' "$KVZN_INFO1" "$KVZN_INFO2" > info.out)"), 4, "Report.doc",
            "alice");
    EXPECT_LT(SteadyClock::now() - start, 10s);
    EXPECT_EQ(outcome.result, 2u);
    ASSERT_TRUE(outcome.description.has_value());
    EXPECT_NE(outcome.description->find("automatically initiated the command"), std::string::npos);
    EXPECT_EQ(test::ReadFile(dir / "info.out"), "Laser1|Report.doc");
    EXPECT_TRUE(Operations().empty());

    const Outcome none = Run(Check(0, ""));
    EXPECT_EQ(none.result, 1u);
    EXPECT_FALSE(none.description.has_value());
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(PrinterActionsTest, OwnerIsToldOnlyWhenNotifyOwnerIsSet) {
    const int first = spooler.AddJob({.printer = "Laser1", .document = "Report.doc"});
    ASSERT_EQ(Run(Check(11, "", false), first, "Report.doc", "alice").result, 2u);
    EXPECT_EQ(Queue("Laser1").jobs[0].status, platform::kJobPaused);
    EXPECT_TRUE(notices.empty());

    const int second = spooler.AddJob({.printer = "Laser1", .document = "Minutes.doc"});
    ASSERT_EQ(Run(Check(11, "", true), second, "Minutes.doc", "bob").result, 2u);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "bob");
    EXPECT_EQ(notices[0].second,
              "Your document Minutes.doc, which was queued to be printed has been paused in "
              "response to an error detected on printer Laser1 (Queue length 12 exceeds 10). "
              "Please contact your System Administrator for further information ...");
    EXPECT_EQ(Lines().back(), "25 Notifying bob regarding print job status");

    // An empty user name gets nothing.
    ASSERT_EQ(Run(Check(14, "", true), second, "Minutes.doc", "").result, 2u);
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(PrinterActionsTest, AnOwnerNameThatIsNotOneUserGetsNoNotice) {
    // The owner is what the printing client claims: a list, or the computer's name (which
    // reaches every logged-in user), must not widen who reads the notice.
    test::LogCapture log;
    for (const char* owner : {"bob,alice", "printsrv", "bob\nalice", "-n", "bob alice"}) {
        const int job = spooler.AddJob({.printer = "Laser1", .document = "Report.doc"});
        ASSERT_EQ(Run(Check(11, "", true), job, "Report.doc", owner).result, 2u) << owner;
    }
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(log.Count("is not a single user name of this server; no notice was sent"), 5u);
    const int job = spooler.AddJob({.printer = "Laser1", .document = "Report.doc"});
    ASSERT_EQ(Run(Check(11, "", true), job, "Report.doc", "j.smith@corp").result, 2u);
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(PrinterActionsTest, WaitTimeIsReadAndWaitedAfterSuccess) {
    env.printActionWaitTime.reset();
    registry.WriteNumber(config::kProductKey, config::value::kPrintActionWaitTime, 1);
    const auto start = SteadyClock::now();
    EXPECT_EQ(Run(Check(5)).result, 2u);
    const auto took = SteadyClock::now() - start;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 2500ms);
    EXPECT_EQ(env.printActionWaitTime, 1u) << "kept for the later responses";
}

TEST_F(PrinterActionsTest, StopEndsTheWaitAtOnce) {
    env.printActionWaitTime = 60;
    std::jthread stopper([this] {
        std::this_thread::sleep_for(200ms);
        context.stopEvent.Set();
    });
    const auto start = SteadyClock::now();
    const Outcome outcome = Run(Check(5));
    const auto took = SteadyClock::now() - start;
    EXPECT_EQ(outcome.result, 2u) << "the result is returned as usual";
    EXPECT_TRUE(outcome.description.has_value());
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 1500ms);
}

TEST_F(PrinterActionsTest, LongPortIsRedirectedAndDescribedWhole) {
    const std::string port = "socket://" + std::string(400, 'p') + ":9100";
    spooler.SetDiscoveredPorts({port});
    const Outcome outcome = Run(Check(10, port));
    ASSERT_EQ(outcome.result, 2u);
    EXPECT_EQ(outcome.description,
              "The Korvane/Tessel Monitor has automatically redirected the "
              "queue to " +
                  port + " in response to the error");
    EXPECT_EQ(Lines().back(), "25 Redirecting the printer Laser1 to " + port);
    EXPECT_EQ(Queue("Laser1").printer.deviceUri, port);
}

}  // namespace
}  // namespace kvzn::printmon
