// The configuration status page: the status file as the monitors wrote it, and
// a test alert raised from the page's form that reaches a real mail server.
#include <gtest/gtest.h>

#include "alerting/dispatcher.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/profile_file.h"
#include "programs/component_table.h"
#include "service/config_status.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"
#include "support/test_web_server.h"
#include "support/web_client.h"
#include "web/config_check.h"
#include "web/web_server.h"

namespace kvzn::web {
namespace {

using namespace std::chrono_literals;

class ConfigCheckTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (!test::HaveAiosmtpd()) {
            GTEST_SKIP() << "python3-aiosmtpd is not installed";
        }
    }
    void StartServer() {
        ASSERT_TRUE(server_.Start(*this, 1, "s3cret"));
        session_.port = server_.port();
        ASSERT_TRUE(session_.LogOn("/ZNConfigCheck.htm", "s3cret"));
    }

    test::TestWebServer server_;
    test::WebSession session_;
};

TEST_F(ConfigCheckTest, ShowsTheStatusFileAndSendsATestAlertByMail) {
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    const std::string contacts = config::SubKey(config::subkey::kContacts);
    registry.WriteText(contacts, "E-Mail Server", "127.0.0.1");
    registry.WriteNumber(contacts, "E-Mail Server Port", mail.port());
    registry.WriteText(contacts, "Sender", "print@example.org");
    registry.WriteText(contacts, "EMail1", "ops@example.org");
    registry.WriteNumber(contacts, "EMailLevel1", 4);
    AttachAlerts(programs::MakeAlertChannels(context));
    StartServer();

    EXPECT_NE(session_.Get("/ZNConfigCheck.htm")
                  .body.find("No configuration issues were detected on the server"),
              std::string::npos);
    service::RecordConfigStatus(context, "Server-specific", "Title", 1, "Spooler <cups>");
    service::RecordConfigStatus(context, "Server-specific", "Reason", 1,
                                "Service does not exist on this server");
    service::RecordConfigStatus(context, "Performance", service::kNoConfigValues, 0, "");
    service::RecordConfigStatus(context, "LogFiles", service::kPermanentError, 0, "");
    const std::string page = session_.Get("/ZNConfigCheck.htm").body;
    EXPECT_NE(page.find("Spooler &lt;cups&gt;"), std::string::npos) << page;
    EXPECT_NE(page.find("<em>Service does not exist on this server</em>"), std::string::npos);
    EXPECT_NE(page.find("No Performance Counters are currently being monitored."),
              std::string::npos);
    EXPECT_NE(page.find("permanent errors are preventing Log Files"), std::string::npos);
    const size_t events = page.find("Event Log Monitoring Failures");
    ASSERT_NE(events, std::string::npos);
    EXPECT_NE(page.find("All enabled configuration options are working correctly", events),
              std::string::npos);

    // A link or a form without the session's token raises nothing.
    session_.Get("/ZNConfigCheck.htm?hTriggerAlert=1&hAlertLevel=4");
    session_.Post("/ZNConfigCheck.htm", "hTriggerAlert=1&hAlertLevel=4&token=x");
    EXPECT_EQ(Alerts().dispatcher.DrainUnsentQueue(), 0);

    const std::string done =
        session_.Post("/ZNConfigCheck.htm", "hTriggerAlert=1&hAlertLevel=4&token=" + session_.token)
            .body;
    EXPECT_NE(done.find("The requested alert has been triggered"), std::string::npos);
    EXPECT_EQ(Alerts().dispatcher.DrainUnsentQueue(), 1);
    const std::vector<test::Mail> mails = mail.Messages();
    ASSERT_EQ(mails.size(), 1U);
    EXPECT_EQ(mails[0].Header("X-RcptTo"), "ops@example.org");
    EXPECT_NE(mails[0].body.find("*** Test Message *** This is a test alert"), std::string::npos)
        << mails[0].body;
    EXPECT_NE(mails[0].body.find("alert level 3."), std::string::npos) << mails[0].body;
}

TEST(ConfigCheckLevels, OnlyASingleMaskBitBelow512NamesItsLevel) {
    EXPECT_EQ(AlertLevelOfMask(1), 1);
    EXPECT_EQ(AlertLevelOfMask(256), 9);
    for (const uint32_t mask : {0U, 3U, 512U, 0xFFFFFFFFU}) {
        EXPECT_EQ(AlertLevelOfMask(mask), 10) << mask;
    }
}

}  // namespace
}  // namespace kvzn::web
