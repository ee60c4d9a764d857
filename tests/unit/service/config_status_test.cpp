// The configuration-status file: sections, numbered keys, first-run disabling, log checks.
#include "service/config_status.h"

#include <gtest/gtest.h>

#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::service {
namespace {

class ConfigStatusTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    std::string Get(const char* section, const std::string& key) {
        return platform::GetProfileString(section, key, "<none>", ConfigStatusPath(context));
    }
    uint32_t Enabled(const std::string& key) {
        uint32_t enabled = 99;
        registry.ReadFlag(key, config::check::kEnabled, enabled);
        return enabled;
    }
};

TEST_F(ConfigStatusTest, FlagsAndNumberedEntriesAndSectionDeletion) {
    RecordConfigStatus(context, "Server-specific", kNoConfigValues, 0, "ignored");
    RecordConfigStatus(context, "Server-specific", "Title", 3, "Fax Service");
    RecordConfigStatus(context, "Server-specific", "Reason", 3,
                       "Service does not exist on this server");
    RecordConfigStatus(context, "LogFiles", kPermanentError, 0, {});
    EXPECT_EQ(Get("Server-Specific", kNoConfigValues), "1");
    EXPECT_EQ(Get("Server-specific", "Title3"), "Fax Service");
    EXPECT_EQ(Get("Server-specific", "Reason3"), "Service does not exist on this server");
    EXPECT_EQ(Get("LogFiles", kPermanentError), "1");
    RecordConfigStatus(context, "Server-specific", {}, 0, {});
    EXPECT_EQ(Get("Server-specific", "Title3"), "<none>");
    EXPECT_EQ(Get("LogFiles", kPermanentError), "1");
}

TEST_F(ConfigStatusTest, OnlyTheFirstRunSwitchesTheFailingCheckOff) {
    const std::string services = config::SubKey(config::subkey::kCustomServices);
    registry.WriteFlag(services + "\\Service1", config::check::kEnabled, 1);
    context.firstRun = false;
    RecordConfigStatus(context, "Server-specific", "Title", 1, "Fax", services, "Service1");
    EXPECT_EQ(Enabled(services + "\\Service1"), 1u);
    context.firstRun = true;
    RecordConfigStatus(context, "Server-specific", "Title", 1, "Fax", services, "Service1");
    EXPECT_EQ(Enabled(services + "\\Service1"), 0u);
}

TEST_F(ConfigStatusTest, LogChecksOfTheSectionWithThatFileAreDisabledAndListed) {
    const std::string logs = config::SubKey(config::subkey::kLogs);
    struct Entry {
        const char* file;
        uint32_t type;
        const char* name;  // nullptr: no name
    };
    const Entry entries[] = {{"/var/log/cups/error_log", 3, "CUPS errors"},
                             {"/VAR/LOG/CUPS/ERROR_LOG", 4, nullptr},
                             {"/var/log/cups/error_log", 1, "An event log entry"},
                             {"/var/log/other", 3, "Other"}};
    for (int n = 1; n <= 4; ++n) {
        const std::string key = logs + "\\Log" + std::to_string(n);
        const Entry& e = entries[n - 1];
        registry.WriteText(key, "File", e.file);
        registry.WriteNumber(key, config::list::kLogType, e.type);
        registry.WriteFlag(key, config::check::kEnabled, 1);
        if (e.name) {
            registry.WriteText(key, config::check::kName, e.name);
        }
    }
    EXPECT_EQ(DisableLogChecks(context, "LogFiles", 1, "/var/log/cups/error_log", "File missing"),
              2);
    EXPECT_EQ(Enabled(logs + "\\Log1"), 0u);
    EXPECT_EQ(Enabled(logs + "\\Log2"), 0u);  // same file in another spelling, no name
    EXPECT_EQ(Enabled(logs + "\\Log3"), 1u);  // an event log check
    EXPECT_EQ(Enabled(logs + "\\Log4"), 1u);
    EXPECT_EQ(Get("LogFiles", "Title1"), "CUPS errors");
    EXPECT_EQ(Get("LogFiles", "Reason1"), "File missing");
    EXPECT_EQ(Get("LogFiles", "Title2"), "<none>");
}

}  // namespace
}  // namespace kvzn::service
