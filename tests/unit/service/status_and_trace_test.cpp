// Status reports, checkpoints and the trace console texts.
#include <gtest/gtest.h>

#include "platform/service_status.h"
#include "service/status_reporter.h"
#include "service/trace.h"
#include "support/test_support.h"

namespace kvzn::service {
namespace {

class ScriptedNotifier : public platform::StatusNotifier {
  public:
    platform::Status Notify(ServiceStatusState state, uint32_t checkpoint, uint32_t,
                            uint32_t) override {
        calls.emplace_back(state, checkpoint);
        return fail ? platform::Status::Error(EPIPE, "gone") : platform::Status::Ok();
    }
    bool fail = false;
    std::vector<std::pair<ServiceStatusState, uint32_t>> calls;
};

TEST(StatusReporterTest, PendingReportsTakeGrowingCheckpointsRunningAndStoppedTakeZero) {
    ScriptedNotifier notifier;
    StatusReporter reporter(notifier);
    EXPECT_EQ(reporter.Report(ServiceStatusState::StartPending, 0, 30000), 1);
    EXPECT_EQ(reporter.Report(ServiceStatusState::StartPending, 0, 30000), 1);
    EXPECT_EQ(reporter.Report(ServiceStatusState::Running, 0, 30000), 1);
    EXPECT_EQ(reporter.Report(ServiceStatusState::StopPending, 0, 0), 1);
    EXPECT_EQ(reporter.Report(ServiceStatusState::Stopped, 0, 0), 1);
    const std::vector<std::pair<ServiceStatusState, uint32_t>> expected = {
        {ServiceStatusState::StartPending, 1},
        {ServiceStatusState::StartPending, 2},
        {ServiceStatusState::Running, 0},
        {ServiceStatusState::StopPending, 3},
        {ServiceStatusState::Stopped, 0}};
    EXPECT_EQ(notifier.calls, expected);
}

TEST(StatusReporterTest, NoStopPendingReportFollowsTheFinalOne) {
    ScriptedNotifier notifier;
    StatusReporter reporter(notifier);
    reporter.Report(ServiceStatusState::Stopped, 0, 0);
    EXPECT_EQ(reporter.Report(ServiceStatusState::StopPending, 0, 30000), 1);
    reporter.Report(ServiceStatusState::Stopped, 0, 0);
    EXPECT_EQ(notifier.calls.size(), 2u);
    EXPECT_EQ(notifier.calls.back().first, ServiceStatusState::Stopped);
}

TEST(StatusReporterTest, StopIsAcceptedOnlyOnceStartIsNoLongerPending) {
    ScriptedNotifier notifier;
    StatusReporter reporter(notifier);
    reporter.Report(ServiceStatusState::StartPending, 0, 30000);
    EXPECT_FALSE(reporter.AcceptsStop());
    reporter.Report(ServiceStatusState::Running, 0, 30000);
    EXPECT_TRUE(reporter.AcceptsStop());
}

TEST(StatusReporterTest, TraceModeSucceedsWithoutReporting) {
    ScriptedNotifier notifier;
    notifier.fail = true;
    StatusReporter reporter(notifier);
    reporter.SetTraceMode(true);
    EXPECT_EQ(reporter.Report(ServiceStatusState::StartPending, 0, 30000), 1);
    EXPECT_EQ(reporter.Report(ServiceStatusState::Running, 0, 30000), 1);
    EXPECT_TRUE(notifier.calls.empty());
}

TEST(StatusReporterTest, AFailedReportIsLoggedAndReturnsZero) {
    test::LogCapture log;
    ScriptedNotifier notifier;
    notifier.fail = true;
    StatusReporter reporter(notifier);
    EXPECT_EQ(reporter.Report(ServiceStatusState::StartPending, 0, 30000), 0);
    EXPECT_TRUE(log.Contains("Call to SetServiceStatus failed. Error: " + std::to_string(EPIPE)));
}

TEST(NotifyMessageTest, DatagramsFollowTheNotifyProtocol) {
    using platform::NotifyMessage;
    EXPECT_EQ(NotifyMessage(ServiceStatusState::StartPending, 4, 30000, 0),
              "STATUS=Starting (checkpoint 4)\nEXTEND_TIMEOUT_USEC=30000000\n");
    EXPECT_EQ(NotifyMessage(ServiceStatusState::Running, 0, 30000, 0), "READY=1\nSTATUS=Running\n");
    EXPECT_EQ(NotifyMessage(ServiceStatusState::StopPending, 9, 0, 0),
              "STOPPING=1\nSTATUS=Stopping (checkpoint 9)\n");
    EXPECT_EQ(NotifyMessage(ServiceStatusState::Stopped, 0, 0, 0), "STATUS=Stopped\n");
}

TEST(TraceSwitchTest, SwitchesAreFoundAnywhereWithoutRegardToCase) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"/trace", 1},       {"x/TraceFull", 1}, {"-/TRACENOMSG", 1}, {"/TRACE", 1},
        {"abc/tRaCeXYZ", 1}, {"/TRAC", 0},       {"TRACE", 0},        {"", 0},
        {"/register", 0},    {"/TRAC/E", 0},
    };
    for (const auto& [arg, expected] : cases) {
        EXPECT_EQ(ParseTraceSwitch(arg), expected) << "argument '" << arg << "'";
    }
}

TEST(TraceLineTest, TimeHasAFullStopBeforeTheSeconds) {
    std::tm t{};
    t.tm_hour = 7;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(FormatTraceLine(t, "Stopping the Service. Please wait ..."),
              "07:05.09 - Stopping the Service. Please wait ...");
}

TEST(TraceBannerTest, BannerLinesInOrder) {
    const std::string stars(70, '*');
    EXPECT_EQ(TraceBannerText("Korvane/Tessel (Print) Monitor Server"),
              "\n" + stars +
                  " \n\nKorvane/Tessel (Print) Monitor Server\n"
                  "The monitor has been started in trace mode. To stop,\n"
                  "hit CTRL-C, CTRL-BRK, or close this window\n\n" +
                  stars + "\n\n");
}

}  // namespace
}  // namespace kvzn::service
