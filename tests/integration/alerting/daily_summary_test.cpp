// The daily summary after a fake midnight, delivered to a private aiosmtpd on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

#include "alerting/dispatcher.h"
#include "alerting/notification_threads.h"
#include "config/registry_names.h"
#include "programs/component_table.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

using namespace std::chrono_literals;

std::time_t LocalTime(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

class DailySummaryTest : public ::testing::Test {
  protected:
    DailySummaryTest() {
        fx_.clock.SetNow(LocalTime(2026, 12, 6, 23, 50));
        fx_.context.enableWebReports = true;
        fx_.AttachAlerts(programs::MakeAlertChannels(fx_.context));
        const std::string contacts = config::SubKey(config::subkey::kContacts);
        fx_.registry.WriteText(contacts, config::contacts::kEMailServer, "127.0.0.1");
        fx_.registry.WriteText(contacts, config::contacts::kSender, "monitor@example.org");
        fx_.registry.WriteNumber(contacts, "DailyReport1", 1);
        fx_.registry.WriteText(contacts, "EMail1", "admin@example.org");
        fx_.registry.WriteNumber(contacts, "DailyReport2", 0);
        fx_.registry.WriteText(contacts, "EMail2", "nobody@example.org");
    }
    void SetMailPort(uint16_t port) {
        fx_.registry.WriteNumber(config::SubKey(config::subkey::kContacts),
                                 config::contacts::kEMailServerPort, port);
    }
    void Raise(int category, int times) {
        for (int i = 0; i < times; ++i) {
            std::string message = "alert " + std::to_string(i);
            ASSERT_EQ(NotifyError(fx_.context, category, 1, 1, "Check", "Source", message), 1);
        }
    }
    test::ServiceFixture fx_;
};

TEST_F(DailySummaryTest, ReportAfterMidnightCountsTheDayAndAFailedMailKeepsTheCounts) {
    ASSERT_TRUE(test::HaveAiosmtpd());
    DailySummary summary(fx_.context);
    Raise(kCategoryPrintServer, 3);
    Raise(kCategoryDiskSpace, 1);
    EXPECT_FALSE(summary.Check()) << "not yet midnight";

    // First night: the mail server is down, so the counts stay for the next report.
    SetMailPort(test::FreeLoopbackPort());
    fx_.clock.AdvanceMs(15 * 60 * 1000);
    test::LogCapture log;
    EXPECT_TRUE(summary.Check());
    EXPECT_TRUE(log.Contains("The daily summary could not be sent"));
    EXPECT_EQ(fx_.Alerts().store.Counts().monitorSpecific, 3u);

    Raise(kCategoryPerformance, 2);
    test::MailServer mail(fx_.dir.path());
    ASSERT_TRUE(mail.ready());
    SetMailPort(mail.port());
    fx_.clock.AdvanceMs(24 * 3600 * 1000);
    EXPECT_TRUE(summary.Check());
    ASSERT_TRUE(test::WaitUntil([&] { return mail.Count() == 1; }, 10s));
    const test::Mail report = mail.Messages()[0];
    EXPECT_EQ(report.Header("Subject"),
              "Korvane Tessel Print Monitor Summary Report @ 08/12/26 00:05");
    EXPECT_EQ(report.Header("X-RcptTo"), "admin@example.org");
    EXPECT_NE(report.body.find("between 06/12/26 23:50 and 08/12/26 00:05 from server PRINTSRV."),
              std::string::npos)
        << report.body;
    EXPECT_NE(report.body.find("No. Monitor-Specific errors : 3\n"
                               "No. Disk Space errors : 1\n"
                               "No. Performance-related errors : 2\n"),
              std::string::npos)
        << report.body;
    // No port in the web server's settings file: the web server's own default.
    EXPECT_NE(report.body.find("http://PRINTSRV:80/PrintErrors.htm"), std::string::npos);
    const SummaryCounts after = fx_.Alerts().store.Counts();
    EXPECT_EQ(after.monitorSpecific + after.diskSpace + after.performance, 0u);
    EXPECT_FALSE(summary.Check()) << "one report a day";
}

}  // namespace
}  // namespace kvzn::alerting
