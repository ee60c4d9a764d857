// Alert e-mail composition: recipient entries, the fixed layout, the user templates.
#include "channels/alert_email.h"

#include <gtest/gtest.h>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

TEST(AlertEMailTest, RecipientEntriesResolveAgainstTheCommonServer) {
    const EMailRoute common{"", "mail.example.org", "print@example.org", 25, ""};
    struct Case {
        const char* list;
        std::vector<std::vector<std::string>> routes;  // address, server, sender, port
    };
    const std::vector<Case> cases = {
        {"ops@example.org", {{"ops@example.org", "mail.example.org", "print@example.org", "25"}}},
        {"a@x.org~relay~<none>~2525, b@x.org",
         {{"a@x.org", "relay", "print@example.org", "2525"},
          {"b@x.org", "mail.example.org", "print@example.org", "25"}}},
        {"a@x.org~relay~me@x.org~", {{"a@x.org", "relay", "me@x.org", "25"}}},
        {"a@x.org~~~587", {{"a@x.org", "mail.example.org", "print@example.org", "587"}}},
        {"a@x.org~relay", {{"a@x.org", "relay", "print@example.org", "25"}}},
        {"a@x.org~relay~~port", {{"a@x.org", "relay", "print@example.org", "0"}}},
        {"a@x.org~relay~~70000", {{"a@x.org", "relay", "print@example.org", "0"}}},
        {" a@x.org\r\nb@x.org\n,,",
         {{"a@x.org", "mail.example.org", "print@example.org", "25"},
          {"b@x.org", "mail.example.org", "print@example.org", "25"}}},
        {"", {}},
    };
    for (const Case& c : cases) {
        const std::vector<EMailRoute> routes = ResolveRecipientList(c.list, common);
        ASSERT_EQ(routes.size(), c.routes.size()) << c.list;
        for (size_t i = 0; i < routes.size(); ++i) {
            EXPECT_EQ((std::vector<std::string>{routes[i].address, routes[i].server,
                                                routes[i].sender, std::to_string(routes[i].port)}),
                      c.routes[i])
                << c.list;
        }
    }
    EXPECT_EQ(ResolveRecipientList(std::string(1200, 'a'), common).at(0).address.size(), 999u);
}

class AlertEMailRecordTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    AlertEMailRecordTest() { tzset(); }
    ~AlertEMailRecordTest() override { tzset(); }
    // An alert recorded at 09:30:00 and e-mailed 95 seconds later.
    alerting::AlertRecord Record(uint32_t level = 4) {
        clock.SetNow(1767259800);  // Thursday 1 January 2026, 09:30:00 UTC
        std::string message = "Printer LASER3 is out of paper";
        EXPECT_EQ(alerting::NotifyError(context, alerting::kCategoryPrintServer, level, 0,
                                        "Printer Status", "LASER3", message, "tray 2", "A4"),
                  1);
        clock.AdvanceMs(95000);
        return alerting::AlertRecord::Load(Alerts().store.RecordPath(1)).value();
    }
    void Templates(const std::string& message, const std::string& title) {
        registry.WriteText(key, "MessageText", message);
        registry.WriteText(key, "TitleText", title);
    }
    test::ScopedEnv tz{"TZ", "UTC0"};
    const std::string key = config::SubKey(config::subkey::kContacts);
    std::string subject, body;
    std::optional<EMailChannel> channel{std::in_place, context};
};

TEST_F(AlertEMailRecordTest, TheFixedLayoutReadsAsWritten) {
    const alerting::AlertRecord record = Record();
    ASSERT_EQ(channel->ComposeAlertEMail(record, subject, body), 1);
    EXPECT_EQ(subject, "* Error detected on Server PRINTSRV (Printer Status)");
    const std::string sep =
        "- - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - - "
        "- - -";
    ASSERT_EQ(sep.size(), 95u);
    EXPECT_EQ(body,
              "\nThe Korvane/Tessel Print Monitor has detected the following error on server "
              "PRINTSRV ...\r\n\r\n"
              "Printer LASER3 is out of paper\r\n\r\n" +
                  sep +
                  "\r\n\r\nAdditional information on this error follow ...\r\n\r\n"
                  "Error/Check Being Performed: Printer Status\r\n"
                  "Error Detected at: 01/01/2026 09:30:00\r\n"
                  "Notification (e-mail) raised at: 01/01/2026 09:31:35\r\n"
                  "Source of Error: LASER3\r\n"
                  "Server Name: PRINTSRV\r\n"
                  "O/S Type: " +
                  alerting::OperatingSystemName() +
                  "\r\n"
                  "Latest Service Pack: " +
                  alerting::ServicePackText() + "\r\n\r\n" + sep +
                  "\r\n\r\nIf this should not be considered an error, the check value is "
                  "incorrect or you do not wish to receive this notification, simply edit the "
                  "check using the Tessel Monitor Configuration Utility.\r\n\r\n"
                  "Thank you for choosing Korvane as your monitoring solution!\r\n"
                  "Visit the Halvern web site at https://www.halvern.example/ for product news "
                  "and support.");
}

TEST_F(AlertEMailRecordTest, UserTemplatesAreExpandedAndReadOncePerRun) {
    const alerting::AlertRecord record = Record();
    Templates(
        "<$$TEST> on <$$SERVER>: <$$ERROR> (<$$INFO1>, <$$INFO2>) level <$$ALERTLEVEL> "
        "at <$$TIMELOGGED>, sent <$$TIMENOW>",
        "Alert <$$TEST> [<$$SOURCE>]");
    ASSERT_EQ(channel->ComposeAlertEMail(record, subject, body), 1);
    EXPECT_EQ(subject, "Alert Printer Status [LASER3]");
    EXPECT_EQ(body,
              "Printer Status on PRINTSRV: Printer LASER3 is out of paper (tray 2, A4) level 3 at "
              "01/01/2026 09:30:00, sent 01/01/2026 09:31:35");

    Templates("changed", "changed");
    ASSERT_EQ(channel->ComposeAlertEMail(record, subject, body), 1);
    EXPECT_EQ(subject, "Alert Printer Status [LASER3]");
    channel.emplace(context);  // the next run reads them again
    ASSERT_EQ(channel->ComposeAlertEMail(record, subject, body), 1);
    EXPECT_EQ(subject, "changed");
}

TEST_F(AlertEMailRecordTest, NoneInAnyCaseAndAnEmptyTemplateSelectTheFixedLayout) {
    const alerting::AlertRecord record = Record();
    for (const char* none : {"none", "NONE", ""}) {
        channel.emplace(context);
        Templates(none, "ignored <$$TEST>");
        ASSERT_EQ(channel->ComposeAlertEMail(record, subject, body), 1) << none;
        EXPECT_EQ(subject, "* Error detected on Server PRINTSRV (Printer Status)") << none;
    }
}

TEST_F(AlertEMailRecordTest, RecordsWithoutRecipientsNeedNoSession) {
    // Recipients exist, but no server is configured: any attempt to send would fail.
    registry.WriteText(key, "EMail1", "ops@example.org");
    registry.WriteNumber(key, "EMailLevel1", 1023);
    alerting::AlertRecord record = Record(4);
    record.alertLevel.reset();
    EXPECT_EQ(channel->SendEMailMessageFromFile(record).result, 1);

    test::LogCapture log;
    record.alertLevel = 4;
    EXPECT_EQ(channel->SendEMailMessageFromFile(record).result, 0);
    EXPECT_TRUE(
        log.Contains("Unable to notify SMTP users for test Printer Status - no SMTP "
                     "Server has been defined",
                     "kvZNAlertNotification"));
    EXPECT_EQ(channel->SendEMailMessageFromFile(record, std::string()).result, 0);
}

}  // namespace
}  // namespace kvzn::channels
