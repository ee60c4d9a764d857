// The printer checks over a scripted spooler: texts, counting, responses and alert records.
#include "printmon/printer_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "alerting/dispatcher.h"
#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "printmon/printer_actions.h"
#include "responses/response_runner.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

using namespace platform;
namespace names = config::printer_check;

constexpr const char* kQ = "Q1";
constexpr uint32_t kNow = 5000;

struct Alert {
    std::string title, message, info2, info3, autoResponse;
};

class PrinterChecksTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    PrinterChecksTest() : session(spooler), env{context, session, std::nullopt, {}} {
        SetPrinter(0);
    }
    void SetPrinter(uint32_t status) {
        spooler.SetPrinter(PrinterInfo{.name = kQ, .status = status});
    }
    int AddJob(uint32_t status, uint64_t kb = 1, int pages = 1, std::string doc = "a.doc") {
        return spooler.AddJob(JobInfo{
            .printer = kQ, .document = doc, .status = status, .pages = pages, .size = kb * 1024});
    }
    static PrinterCheck Check(const char* title, uint32_t action = 0, uint32_t threshold = 0) {
        PrinterCheck c;
        c.title = title;
        c.fields.enabled = true;
        c.fields.alertLevel = 4;
        c.fields.actionToTake = action;
        c.fields.threshold = threshold;
        return c;
    }
    // One evaluation as the monitor runs it: a fresh snapshot, cleared status and value.
    int Run(PrinterCheck& c, bool withHandle = true, uint32_t now = kNow) {
        session.Invalidate();
        c.state.lastStatus.clear();
        c.lastValue = -1;
        auto handle = OpenPrinter(session, kQ);
        return RunPrinterCheck(env, withHandle && handle ? &*handle : nullptr, kQ, c, now);
    }
    // Runs with a handle whose every spooler read fails.
    int RunUnreadable(PrinterCheck& c) {
        PrinterHandle handle{&session, kQ};
        spooler.SetFailure("Snapshot", Status::Error(ETIMEDOUT, "no answer"));
        session.Invalidate();
        return RunPrinterCheck(env, &handle, kQ, c, kNow);
    }
    std::vector<Alert> Alerts() {
        std::vector<Alert> alerts;
        for (const auto& path : alerting::Alerts(context).store.QueuedRecords()) {
            auto key = [&](const char* k) {
                return GetProfileString(alerting::kRecordSection, k, "-", path, 4096);
            };
            if (key("ErrorTitle") != "Monitor/Configuration Error") {  // the runner's own
                EXPECT_EQ(key("AppName") + key("AdditionalInfo1") + key("ErrorType"), "Q1Q12");
            }
            alerts.push_back({key("ErrorTitle"), key("Message"), key("AdditionalInfo2"),
                              key("AdditionalInfo3"), key("Auto-Response")});
        }
        return alerts;
    }

    FakeSpooler spooler;
    SpoolerSession session;
    PrintEnv env;
};

TEST_F(PrinterChecksTest, StateChecksReadPrinterAndWaitingJobs) {
    auto expect = [&](const char* title, uint32_t printer, std::vector<uint32_t> jobs,
                      bool includePaused, int failed, const char* status) {
        SCOPED_TRACE(std::string(title) + ": " + status);
        spooler.RemovePrinter(kQ);
        SetPrinter(printer);
        for (const uint32_t bits : jobs)
            AddJob(bits);
        auto check = Check(title);
        check.includePaused = includePaused;
        EXPECT_EQ(Run(check), failed);
        EXPECT_EQ(check.state.lastStatus, status);
        EXPECT_EQ(check.state.lastAlertTick, failed ? kNow : 0u);
    };
    const char* kIssues = "OK - no issues are currently being reported (Queue On-line)";
    expect(names::kErrorConditions, kPrinterPaperOut | kPrinterPaperJam, {}, false, 1,
           "A paper jam has occurred. Printing has stopped");
    expect(names::kErrorConditions, 0, {}, false, 0, kIssues);
    expect(names::kErrorConditions, 0, {kJobPrinting, 0}, false, 0,
           "OK - no errors are currently being reported");
    expect(names::kErrorConditions, 0, {kJobPrinting, kJobUserIntervention, kJobBlocked}, false, 1,
           "User Intervention Req'd");
    expect(names::kErrorConditions, 0, {kJobPaused | kJobError, kJobPrinted | kJobOffline}, false,
           0, kIssues);
    expect(names::kErrorConditions, 0, {kJobPaused | kJobError}, true, 1,
           "Printer Error detected.");
    expect(names::kPaused, kPrinterPaused, {}, false, 1, "The printer is currently paused");
    expect(names::kPaused, kPrinterError, {kJobPaused}, false, 0, "");
    expect(names::kOffline, 0, {kJobPrinting, kJobOffline}, false, 1,
           "The print queue is currently off-line");
    expect(names::kOffline, kPrinterPaused, {kJobPaused}, false, 0, "");
    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 5u);
    EXPECT_EQ(alerts[0].title, "Printer Error");
    EXPECT_EQ(alerts[0].info2 + alerts[0].autoResponse, "-0");
    EXPECT_EQ(alerts[0].message,
              "A monitored error condition has been detected on printer Q1. A paper jam has "
              "occurred. Printing has stopped ...");
    EXPECT_EQ(alerts[3].message,
              "A monitored condition has been detected on printer Q1. The printer is currently "
              "paused ...");
}

TEST_F(PrinterChecksTest, CountBeforeActionDelaysTheAlertAndHealthResets) {
    SetPrinter(kPrinterDoorOpen);
    auto c = Check(names::kErrorConditions);
    c.fields.countBeforeAction = 2;
    EXPECT_EQ(Run(c) + Run(c), 0);
    EXPECT_EQ(Alerts().size(), 0u);
    EXPECT_EQ(Run(c), 1);
    EXPECT_EQ(Alerts().size(), 1u);
    EXPECT_EQ(Run(c, true, kNow + 1), 0);  // counting again from 0
    responses::SetLastRebootedFor(context, names::kErrorConditions);
    SetPrinter(0);
    EXPECT_EQ(Run(c), 0);
    EXPECT_EQ(c.state.failureCount + c.state.lastAlertTick, 0u);
    EXPECT_FALSE(responses::IsLastRebootedFor(context, names::kErrorConditions));
}

TEST_F(PrinterChecksTest, NoHandleAlertsEveryTimeButAnUnreadableSpoolerIsCounted) {
    auto c = Check(names::kPaused, 5 /* pause the printer */);
    c.fields.countBeforeAction = 3;
    EXPECT_EQ(Run(c, false) + Run(c, false), 2);
    EXPECT_EQ(c.state.failureCount, 0u);
    for (const auto& call : spooler.Calls())
        EXPECT_EQ(call, "Snapshot");  // no response
    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1].message,
              "A monitored condition has been detected on printer Q1. The printer cannot be "
              "accessed at the present time - paused status information is unavailable ...");

    auto status = Check(names::kErrorConditions);
    status.fields.countBeforeAction = 1;
    EXPECT_EQ(RunUnreadable(status), 0);
    EXPECT_EQ(status.state.lastStatus,
              "The status of the printer cannot be determined at the present time - the "
              "information is currently unavailable");
    EXPECT_EQ(RunUnreadable(status), 1);
}

TEST_F(PrinterChecksTest, StateCheckResponses) {
    context.notifyRunningActions = 1;
    SetPrinter(kPrinterPaused);
    auto resume = Check(names::kPaused, 6);
    EXPECT_EQ(Run(resume), 0);
    EXPECT_EQ(resume.state.lastAlertTick, kNow);  // kept after a successful response
    SetPrinter(kPrinterPaperJam);
    auto pause = Check(names::kErrorConditions, 5);
    EXPECT_EQ(Run(pause), 1);
    auto redirect = Check(names::kErrorConditions, 10);  // no port: the runner alerts
    EXPECT_EQ(Run(redirect), 1);
    auto command = Check(names::kErrorConditions, 3);
    command.fields.command = "true";
    EXPECT_EQ(Run(command), 1);

    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 4u);
    EXPECT_EQ(alerts[0].autoResponse, "1");
    EXPECT_EQ(alerts[0].message,
              "Automatic response was successful. A monitored condition was previously detected "
              "on printer Q1. The printer is currently paused. The Korvane/Tessel Monitor has "
              "automatically resumed the printer in response to the error ...");
    EXPECT_EQ(alerts[1].message,
              "Automatic response failed. A monitored error condition has been detected on "
              "printer Q1. A paper jam has occurred. Printing has stopped. The Korvane/Tessel "
              "Monitor has automatically paused the printer in response to the error but the "
              "problem persists. Further investigation is now required ...");
    EXPECT_EQ(alerts[2].title, "Monitor/Configuration Error");
    EXPECT_NE(alerts[3].message.find("stopped. The Korvane/Tessel Monitor automatically "
                                     "initiated the command true in response to the error but"),
              std::string::npos);
}

TEST_F(PrinterChecksTest, QueueLengthCountsWaitingJobs) {
    const int held = AddJob(0);
    for (const uint32_t bits : {0u, 0u, kJobPrinting, kJobPrinted})
        AddJob(bits);
    auto c = Check(names::kQueueLength, 0, 3);
    EXPECT_EQ(Run(c), 1);
    EXPECT_EQ(c.lastValue, -1);
    auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message,
              "An error has been detected on printer Q1. Print queue length (3) exceeded. There "
              "are currently 4 job(s) in the print queue ...");
    EXPECT_EQ(alerts[0].info2, "5");

    spooler.SetJob(JobInfo{.id = held, .printer = kQ, .status = kJobPaused});
    c = Check(names::kQueueLength, 9 /* purge */, 3);
    EXPECT_EQ(Run(c), 0);
    EXPECT_EQ(c.lastValue, 3);
    EXPECT_EQ(c.state.lastStatus, "");
    context.notifyRunningActions = 1;
    c.includePaused = true;
    EXPECT_EQ(Run(c), 0);
    EXPECT_EQ(c.lastValue, 0);
    EXPECT_EQ(Alerts().back().message,
              "Automatic response was successful. An error was previously detected on printer "
              "Q1. Print queue length (3) exceeded. There are currently 4 job(s) in the print "
              "queue. The Korvane/Tessel Monitor has automatically purged all jobs from the "
              "printers print queue in response to the error ...");
}

TEST_F(PrinterChecksTest, DocumentsOverTheLimitAlertOneByOne) {
    AddJob(0, 150, 1, "big.doc");
    AddJob(0, 99, 4, "small.doc");
    // 100 Kb and 1023 bytes: whole Kb are compared, so not over a 100 Kb limit.
    spooler.AddJob(JobInfo{.printer = kQ, .document = "edge.doc", .size = 100 * 1024 + 1023});
    AddJob(kJobPaused, 4000, 1, "held.doc");
    AddJob(kJobPrinting, 2048, 0, "huge.doc");
    auto size = Check(names::kDocumentSize, 0, 100);
    EXPECT_EQ(Run(size), 0);
    EXPECT_EQ(size.lastValue, 2048);
    EXPECT_EQ(size.state.lastAlertTick, kNow);
    auto pages = Check(names::kPageCount, 0, 0);
    EXPECT_EQ(Run(pages), 0);
    EXPECT_EQ(pages.lastValue, 4);

    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 6u);
    EXPECT_EQ(alerts[0].title + alerts[0].info2 + alerts[0].info3,
              "Print Document Size Errorbig.doc150");
    EXPECT_EQ(alerts[0].message,
              "The document big.doc being printed on Q1 is larger than the permitted limit. The "
              "size of this document is 150 Kb - the limit is 100 Kb");
    EXPECT_EQ(alerts[1].info2, "huge.doc");
    EXPECT_EQ(alerts[5].message,
              "The document huge.doc being printed on Q1 contains more pages than the permitted "
              "limit. The no. pages in this document is 1 pages - the limit is 0 pages");
}

TEST_F(PrinterChecksTest, DocumentResponseActsOnOffendersOnly) {
    context.notifyRunningActions = 1;
    const int big = AddJob(0, 101);
    AddJob(0, 100);
    const int huge = AddJob(0, 2048);
    auto c = Check(names::kDocumentSize, 14 /* delete the document */, 100);
    spooler.ClearCalls();
    EXPECT_EQ(Run(c), 0);
    std::vector<std::string> deleted;
    std::ranges::copy_if(spooler.Calls(), std::back_inserter(deleted),
                         [](const std::string& call) { return call.starts_with("DeleteJob"); });
    EXPECT_EQ(deleted, (std::vector<std::string>{"DeleteJob Q1 " + std::to_string(big),
                                                 "DeleteJob Q1 " + std::to_string(huge)}));
    EXPECT_EQ(c.lastValue, 100);
    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title + alerts[0].autoResponse, "Printer Error1");
    EXPECT_EQ(alerts[0].message,
              "Automatic response was successful. One or more documents being printed on Q1 were "
              "larger than the permitted limit. The Korvane/Tessel Monitor has automatically "
              "deleted the print job(s) in response to the error ...");
}

TEST_F(PrinterChecksTest, QueueChecksAccessFailures) {
    test::LogCapture log;
    auto length = Check(names::kQueueLength);
    length.fields.countBeforeAction = 1;  // counted like any failure
    auto pages = Check(names::kPageCount);
    EXPECT_EQ(Run(length, false), 0);
    EXPECT_EQ(Run(pages, false), 1);  // the document checks alert at once
    EXPECT_EQ(RunUnreadable(length), 1);
    EXPECT_EQ(length.lastValue, -1);
    EXPECT_EQ(RunUnreadable(pages), 1);
    EXPECT_EQ(pages.state.lastStatus,
              "The printer cannot be accessed at the present time - printer information is "
              "currently unavailable");
    EXPECT_TRUE(log.Contains(pages.state.lastStatus, kPrintServerModule));
    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0].message,
              "An error has been detected on printer Q1, whilst checking print queue "
              "information. The printer cannot be accessed at the present time - status "
              "information is unavailable.");
    EXPECT_EQ(alerts[1].message,
              "An error has been detected on printer Q1. Unable to retrieve status information "
              "for the printer ...");
    EXPECT_EQ(alerts[1].info2, "0");
}

TEST_F(PrinterChecksTest, TitleChoosesTheCheck) {
    SetPrinter(kPrinterPaused);
    AddJob(0, 2048, 3);
    const struct {
        const char* title;
        int failed;
        int32_t value;
    } cases[] = {
        {names::kErrorConditions, 0, -1}, {names::kQueueLength, 0, 1},
        {names::kDocumentSize, 0, 2048},  {names::kPageCount, 0, 3},
        {names::kPaused, 1, -1},          {names::kOffline, 0, -1},
        {"Check Something Else", 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        auto check = Check(c.title, 0, 10000);
        EXPECT_EQ(Run(check), c.failed);
        EXPECT_EQ(check.lastValue, c.value);
    }
    EXPECT_EQ(Alerts().size(), 1u);
}

// The stalled-printing check follows the printing job's progress: any change (pages, sheets,
// job state, printer message, another job) starts the clock again; only a job unchanged for
// longer than the threshold fails, and the restart-job response gets that job.
TEST_F(PrinterChecksTest, StalledPrintingFailsOnlyAfterTheThresholdWithoutProgress) {
    spooler.SetPrinter(PrinterInfo{
        .name = kQ, .state = kIppPrinterProcessing, .stateMessage = "The printer is in use."});
    const int id = spooler.AddJob(JobInfo{.printer = kQ,
                                          .document = "plan.pdf",
                                          .user = "alice",
                                          .status = kJobPrinting,
                                          .state = kIppJobProcessing});
    AddJob(0);  // a waiting job behind it
    auto check = Check(names::kStalledPrinting, kRestartDocument, 5);
    constexpr uint32_t kMinute = 60000;
    const uint32_t start = 0xFFFFFFFFu - 2 * kMinute;  // the tick count wraps meanwhile

    EXPECT_EQ(Run(check, true, start), 0);
    EXPECT_EQ(Run(check, true, start + 4 * kMinute), 0);
    // Progress: a page came out; the five minutes start again.
    JobInfo printing{.id = id,
                     .printer = kQ,
                     .document = "plan.pdf",
                     .user = "alice",
                     .status = kJobPrinting,
                     .state = kIppJobProcessing,
                     .pagesPrinted = 1};
    spooler.SetJob(printing);
    EXPECT_EQ(Run(check, true, start + 5 * kMinute), 0);
    EXPECT_EQ(Run(check, true, start + 10 * kMinute), 0);
    // A new printer message is progress as well.
    spooler.SetPrinter(PrinterInfo{.name = kQ,
                                   .state = kIppPrinterProcessing,
                                   .stateMessage = "The printer is unreachable at this time."});
    EXPECT_EQ(Run(check, true, start + 10 * kMinute + 1), 0);
    EXPECT_TRUE(Alerts().empty());

    // Unchanged for six minutes: the restart-job response acts on the printing job, which
    // then waits again, so the re-check passes and no failure alert is raised.
    spooler.ClearCalls();
    EXPECT_EQ(Run(check, true, start + 16 * kMinute + 2), 0);
    const auto calls = spooler.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "RestartJob Q1 " + std::to_string(id)),
              calls.end());

    // Without a response the failure is alerted with the job and the printer's message.
    spooler.SetJob(printing);
    auto plain = Check(names::kStalledPrinting, 0, 5);
    EXPECT_EQ(Run(plain, true, 1000), 0);
    EXPECT_EQ(Run(plain, true, 1000 + 5 * kMinute), 0);  // exactly the threshold: not yet
    EXPECT_EQ(Run(plain, true, 1000 + 7 * kMinute), 1);
    const auto alerts = Alerts();
    ASSERT_FALSE(alerts.empty());
    EXPECT_EQ(alerts.back().title, "Printer Error");
    EXPECT_EQ(alerts.back().autoResponse, "0");
    EXPECT_EQ(alerts.back().message,
              "A monitored condition has been detected on printer Q1. Job " + std::to_string(id) +
                  " (plan.pdf, owned by alice) has made no progress for 7 minute(s). The "
                  "printer reports: The printer is unreachable at this time. ...");

    // No job being printed: nothing to judge, and the record of the old job is dropped.
    spooler.DeleteJob(kQ, id);
    EXPECT_EQ(Run(plain, true, 1000 + 20 * kMinute), 0);
    EXPECT_EQ(plain.progress.jobId, 0);
    EXPECT_EQ(Run(plain, false), 1);  // no handle: alerted at once
    EXPECT_EQ(plain.state.lastStatus,
              "The printer cannot be accessed at the present time - printing progress "
              "information is unavailable");
}

}  // namespace
}  // namespace kvzn::printmon
