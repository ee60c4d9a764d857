// Numbered lists, common check fields, the date order and scrambled values.
#include <gtest/gtest.h>

#include "companion/registry.h"
#include "config/check_fields.h"
#include "config/log_settings.h"
#include "config/numbered_lists.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "support/test_support.h"

namespace kvzn::config {
namespace {

class ConfigLayoutTest : public ::testing::Test {
  protected:
    ConfigLayoutTest() : store(platform::MakeMemoryStore()), registry(store) {}
    std::shared_ptr<platform::ConfigStore> store;
    companion::Registry registry;
};

TEST_F(ConfigLayoutTest, SubkeyListEndsAtTheFirstGap) {
    const std::string printers = SubKey(subkey::kPrinters);
    for (int n : {1, 2, 4}) {
        registry.WriteText(printers + "\\Printer" + std::to_string(n), list::kPrinterIdentity,
                           "Q" + std::to_string(n));
    }
    std::vector<int> seen;
    EXPECT_EQ(WalkNumberedSubkeys(registry, printers, list::kPrinterEntry, list::kPrinterIdentity,
                                  false, [&](int n, const std::string&) { seen.push_back(n); }),
              2);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST_F(ConfigLayoutTest, DisabledEntriesAreSkippedAndTheWalkGoesOn) {
    const std::string services = SubKey(subkey::kCustomServices);
    const uint32_t enabled[] = {1, 0, 1};
    for (int n = 1; n <= 3; ++n) {
        registry.WriteFlag(services + "\\Service" + std::to_string(n), check::kEnabled,
                           enabled[n - 1]);
    }
    std::vector<std::string> keys;
    WalkNumberedSubkeys(registry, services, list::kServiceEntry, list::kServiceIdentity, true,
                        [&](int, const std::string& key) { keys.push_back(key); });
    EXPECT_EQ(keys, (std::vector<std::string>{services + "\\Service1", services + "\\Service3"}));
}

TEST_F(ConfigLayoutTest, NumberedValuesWithAnEnabledFlag) {
    const std::string contacts = SubKey(subkey::kContacts);
    registry.WriteText(contacts, "EMail1", "a@example.org");
    registry.WriteText(contacts, "EMail2", "b@example.org");
    registry.WriteText(contacts, "EMail3", "c@example.org");
    registry.WriteNumber(contacts, "DailyReport1", 1);
    registry.WriteNumber(contacts, "DailyReport3", 1);  // 2 has none: not enabled
    std::vector<int> all;
    std::vector<int> reports;
    WalkNumberedValues(registry, contacts, contacts::kEMail, {}, [&](int n) { all.push_back(n); });
    WalkNumberedValues(registry, contacts, contacts::kEMail, contacts::kDailyReport,
                       [&](int n) { reports.push_back(n); });
    EXPECT_EQ(all, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(reports, (std::vector<int>{1, 3}));
}

TEST_F(ConfigLayoutTest, CommonCheckFieldsWithDefaultsAndTheRestartFlag) {
    const std::string key = SubKey("Print\\Print Spooler");
    CommonCheckFields empty = ReadCommonCheckFields(registry, key);
    EXPECT_FALSE(empty.enabled);
    EXPECT_EQ(empty.alertLevel, 0u);
    EXPECT_FALSE(empty.restart);

    registry.WriteFlag(key, "enabled", 1);  // names are matched without regard to case
    registry.WriteNumber(key, check::kAlertLevel, 4);
    registry.WriteNumber(key, check::kActionToTake, 2);
    registry.WriteNumber(key, check::kCountBeforeAction, 2);
    registry.WriteNumber(key, check::kNonNotificationPeriod, 15);
    registry.WriteText(key, check::kCommand, std::string(300, 'x'));
    CommonCheckFields f = ReadCommonCheckFields(registry, key);
    EXPECT_TRUE(f.enabled);
    EXPECT_EQ(f.alertLevel, 4u);
    EXPECT_TRUE(f.restart);
    EXPECT_EQ(f.countBeforeAction, 2u);
    EXPECT_EQ(f.nonNotificationPeriod, 15u);
    EXPECT_EQ(f.command.size(), 255u);  // cut to the 256-byte buffer
}

TEST_F(ConfigLayoutTest, DateFormatZeroOrMissingIsDayFirstAndIsReadOnce) {
    const std::vector<std::pair<std::optional<uint32_t>, int>> cases = {
        {std::nullopt, 1}, {0u, 1}, {1u, 1}, {2u, 2}};
    for (const auto& [stored, expected] : cases) {
        auto s = platform::MakeMemoryStore();
        companion::Registry reg(s);
        if (stored) {
            reg.WriteNumber(kProductKey, value::kDateFormat, *stored);
        }
        DateFormatSetting setting;
        EXPECT_EQ(setting.Get(reg), expected)
            << "stored " << (stored ? std::to_string(*stored) : "none");
        reg.WriteNumber(kProductKey, value::kDateFormat, expected == 1 ? 2 : 1);
        EXPECT_EQ(setting.Get(reg), expected) << "a second read must keep the first value";
    }
}

TEST_F(ConfigLayoutTest, ValueNamesMatchWithoutRegardToCase) {
    registry.WriteNumber(kProductKey, "WebSessionTimeOut", 20);
    uint32_t timeout = 0;
    ASSERT_EQ(registry.ReadNumber(kProductKey, value::kWebSessionTimeout, timeout), 0);
    EXPECT_EQ(timeout, 20u);
}

TEST(ScrambleTest, EveryCharacterCodeRoundTrips) {
    for (int c = 1; c <= 127; ++c) {
        std::vector<uint8_t> bytes;
        const std::string text(1, static_cast<char>(c));
        ASSERT_TRUE(ScrambleText(text, bytes)) << c;
        ASSERT_EQ(bytes.size(), 4u);
        EXPECT_EQ(UnscrambleBytes(bytes), text) << "character code " << c;
    }
}

TEST(ScrambleTest, StoringRejectsLongOrEightBitTexts) {
    std::vector<uint8_t> bytes{1, 2, 3, 4};
    EXPECT_TRUE(ScrambleText(std::string(128, 'a'), bytes));
    EXPECT_EQ(bytes.size(), 512u);
    EXPECT_FALSE(ScrambleText(std::string(129, 'a'), bytes));
    EXPECT_FALSE(ScrambleText("caf\xc3\xa9", bytes));
}

TEST_F(ConfigLayoutTest, ScrambledValueOfTwelveCharactersNeedsThirteenBytes) {
    test::LogCapture log;
    ASSERT_EQ(kvHlpSvc1(registry, "S3cret-Pass!", *store, kProductKey, value::kWebPassword), 1);
    std::vector<uint8_t> raw;
    ASSERT_EQ(registry.ReadBinary(kProductKey, value::kWebPassword, raw), 0);
    EXPECT_EQ(raw.size(), 48u);

    std::string small = "untouched";
    EXPECT_EQ(kvHlpSvc2(registry, *store, kProductKey, value::kWebPassword, small, 12), 0);
    EXPECT_TRUE(log.Contains(
        "Internal error #3 - insufficient memory to read the requested value from the Registry"));
    std::string fits;
    EXPECT_EQ(kvHlpSvc2(registry, *store, kProductKey, value::kWebPassword, fits, 13), 1);
    EXPECT_EQ(fits, "S3cret-Pass!");
}

TEST_F(ConfigLayoutTest, MissingScrambledValueIsSuccessAndLeavesTheBuffer) {
    std::string buffer;
    EXPECT_EQ(kvHlpSvc2(registry, *store, kProductKey, value::kWebPassword, buffer, 129), 1);
    EXPECT_EQ(buffer, "");
}

TEST_F(ConfigLayoutTest, OversizedScrambledValueIsAFailureNotAnEmptyPassword) {
    registry.WriteBinary(kProductKey, value::kWebPassword, std::vector<uint8_t>(516, 1));
    std::string buffer;
    EXPECT_EQ(kvHlpSvc2(registry, *store, kProductKey, value::kWebPassword, buffer, 1000), 0);
}

TEST_F(ConfigLayoutTest, ScrambledValuesGoToTheConnectedServer) {
    auto remote = platform::MakeMemoryStore();
    registry.SetConnector(
        [&](std::string_view server) -> platform::Result<std::shared_ptr<platform::ConfigStore>> {
            if (server != "printsrv2") {
                return platform::Status::Error(ENOENT, "unknown server");
            }
            return remote;
        });
    EXPECT_NE(registry.ConnectToServer("nowhere"), 0);
    EXPECT_EQ(registry.ConnectedRoot(), nullptr);
    ASSERT_EQ(registry.ConnectToServer("printsrv2"), 0);
    ASSERT_EQ(kvHlpSvc1(registry, "pw", *store, SubKey(subkey::kAlertLogging),
                        alert_logging::kDatabasePassword),
              1);
    companion::Registry local(store);
    companion::Registry onRemote(remote);
    std::vector<uint8_t> raw;
    EXPECT_NE(
        local.ReadBinary(SubKey(subkey::kAlertLogging), alert_logging::kDatabasePassword, raw), 0);
    EXPECT_EQ(
        onRemote.ReadBinary(SubKey(subkey::kAlertLogging), alert_logging::kDatabasePassword, raw),
        0);
    std::string back;
    EXPECT_EQ(kvHlpSvc2(registry, *store, SubKey(subkey::kAlertLogging),
                        alert_logging::kDatabasePassword, back, 129),
              1);
    EXPECT_EQ(back, "pw");
}

TEST(NumberedNameTest, FormatsWithNumberAndPrefix) {
    EXPECT_EQ(Numbered("EMail%d", 3), "EMail3");
    EXPECT_EQ(Numbered("%sMask%d", 12, "Email"), "EmailMask12");
    EXPECT_EQ(Numbered("Printer%d", 1), "Printer1");
}

// Every program sets its activity log up from the same values: a relative file in the home
// directory, the level, the defaults, and a file that cannot be written leaves the log alone.
TEST_F(ConfigLayoutTest, LogSettingsPutTheFileInTheHomeDirectoryAtItsLevel) {
    test::TempDir home;
    companion::ActivityLog log;
    std::string file;
    registry.WriteText(kProductKey, value::kHome, home.path());
    EXPECT_TRUE(ApplyLogSettings(registry, log, &file));
    EXPECT_EQ(file, "KVZN.LOG");
    EXPECT_EQ(log.FilePath(), home / "KVZN.LOG");
    EXPECT_EQ(log.Level(), 3);

    registry.WriteText(kProductKey, value::kLogFile, "SITE.LOG");
    registry.WriteNumber(kProductKey, value::kLogLevel, 5);
    EXPECT_TRUE(ApplyLogSettings(registry, log));
    EXPECT_EQ(log.FilePath(), home / "SITE.LOG");
    EXPECT_EQ(log.Level(), 5);

    registry.WriteText(kProductKey, value::kLogFile, home / "missing/dir/X.LOG");
    EXPECT_FALSE(ApplyLogSettings(registry, log, &file));
    EXPECT_EQ(file, home / "missing/dir/X.LOG");
    EXPECT_EQ(log.FilePath(), home / "SITE.LOG");
}

}  // namespace
}  // namespace kvzn::config
