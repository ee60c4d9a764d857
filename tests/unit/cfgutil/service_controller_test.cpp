// Start, stop and restart of the monitor service with their messages.
#include "cfgutil/service_controller.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_service_manager.h"
#include "support/test_support.h"

namespace kvzn::cfgutil {
namespace {

using platform::ServiceState;

class RecordingPrompt final : public UserPrompt {
  public:
    void Message(const std::string& title, const std::string& text) override {
        shown.push_back(title + ": " + text);
    }
    bool Ask(const std::string&, const std::string&) override { return true; }
    void Wait(const std::string& text) override { waits.push_back(text); }
    std::vector<std::string> shown;
    std::vector<std::string> waits;
};

struct ControllerTest : ::testing::Test {
    platform::FakeServiceManager manager;
    platform::FakeClock clock;
    RecordingPrompt prompt;
    ServiceController controller{manager, clock, prompt, "kvZNPrint"};
    test::LogCapture log;
};

TEST_F(ControllerTest, RestartStartsAServiceThatRefusesTheStop) {
    manager.SetState("kvZNPrint", ServiceState::Stopped);
    EXPECT_FALSE(controller.IsRunning());
    EXPECT_TRUE(controller.RestartServer());
    EXPECT_EQ(manager.Query("kvZNPrint"), ServiceState::Running);
    EXPECT_TRUE(prompt.shown.empty());
    EXPECT_EQ(prompt.waits,
              std::vector<std::string>{"Please wait while the Tessel Monitor is restarted ..."});

    // Running: stopped through the stop-pending polls, then started again.
    manager.SetStopQueries("kvZNPrint", 3);
    manager.ClearCalls();
    EXPECT_TRUE(controller.RestartServer());
    const std::vector<std::string> calls = manager.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "RequestStop kvZNPrint"), 1);
    EXPECT_EQ(calls.back(), "Start kvZNPrint");
    EXPECT_EQ(manager.Query("kvZNPrint"), ServiceState::Running);
    // Starting a running service counts as success.
    EXPECT_TRUE(controller.StartServer());
    EXPECT_TRUE(prompt.shown.empty());
}

TEST_F(ControllerTest, EachFailureIsToldWithItsOwnMessage) {
    manager.SetState("kvZNPrint", ServiceState::Running);
    manager.SetStopQueries("kvZNPrint", -1);
    const uint64_t before = clock.UptimeSeconds();
    EXPECT_FALSE(controller.RestartServer());
    EXPECT_GE(clock.UptimeSeconds() - before, 60u);  // 1 s, then 60 polls a second apart
    EXPECT_FALSE(controller.StopServer());
    EXPECT_TRUE(log.Contains("Warning: Unable to stop the service", "kvZNPrintCfg"));

    manager.SetState("kvZNPrint", ServiceState::NotInstalled);
    EXPECT_FALSE(controller.StartServer());
    EXPECT_TRUE(log.Contains("Warning: Unable to find the service"));
    manager.ScriptQueries("kvZNPrint", {ServiceState::ManagerUnreachable});
    EXPECT_FALSE(controller.StopServer());
    EXPECT_TRUE(log.Contains("Warning: Unable to attach to the SCM"));
    EXPECT_FALSE(controller.IsRunning());

    const std::vector<std::string> expected = {
        "Cannot Restart Tessel Monitor: The Configuration Utility was unable to stop the Tessel "
        "Monitor service within the timeout period. Please restart this service manually in "
        "order to apply any configuration changes made ...",
        "Cannot Stop the Tessel Monitor: The Configuration Utility was unable to stop the Tessel "
        "Monitor service ...",
        "Cannot Start the Tessel Monitor: The Configuration Utility was unable to start the "
        "Tessel Monitor service because the service is not registered with Windows ...",
        "Cannot Stop the Tessel Monitor: The Configuration Utility was unable to stop the Tessel "
        "Monitor service because a connection could not be established ...",
    };
    EXPECT_EQ(prompt.shown, expected);
}

}  // namespace
}  // namespace kvzn::cfgutil
