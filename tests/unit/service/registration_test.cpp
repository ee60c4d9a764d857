// /register and /unregister against a scripted service manager: messages, stop polls and
// the cases where the service is left in place.
#include <gtest/gtest.h>

#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_service_manager.h"
#include "service/service_entry.h"
#include "support/test_support.h"

namespace kvzn::service {
namespace {

using platform::ServiceState;

std::string RunRegistration(int doRegister, platform::FakeServiceManager& manager,
                            platform::FakeClock& clock,
                            const std::string& exe = "/usr/sbin/kvZNPrint") {
    ::testing::internal::CaptureStdout();
    RegisterOrRemoveService(doRegister, manager, exe, clock);
    return ::testing::internal::GetCapturedStdout();
}

TEST(RegistrationTest, RegisterCreatesTheEntryWithTheStoreOfTheRegisteringProgram) {
    test::ScopedEnv store("KVZN_REGISTRY", "/srv/kvzn/registry.reg");
    platform::FakeServiceManager manager;
    platform::FakeClock clock;
    EXPECT_EQ(RunRegistration(1, manager, clock),
              "Please wait, registering the Tessel Monitor service ...\n"
              "The Tessel Monitor service has been registered ...\n");
    const auto def = manager.Definition("kvZNPrint");
    ASSERT_TRUE(def.has_value());
    EXPECT_EQ(def->displayName, "Korvane/Tessel (Print) Monitor Server");
    EXPECT_EQ(def->executable, "/usr/sbin/kvZNPrint");
    EXPECT_EQ(def->environment, std::vector<std::string>{"KVZN_REGISTRY=/srv/kvzn/registry.reg"});
    // Stopped by the service manager, the service gets its whole shut-down and a margin.
    EXPECT_GT(def->stopTimeout.count(), ShutdownBudgetSeconds(HostTimings{}));
    EXPECT_LE(def->stopTimeout, platform::kMaxStopTimeout);
}

TEST(RegistrationTest, RegisterWithoutAProgramPathStops) {
    platform::FakeServiceManager manager;
    platform::FakeClock clock;
    EXPECT_EQ(RunRegistration(1, manager, clock, ""),
              "Please wait, registering the Tessel Monitor service ...\n"
              "Error. Unable to determine the current (running) directory ...\n");
    EXPECT_FALSE(manager.Definition("kvZNPrint").has_value());
}

TEST(RegistrationTest, RemovingAStoppedServiceRemovesItAtOnce) {
    platform::FakeServiceManager manager;
    manager.SetState("kvZNPrint", ServiceState::Stopped);
    platform::FakeClock clock;
    EXPECT_EQ(RunRegistration(0, manager, clock),
              "Please wait, unregistering the Tessel Monitor service ...\n"
              "Verifying/stopping the Tessel Monitor service ...\n"
              "Removing the Tessel Monitor service ...\n"
              "The Tessel Monitor service has been removed ...\n");
    EXPECT_EQ(manager.Query("kvZNPrint"), ServiceState::NotInstalled);
    EXPECT_EQ(clock.SleptMs(), 0u);
}

TEST(RegistrationTest, RemovingARunningServiceWaitsForItToStop) {
    platform::FakeServiceManager manager;
    manager.SetState("kvZNPrint", ServiceState::Running);
    manager.SetStopQueries("kvZNPrint", 3);
    platform::FakeClock clock;
    const std::string out = RunRegistration(0, manager, clock);
    EXPECT_NE(out.find("The Tessel Monitor service is stopped ...\n"
                       "Removing the Tessel Monitor service ...\n"
                       "The Tessel Monitor service has been removed ...\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(clock.SleptMs(), 4000u);  // one second, then one per pending poll
    EXPECT_EQ(manager.Query("kvZNPrint"), ServiceState::NotInstalled);
}

TEST(RegistrationTest, AServiceThatDoesNotStopWithinThirtyPollsStaysRegistered) {
    platform::FakeServiceManager manager;
    manager.SetState("kvZNPrint", ServiceState::Running);
    manager.SetStopQueries("kvZNPrint", -1);
    platform::FakeClock clock;
    const std::string out = RunRegistration(0, manager, clock);
    EXPECT_NE(out.find("Error. Unable to stop the Tessel Monitor service ...\n"),
              std::string::npos);
    EXPECT_EQ(out.find("Removing"), std::string::npos);
    EXPECT_EQ(clock.SleptMs(), 31000u);
    EXPECT_NE(manager.Query("kvZNPrint"), ServiceState::NotInstalled);
}

TEST(RegistrationTest, AServiceManagerThatCannotBeReachedLeavesTheServiceInPlace) {
    const std::string unreachable =
        "Please wait, unregistering the Tessel Monitor service ...\n"
        "Error. Unable to contact the Service Control Manager ...\n";
    {
        SCOPED_TRACE("before the stop");
        platform::FakeServiceManager manager;
        manager.SetState("kvZNPrint", ServiceState::Running);
        manager.ScriptQueries("kvZNPrint", {ServiceState::ManagerUnreachable});
        platform::FakeClock clock;
        EXPECT_EQ(RunRegistration(0, manager, clock), unreachable);
        EXPECT_EQ(manager.Calls(), std::vector<std::string>{"Query kvZNPrint"});
    }
    {
        SCOPED_TRACE("while it stops");
        platform::FakeServiceManager manager;
        manager.SetState("kvZNPrint", ServiceState::Running);
        manager.SetStopQueries("kvZNPrint", -1);
        manager.ScriptQueries("kvZNPrint",
                              {ServiceState::Running, ServiceState::ManagerUnreachable});
        platform::FakeClock clock;
        const std::string out = RunRegistration(0, manager, clock);
        EXPECT_EQ(out,
                  "Please wait, unregistering the Tessel Monitor service ...\n"
                  "Verifying/stopping the Tessel Monitor service ...\n"
                  "Error. Unable to contact the Service Control Manager ...\n");
        EXPECT_EQ(clock.SleptMs(), 1000u);
        EXPECT_NE(manager.Query("kvZNPrint"), ServiceState::NotInstalled);
    }
}

TEST(RegistrationTest, RemovingAnUnknownServiceSaysSo) {
    platform::FakeServiceManager manager;
    platform::FakeClock clock;
    EXPECT_EQ(RunRegistration(0, manager, clock),
              "Please wait, unregistering the Tessel Monitor service ...\n"
              "Error. Unable to create the Tessel Monitor service entry ...\n");
}

TEST(RegistrationTest, ErrorTextCarriesTheNumberInHex) {
    EXPECT_EQ(GetLastErrorText(2), "No such file or directory (0x2)");
    EXPECT_EQ(GetLastErrorText(2, 20), "");  // too small a buffer
}

}  // namespace
}  // namespace kvzn::service
