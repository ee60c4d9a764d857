// Service checks: state phrases, the missing-service verification and the alerts of a
// service that is not running.
#include "printmon/service_checks.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "alerting/dispatcher.h"
#include "platform/fake/fake_service_manager.h"
#include "platform/profile_file.h"
#include "responses/response_runner.h"
#include "service/config_status.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

using platform::ServiceState;

constexpr const char* kSpoolerTitle = "Ensure Print Spooler service is running";

// A service manager that cannot be reached at all.
class UnreachableManager final : public platform::ServiceManager {
  public:
    std::string_view Kind() const override { return "broken"; }
    platform::Status Install(const platform::ServiceDefinition&) override { throw Down(); }
    platform::Status Remove(std::string_view) override { throw Down(); }
    ServiceState Query(std::string_view) override { throw Down(); }
    platform::Status Start(std::string_view) override { throw Down(); }
    platform::Status RequestStop(std::string_view) override { throw Down(); }

  private:
    static std::runtime_error Down() { return std::runtime_error("no service manager"); }
};

class ServiceChecksTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    ServiceChecksTest() { context.serviceManager = &services; }

    static ServiceCheck Check(std::string title, std::string service) {
        ServiceCheck check;
        check.title = check.displayName = std::move(title);
        check.serviceName = std::move(service);
        check.fields.enabled = true;
        check.fields.alertLevel = 4;
        return check;
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(alerting::kRecordSection, key, "<none>",
                                          alerting::Alerts(context).store.RecordPath(slot), 1000);
    }
    std::string Status(const std::string& key) {
        return platform::GetProfileString("Server-specific", key, "<none>",
                                          service::ConfigStatusPath(context));
    }

    platform::FakeServiceManager services;
    test::LogCapture log;
};

TEST_F(ServiceChecksTest, PhrasesAndVerdictPerState) {
    // States the platform does not report keep their phrases for the texts.
    for (const auto& [condition, phrase, failed] :
         std::vector<std::tuple<ServiceCondition, std::string, bool>>{
             {ServiceCondition::ContinuePending, "is continue pending", false},
             {ServiceCondition::PausePending, "is being paused on this host", true},
             {ServiceCondition::Paused, "is paused on this host", true}}) {
        EXPECT_EQ(DescribeService(condition).text, phrase);
        EXPECT_EQ(DescribeService(condition).failed, failed) << phrase;
    }
    // Through the manager, with "Spooler" standing for its alias "cups".
    services.SetStopQueries("cups", -1);
    for (const auto& [state, phrase, result] :
         std::vector<std::tuple<ServiceState, std::string, int>>{
             {ServiceState::Running, "is running", 0},
             {ServiceState::StartPending, "is start pending", 0},
             {ServiceState::StopPending, "is being stopped on this host", 1},
             {ServiceState::Stopped, "is stopped on this host", 1},
             {ServiceState::Unknown, "is stopped on this host", 1},
             {ServiceState::NotInstalled, "not installed on this host", 1},
         }) {
        services.SetState("cups", state);
        std::string text;
        EXPECT_EQ(CheckServiceRunning(context, "Spooler", text), result) << phrase;
        EXPECT_EQ(text, phrase);
    }
    EXPECT_TRUE(
        log.Contains("Cannot verify a service - the service does not exist on this "
                     "server. The check is 'Spooler'"));
}

TEST_F(ServiceChecksTest, UnusableManagerIsReportedAndVerifiesNothing) {
    UnreachableManager broken;
    context.serviceManager = &broken;
    std::string text;
    EXPECT_EQ(CheckServiceRunning(context, "Spooler", text), 1);
    EXPECT_EQ(text, "Unable to contact the Service Control Manager");
    EXPECT_TRUE(
        log.Contains("Cannot verify a service - unable to connect to the SCM. The check "
                     "is 'Spooler'"));

    std::vector<ServiceCheck> builtIns{Check(kSpoolerTitle, "Spooler")};
    std::vector<ServiceCheck> customs;
    VerifyLocalServices(context, builtIns, customs);
    EXPECT_TRUE(log.Contains("Unable to connect to the SCM"));
    EXPECT_TRUE(builtIns[0].fields.enabled);
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(ServiceChecksTest, AManagerThatCannotBeAskedIsNotAStoppedService) {
    services.SetState("cups", ServiceState::ManagerUnreachable);
    std::string text;
    EXPECT_EQ(CheckServiceRunning(context, "Spooler", text), 1);
    EXPECT_EQ(text, "Unable to contact the Service Control Manager");
    EXPECT_EQ(log.Count("Cannot verify a service - unable to connect to the SCM. The check is "
                        "'Spooler'"),
              1u);
    // Nothing is disabled for want of an answer.
    std::vector<ServiceCheck> builtIns{Check(kSpoolerTitle, "Spooler")};
    std::vector<ServiceCheck> customs;
    VerifyLocalServices(context, builtIns, customs);
    EXPECT_TRUE(builtIns[0].fields.enabled);
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(ServiceChecksTest, StoppedSpoolerRaisesServiceNotRunning) {
    services.SetState("cups", ServiceState::Stopped);
    ServiceCheck check = Check(kSpoolerTitle, "Spooler");
    EXPECT_EQ(EvaluateServiceCheck(context, check, 5000), service::CheckResult::Alerted);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Service Not Running");
    EXPECT_EQ(Key(1, "Message"),
              "The check Ensure Print Spooler service is running failed because the service "
              "Spooler is stopped on this host ...");
    EXPECT_EQ(Key(1, "AppName"), kSpoolerTitle);
    EXPECT_EQ(Key(1, "AdditionalInfo1"), "Spooler");
    EXPECT_EQ(Key(1, "ErrorType"), "2");
    EXPECT_EQ(Key(1, "AlertLevel"), "4");
    EXPECT_EQ(check.state.lastAlertTick, 5000u);
}

TEST_F(ServiceChecksTest, PendingStartCountsAsRunningAndForgetsTheLastRestart) {
    registry.WriteText(config::kProductKey, config::value::kLastRebootedFor, kSpoolerTitle);
    services.SetState("cups", ServiceState::StartPending);
    ServiceCheck check = Check(kSpoolerTitle, "Spooler");
    check.state.failureCount = 1;
    EXPECT_EQ(EvaluateServiceCheck(context, check, 5000), service::CheckResult::Healthy);
    EXPECT_EQ(check.state.failureCount, 0u);
    EXPECT_FALSE(responses::IsLastRebootedFor(context, kSpoolerTitle));
    EXPECT_EQ(RecordedAlerts(), 0u);
}

TEST_F(ServiceChecksTest, ResponseThatDoesNotHelpGivesTheFailedResponseText) {
    services.SetState("cups", ServiceState::Stopped);
    ServiceCheck check = Check(kSpoolerTitle, "Spooler");
    check.fields.actionToTake = responses::kResponseCommand;
    check.fields.command = "true";
    EXPECT_EQ(EvaluateServiceCheck(context, check, 5000), service::CheckResult::Alerted);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "Message"),
              "Automatic response failed. The check Ensure Print Spooler service is running "
              "failed because the service Spooler is stopped on this host. The Korvane/Tessel "
              "Monitor automatically initiated the command true in response to the error but the "
              "problem persists. Further investigation is now required ...");
    EXPECT_EQ(Key(1, "Auto-Response"), "0");
}

TEST_F(ServiceChecksTest, MissingServicesAreListedDisabledAndAlertedAfterTheFirstRun) {
    services.SetState("cups", ServiceState::Running);
    for (bool firstRun : {true, false}) {
        SCOPED_TRACE(firstRun);
        std::filesystem::remove(service::ConfigStatusPath(context));
        context.firstRun = firstRun;
        std::vector<ServiceCheck> builtIns{Check(kSpoolerTitle, "Spooler"),
                                           Check("Ensure Alerter service is running", "Alerter"),
                                           Check("Unnamed", "")};
        std::vector<ServiceCheck> customs{Check("Label Printer Daemon", "kvzn-labeld")};
        VerifyLocalServices(context, builtIns, customs);

        EXPECT_TRUE(builtIns[0].fields.enabled);
        EXPECT_FALSE(builtIns[1].fields.enabled);
        EXPECT_TRUE(builtIns[2].fields.enabled);  // no service name: not verified
        EXPECT_FALSE(customs[0].fields.enabled);
        EXPECT_EQ(Status("Title1"), "Ensure Alerter service is running");
        EXPECT_EQ(Status("Title2"), "Label Printer Daemon");
        EXPECT_EQ(Status("Reason2"), "Service does not exist on this server");
        EXPECT_EQ(Status("Title3"), "<none>");
        EXPECT_EQ(RecordedAlerts(), firstRun ? 0u : 2u);
    }
    EXPECT_EQ(log.Count("The service kvzn-labeld does not exist on this host"), 2u);
    EXPECT_EQ(Key(2, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(2, "AppName"), "Service kvzn-labeld");
    EXPECT_EQ(Key(2, "AdditionalInfo1"), "kvzn-labeld");
    EXPECT_EQ(Key(2, "Message"),
              "The service kvzn-labeld cannot be monitored because it is not installed on this "
              "host. Please report this error to the System Administrator");
}

}  // namespace
}  // namespace kvzn::printmon
