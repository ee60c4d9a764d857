// Service checks of the print server monitor against real SysV init scripts in a private
// root: a sleeping stand-in daemon under the unit name that the alias table gives "Spooler".
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "alerting/dispatcher.h"
#include "integration/platform/sleeping_service.h"
#include "platform/fake/fake_spooler.h"
#include "platform/profile_file.h"
#include "platform/service_manager.h"
#include "printmon/print_server_monitor.h"
#include "service/config_status.h"
#include "support/service_fixture.h"

namespace kvzn::printmon {
namespace {

namespace fs = std::filesystem;

class ServiceChecksProcessTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    ServiceChecksProcessTest() {
        context.serviceManager = service_.manager.get();

        // Only the spooler check of the built-in table, services every minute, no printers.
        for (const BuiltInService& entry : kBuiltInServices) {
            registry.WriteNumber(PrintKey(entry.title), "Enabled",
                                 entry.serviceName == "Spooler" ? 1 : 0);
        }
        registry.WriteNumber(config::kProductKey, config::value::kPrintInterval, 1);
        registry.WriteNumber(config::kProductKey, config::value::kPrinterInterval, 0);
    }

    static std::string PrintKey(std::string_view title) {
        return config::SubKey("Print") + "\\" + std::string(title);
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(alerting::kRecordSection, key, "<none>",
                                          alerting::Alerts(context).store.RecordPath(slot));
    }

    test::SleepingSysVService service_{dir.path()};
    PrintServerMonitor monitor{[] { return std::make_unique<platform::FakeSpooler>(); }};
};

TEST_F(ServiceChecksProcessTest, StoppedServiceRaisesServiceNotRunning) {
    ASSERT_TRUE(service_.installed.ok()) << service_.installed.Text();
    ASSERT_EQ(monitor.ReadConfiguration(context), 1);
    EXPECT_EQ(monitor.RunCycle(context, 1000), 60000u);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Service Not Running");
    EXPECT_EQ(Key(1, "Message"),
              "The check Ensure Print Spooler service is running failed because the service "
              "Spooler is stopped on this host ...");
    EXPECT_EQ(service_.manager->Query("cups"), platform::ServiceState::Stopped);
}

TEST_F(ServiceChecksProcessTest, ConfiguredServiceThatDoesNotExistIsListedAlertedAndDisabled) {
    ASSERT_TRUE(service_.manager->Start("cups").ok());
    const std::string custom = config::SubKey("CustomServices") + "\\Service1";
    registry.WriteNumber(custom, "Enabled", 1);
    registry.WriteText(custom, "Name", "kvzn-no-such-daemon");
    registry.WriteText(custom, "DisplayName", "Label Printer Daemon");
    context.firstRun = false;

    ASSERT_EQ(monitor.ReadConfiguration(context), 2);
    EXPECT_FALSE(monitor.CustomServices().at(0).fields.enabled);
    EXPECT_TRUE(monitor.BuiltInServices().at(5).fields.enabled);
    const std::string status = service::ConfigStatusPath(context);
    EXPECT_EQ(platform::GetProfileString("Server-specific", "Title1", "", status),
              "Label Printer Daemon");
    EXPECT_EQ(platform::GetProfileString("Server-specific", "Reason1", "", status),
              "Service does not exist on this server");
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Monitor/Configuration Error");
    EXPECT_EQ(Key(1, "AppName"), "Service kvzn-no-such-daemon");

    monitor.RunCycle(context, 1000);  // the running spooler and the disabled entry: quiet
    EXPECT_EQ(RecordedAlerts(), 1u);
}

TEST_F(ServiceChecksProcessTest, RestartResponseStartsTheServiceAndReportsIt) {
    ASSERT_TRUE(service_.installed.ok()) << service_.installed.Text();
    registry.WriteNumber(PrintKey("Ensure Print Spooler service is running"), "ActionToTake", 5);
    context.notifyRunningActions = 1;
    ASSERT_EQ(monitor.ReadConfiguration(context), 1);
    monitor.RunCycle(context, 1000);
    EXPECT_EQ(service_.manager->Query("cups"), platform::ServiceState::Running);
    ASSERT_EQ(RecordedAlerts(), 1u);
    EXPECT_EQ(Key(1, "ErrorTitle"), "Automatic Response Taken");
    EXPECT_EQ(Key(1, "Message"),
              "Automatic response was successful. The check Ensure Print Spooler service is "
              "running previously failed. The Korvane/Tessel Monitor automatically initiated a "
              "service restart.");
    EXPECT_EQ(Key(1, "Auto-Response"), "1");
}

}  // namespace
}  // namespace kvzn::printmon
