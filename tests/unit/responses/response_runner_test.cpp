// The response runner with a fake restarter and a fake service manager: repeat-reboot
// protection, the restart flag, service starts, the response and level vocabulary.
#include "responses/response_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "alerting/dispatcher.h"
#include "platform/fake/fake_service_manager.h"
#include "platform/fake/fake_system_restart.h"
#include "platform/profile_file.h"
#include "platform/service_aliases.h"
#include "support/service_fixture.h"

namespace kvzn::responses {
namespace {

using platform::ServiceState;

std::string Cancelled(const std::string& check) {
    return "Warning: The Korvane/Tessel Monitor was due to restart the local server in response "
           "to the test " +
           check +
           " which failed. However, because a previous reboot did not resolve the problem, the "
           "action was cancelled. Further investigation is now required ...";
}
std::string Restarting(const std::string& check) {
    return "Warning: The Korvane/Tessel Monitor is restarting the local server. This is in "
           "response to the test " +
           check + " which failed...";
}

class ResponseRunnerTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    ResponseRunnerTest() {
        context.restarter = &restarter;
        context.serviceManager = &services;
        context.SetComponentStatusSink([this](int code, std::string_view text) {
            std::scoped_lock lock(linesMutex);
            lines.push_back(std::to_string(code) + " " + std::string(text));
        });
    }

    unsigned Reboot(const std::string& check, std::string* description = nullptr) {
        std::string ignored;
        return RunSpecifiedActions(context, alerting::kCategoryPerformance, 4, kResponseReboot,
                                   check, "CPU above 90%", 1, "", check, std::nullopt, std::nullopt,
                                   description ? *description : ignored);
    }
    unsigned Run(uint32_t code, const std::string& command, std::string& description) {
        return RunSpecifiedActions(context, alerting::kCategoryPrintServer, 8, code, "Spool Check",
                                   "Spooler not running", 0, command, "Spooler", std::nullopt,
                                   std::nullopt, description);
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(alerting::kRecordSection, key, "<none>",
                                          alerting::Alerts(context).store.RecordPath(slot));
    }
    std::string LastRebootedFor() {
        std::string name = "<missing>";
        registry.ReadText(config::kProductKey, config::value::kLastRebootedFor, name);
        return name;
    }
    bool HasLine(const std::string& line) {
        std::scoped_lock lock(linesMutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    platform::FakeSystemRestarter restarter;
    platform::FakeServiceManager services;
    std::mutex linesMutex;
    std::vector<std::string> lines;
};

TEST_F(ResponseRunnerTest, RestartIsNotRepeatedForTheSameCheckUntilItWasHealthy) {
    test::LogCapture log;
    std::string description = "untouched";
    EXPECT_EQ(Reboot("CPU Load", &description), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 1);
    EXPECT_EQ(description, "untouched");
    EXPECT_EQ(clock.SleptMs(), 30000u);
    EXPECT_EQ(LastRebootedFor(), "CPU Load");
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Server is Rebooting");
    EXPECT_EQ(Key(1, "Message"), Restarting("CPU Load"));
    EXPECT_EQ(Key(1, "AppName"), "CPU Load");
    EXPECT_EQ(Key(1, "AdditionalInfo1"), "CPU Load");
    EXPECT_EQ(Key(1, "AdditionalInfo2"), "<none>");
    EXPECT_EQ(Key(1, "ErrorType"), "8");
    EXPECT_EQ(Key(1, "AlertLevel"), "4");
    EXPECT_EQ(Key(1, "AlertAction"), "2");
    EXPECT_EQ(Key(1, "Auto-Response"), "0");
    EXPECT_TRUE(HasLine("12 Checking for repeat reboot for check CPU Load"));
    EXPECT_TRUE(HasLine("12 The server will be restarted in response to the check CPU Load"));
    EXPECT_EQ(log.Count("The Tessel Monitor is restarting the Windows installation in response "
                        "to the check: CPU Load"),
              1u);

    // While the server goes down every further request is refused silently.
    EXPECT_TRUE(RestartUnderWay(context));
    EXPECT_EQ(Reboot("Disk C"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 1);
    EXPECT_EQ(RecordedAlerts(), 1u);

    // The service came back (a new process) and the check fails again.
    context.restartUnderWay = false;  // a new run
    EXPECT_EQ(Reboot("cpu load"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 1);
    EXPECT_FALSE(RestartUnderWay(context));
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Key(2, "ErrorTitle"), "Server is Rebooting");
    EXPECT_EQ(Key(2, "Message"), Cancelled("cpu load"));
    EXPECT_TRUE(HasLine("12 Repeat reboot detected - the server will not be restarted"));
    // It keeps being refused while the check has not passed.
    EXPECT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 1);
    EXPECT_EQ(Key(3, "Message"), Cancelled("CPU Load"));

    // Healthy once: another check's name leaves it, its own name clears it.
    ResetLastRebootedFor(context, "Disk C");
    EXPECT_EQ(LastRebootedFor(), "CPU Load");
    ResetLastRebootedFor(context, "CPU LOAD");
    EXPECT_EQ(LastRebootedFor(), "");
    EXPECT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 2);
}

// The service stops while the restart waits for its alert to go out: no restart, and no
// name left behind that would refuse the next restart for the check as a repeat.
TEST_F(ResponseRunnerTest, AStopDuringTheWaitBeforeTheRestartCancelsIt) {
    test::LogCapture log;
    clock.SetSleepHook([this] { context.stopEvent.Set(); });
    EXPECT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 0);
    EXPECT_EQ(LastRebootedFor(), "");
    EXPECT_FALSE(RestartUnderWay(context));
    EXPECT_TRUE(
        log.Contains("The restart of the server in response to the check CPU Load was "
                     "cancelled because the service is stopping",
                     "kvZNShared"));
    EXPECT_EQ(RecordedAlerts(), 1u);  // the "Server is Rebooting" warning had gone out

    // The next run: the same check restarts the server instead of being refused.
    clock.SetSleepHook({});
    context.stopEvent.Reset();
    EXPECT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 1);
    EXPECT_EQ(Key(2, "Message"), Restarting("CPU Load"));
}

TEST_F(ResponseRunnerTest, RestartForAnotherCheckReplacesTheRecordedName) {
    ASSERT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    context.restartUnderWay = false;  // a new run
    ASSERT_EQ(Reboot("Disk C"), kRunnerAlerted);
    EXPECT_EQ(LastRebootedFor(), "Disk C");
    EXPECT_FALSE(IsLastRebootedFor(context, "CPU Load"));
    context.restartUnderWay = false;  // a new run
    EXPECT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 3);
    EXPECT_EQ(LastRebootedFor(), "CPU Load");
}

TEST_F(ResponseRunnerTest, LastRebootedForComparesNamesAsStored) {
    EXPECT_FALSE(IsLastRebootedFor(context, ""));  // nothing stored is no name
    const std::string longName(300, 'x');
    SetLastRebootedFor(context, longName);
    EXPECT_EQ(LastRebootedFor(), std::string(259, 'x'));
    EXPECT_TRUE(IsLastRebootedFor(context, longName));
    EXPECT_FALSE(IsLastRebootedFor(context, std::string(258, 'x') + "y"));
    ResetLastRebootedFor(context, std::string(300, 'X'));
    EXPECT_EQ(LastRebootedFor(), "");
}

TEST_F(ResponseRunnerTest, ConcurrentRestartRequestsRestartOnce) {
    constexpr int kRounds = 30;
    constexpr int kThreads = 4;
    for (int round = 0; round < kRounds; ++round) {
        context.restartUnderWay = false;  // a new run
        registry.WriteText(config::kProductKey, config::value::kLastRebootedFor, "");
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                EXPECT_EQ(Reboot("Check " + std::to_string(t)), kRunnerAlerted);
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(restarter.Calls(), round + 1) << "round " << round;
    }
    EXPECT_EQ(RecordedAlerts(), static_cast<uint32_t>(kRounds));
}

TEST_F(ResponseRunnerTest, FailedRestartRaisesAConfigurationErrorAfterTheWarning) {
    test::LogCapture log;
    restarter.FailWith(platform::Status::Error(EPERM, "systemctl reboot: exit status 1"));
    EXPECT_EQ(Reboot("CPU Load"), kRunnerAlerted);
    ASSERT_EQ(RecordedAlerts(), 2u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Server is Rebooting");
    EXPECT_EQ(Key(2, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(2, "AppName"), "CPU Load");
    EXPECT_EQ(Key(2, "AdditionalInfo2"), std::to_string(EPERM));
    const std::string message = Key(2, "Message");
    EXPECT_NE(message.find("unable to restart the local server in response to the check CPU Load"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("systemctl reboot: exit status 1"), std::string::npos) << message;
    EXPECT_TRUE(
        log.Contains("Unable to restart the Windows installation due to the following "
                     "error performing the restart: ",
                     "kvZNShared"));
    // No second attempt while this service runs.
    EXPECT_TRUE(RestartUnderWay(context));
    restarter.FailWith(platform::Status::Ok());
    EXPECT_EQ(Reboot("Disk C"), kRunnerAlerted);
    EXPECT_EQ(restarter.Calls(), 1);
}

TEST_F(ResponseRunnerTest, EmptyCommandRunsNothing) {
    for (const uint32_t code :
         {kResponseAlertOnly, kResponseLogOnly, kResponseCommand, kResponseScript}) {
        SCOPED_TRACE(code);
        std::string description = "untouched";
        EXPECT_EQ(Run(code, "", description), kNoResponseRun);
        EXPECT_EQ(description, "untouched");
    }
    EXPECT_EQ(RecordedAlerts(), 0u);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(restarter.Calls(), 0);
}

TEST_F(ResponseRunnerTest, ActionTimeoutBelowOneMeansTwoMinutes) {
    const struct {
        const char* what;
        std::optional<uint32_t> stored;
        const char* seconds;
    } cases[] = {
        {"missing", std::nullopt, "120"},
        {"zero", 0u, "120"},
        {"negative", 0xFFFFFFFFu, "120"},
        {"set", 7u, "7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        registry.DeleteValue(config::kProductKey, config::value::kActionTimeout);
        if (c.stored) {
            registry.WriteNumber(config::kProductKey, config::value::kActionTimeout, *c.stored);
        }
        std::string description;
        ASSERT_EQ(Run(kResponseCommand, "true", description), kResponseStarted);
        EXPECT_TRUE(
            HasLine(std::string("12 Waiting for command to complete. Timeout will be after ") +
                    c.seconds + " seconds"));
        EXPECT_EQ(description,
                  "The Korvane/Tessel Monitor automatically initiated the command true in response "
                  "to the error");
    }
    EXPECT_TRUE(HasLine("12 Running the command /bin/sh -c true"));
}

TEST_F(ResponseRunnerTest, ServiceCodeStartsTheUnitBehindAnAlias) {
    services.SetState("cups", ServiceState::Stopped);
    std::string description;
    EXPECT_EQ(Run(kResponseRestartService, "Spooler", description), kResponseStarted);
    EXPECT_EQ(description, "The Korvane/Tessel Monitor automatically initiated a service restart");
    EXPECT_EQ(services.Query("cups"), ServiceState::Running);
    EXPECT_TRUE(HasLine("12 The service Spooler is being restarted"));
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(ResponseRunnerTest, ServiceThatIsNotInstalledRaisesServiceRestart) {
    test::LogCapture log;
    std::string description = "untouched";
    EXPECT_EQ(Run(kResponseRestartService, "NoSuchService", description), kRunnerAlerted);
    EXPECT_EQ(description, "untouched");
    EXPECT_TRUE(log.Contains("Unable to open the service NoSuchService", "kvZNShared"));
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Service Restart");
    EXPECT_EQ(Key(1, "AlertAction"), "5");
    EXPECT_EQ(Key(1, "AppName"), "Spool Check");
    EXPECT_EQ(Key(1, "AdditionalInfo1"), "Spool Check");
    EXPECT_EQ(Key(1, "AdditionalInfo2"), std::to_string(ENOENT));
    EXPECT_EQ(Key(1, "Message"),
              "The Korvane/Tessel Monitor was unable to restart the service in response to the "
              "failure of check Spool Check. The return code was " +
                  std::to_string(ENOENT));

    int error = 0;
    EXPECT_EQ(RestartServiceFromName(context, "NoSuchService", &error), 0);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(errno, ENOENT);
}

TEST(ServiceAliasesTest, ResolvesToTheFirstInstalledCandidate) {
    platform::FakeServiceManager services;
    services.SetState("rsyslog", ServiceState::Running);
    services.SetState("chrony", ServiceState::Stopped);
    services.SetState("ntpsec", ServiceState::Stopped);
    services.SetState("Spooler", ServiceState::Stopped);
    const platform::ServiceAliases aliases = platform::ServiceAliases::Defaults();
    const struct {
        const char* name;
        const char* unit;
    } cases[] = {
        {"Eventlog", "rsyslog"},  // systemd-journald is not installed
        {"w32TIME", "chrony"},    // case does not matter; chrony comes before ntpsec
        {"Spooler", "Spooler"},   // no candidate installed: the name itself
        {"UPS", "UPS"},          {"sshd", "sshd"},  // not mapped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::ResolveServiceName(services, c.name, aliases), c.unit);
    }
}

TEST(ServiceAliasesTest, TableCanBeChanged) {
    platform::FakeServiceManager services;
    services.SetState("cups-browsed", ServiceState::Stopped);
    platform::ServiceAliases aliases = platform::ServiceAliases::Defaults();
    aliases.Set("SPOOLER", {"cups-browsed"});  // replaces "Spooler"
    aliases.Set("Schedule", {});               // removes it
    EXPECT_EQ(aliases.size(), 4u);
    EXPECT_EQ(platform::ResolveServiceName(services, "Spooler", aliases), "cups-browsed");
    EXPECT_EQ(aliases.Find("Schedule"), nullptr);
}

TEST(ResponseVocabularyTest, LevelMaskAndListPositionConvert) {
    const struct {
        int position;
        int levels;
        uint32_t mask;
    } toMask[] = {{0, 10, 1},  {1, 10, 2},  {9, 10, 512},       {19, 20, 524288},
                  {10, 10, 1}, {-1, 10, 1}, {31, 40, 1u << 31}, {32, 40, 1}};
    for (const auto& c : toMask) {
        EXPECT_EQ(LevelMaskFromPosition(c.position, c.levels), c.mask)
            << "position " << c.position << " of " << c.levels;
    }
    const struct {
        uint32_t mask;
        int levels;
        int position;
    } toPosition[] = {{1, 10, 0},    {4, 10, 2}, {512, 10, 9}, {524288, 20, 19}, {1024, 10, 0},
                      {1023, 10, 0}, {6, 10, 0}, {0, 10, 0},   {524288, 10, 0}};
    for (const auto& c : toPosition) {
        EXPECT_EQ(LevelPositionFromMask(c.mask, c.levels), c.position)
            << "mask " << c.mask << " of " << c.levels;
    }
    EXPECT_EQ(kAlertLevelTexts[LevelPositionFromMask(512)], "Alert Level 10");
    EXPECT_EQ(kAlertLevelTexts[LevelPositionFromMask(524288, 20)], "Alert Level 20");
}

TEST(ResponseVocabularyTest, EachKindListsItsCodesInOrder) {
    EXPECT_EQ(CommonResponseTexts().back(), "Run a VBScript");
    EXPECT_EQ(ServiceResponseTexts().back(), "Restart the Service");
    EXPECT_EQ(PrinterResponseTexts().back(), "Redirect Print Queue");
    EXPECT_EQ(PrinterDocumentResponseTexts().back(), "Delete the Queued Document");
    EXPECT_EQ(PrinterResponseTexts()[kResponseRestartService], "Pause the Printer");
}

}  // namespace
}  // namespace kvzn::responses
