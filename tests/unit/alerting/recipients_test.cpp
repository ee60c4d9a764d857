// Recipient lists: level masks, the reserved mask 1023, own servers, gaps and windows.
#include "alerting/recipients.h"

#include <gtest/gtest.h>

#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

class RecipientsTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    const std::string key = config::SubKey(config::subkey::kContacts);
    void EMail(int n, const std::string& address, uint32_t mask) {
        registry.WriteText(key, "EMail" + std::to_string(n), address);
        registry.WriteNumber(key, "EMailLevel" + std::to_string(n), mask);
    }
    std::string List(uint32_t mask, int kind = kRecipientEMail, size_t size = kRecipientListSize) {
        std::string list;
        BuildRecipientList(context, mask, kind, list, size);
        return list;
    }
};

TEST_F(RecipientsTest, LevelMasksChooseTheRecipients) {
    EMail(1, "ops@example.org", 6);  // levels 2 and 3
    EMail(2, "boss@example.org", 1);
    EMail(3, "nobody@example.org", 0);
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {1, "boss@example.org"},
        {2, "ops@example.org"},
        {4, "ops@example.org"},
        {8, ""},
        {1023, "ops@example.org,boss@example.org,nobody@example.org"},
    };
    for (const auto& [mask, expected] : cases) {
        EXPECT_EQ(List(mask), expected) << "mask " << mask;
    }
}

TEST_F(RecipientsTest, TheListEndsAtTheFirstMissingName) {
    EMail(1, "a@example.org", 1);
    EMail(3, "c@example.org", 1);
    EXPECT_EQ(List(1), "a@example.org");
}

TEST_F(RecipientsTest, OwnServerEntriesCarryServerSenderAndPort) {
    EMail(1, "a@example.org", 1);
    registry.WriteText(key, "EMailServer1", "mail.example.org");
    EMail(2, "b@example.org", 1);
    registry.WriteText(key, "EMailServer2", "relay");
    registry.WriteText(key, "EMailSender2", "print@example.org");
    registry.WriteNumber(key, "EMailPortNo2", 2525);
    EXPECT_EQ(
        List(1),
        "a@example.org~mail.example.org~<NONE>~25,b@example.org~relay~print@example.org~2525");
}

TEST_F(RecipientsTest, NetworkMessageRecipientsAreNamesOnly) {
    registry.WriteText(key, "NetSend1", "alice");
    registry.WriteNumber(key, "NetSendLevel1", 2);
    registry.WriteText(key, "EMailServer1", "ignored");
    EXPECT_EQ(List(2, kRecipientNetworkMessage), "alice");
    EXPECT_EQ(List(1, kRecipientNetworkMessage), "");
}

TEST_F(RecipientsTest, AClosedWindowLeavesTheRecipientOut) {
    test::ScopedEnv tz("TZ", "UTC");
    tzset();
    clock.SetNow(1767261600);  // Thursday 1 January 2026, 10:00 UTC
    EMail(1, "day@example.org", 1);
    registry.WriteText(key, "EmailMask1", "1111111");
    registry.WriteText(key, "EmailStartTime1", "08:00");
    registry.WriteText(key, "EmailEndTime1", "18:00");
    EMail(2, "night@example.org", 1);
    registry.WriteText(key, "EmailMask2", "1111111");
    registry.WriteText(key, "EmailStartTime2", "22:00");
    registry.WriteText(key, "EmailEndTime2", "06:00");
    EXPECT_EQ(List(1), "day@example.org");
    EXPECT_EQ(List(1023), "day@example.org");
}

TEST_F(RecipientsTest, EntriesThatDoNotFitAreLeftOutWithAWarning) {
    test::LogCapture log;
    EMail(1, "a-very-long-address@example.org", 1);
    EMail(2, "b@example.org", 1);
    EXPECT_EQ(List(1, kRecipientEMail, 20), "b@example.org");
    EXPECT_TRUE(log.Contains(
        "Unable to notify a-very-long-address@example.org - too many users specified"));
}

}  // namespace
}  // namespace kvzn::alerting
