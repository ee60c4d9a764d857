// Alert e-mail delivered to private aiosmtpd servers on loopback, and to peers that refuse,
// hang up or never answer.
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "alerting/dispatcher.h"
#include "platform/profile_file.h"
#include "programs/component_table.h"

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "alerting/dispatcher.h"
#include "channels/alert_email.h"
#include "companion/tcpip.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

using namespace std::chrono_literals;
using test::FreeLoopbackPort;
using test::HaveAiosmtpd;
using test::Mail;
using test::MailServer;

std::string WithLineFeeds(std::string text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class SmtpDeliveryTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (!HaveAiosmtpd())
            GTEST_SKIP() << "python3-aiosmtpd is not installed";
        tzset();
    }
    void CommonServer(uint16_t port) {
        registry.WriteText(key, "E-Mail Server", "127.0.0.1");
        registry.WriteNumber(key, "E-Mail Server Port", port);
        registry.WriteText(key, "Sender", "print@example.org");
    }
    void Contact(int n, const std::string& address, uint32_t mask = 2) {
        registry.WriteText(key, "EMail" + std::to_string(n), address);
        registry.WriteNumber(key, "EMailLevel" + std::to_string(n), mask);
    }
    alerting::AlertRecord Alert() {
        std::string message = "Printer LASER3 is out of paper";
        EXPECT_EQ(alerting::NotifyError(context, alerting::kCategoryPrintServer, 2, 0,
                                        "Printer Status", "LASER3", message),
                  1);
        return alerting::AlertRecord::Load(Alerts().store.RecordPath(1)).value();
    }
    test::ScopedEnv tz{"TZ", "UTC0"};
    const std::string key = config::SubKey(config::subkey::kContacts);
    EMailChannel channel{context};
};

TEST_F(SmtpDeliveryTest, AnAlertRecordArrivesInTheFixedLayout) {
    MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "ops@example.org");
    Contact(2, "boss@example.org", 1);  // another level: not e-mailed
    const alerting::AlertRecord record = Alert();

    EXPECT_EQ(channel.SendEMailMessageFromFile(record).result, 1);
    const std::vector<Mail> mails = mail.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const Mail& m = mails[0];
    EXPECT_EQ(m.Header("Subject"), "* Error detected on Server PRINTSRV (Printer Status)");
    EXPECT_EQ(m.Header("From"), "print@example.org");
    EXPECT_EQ(m.Header("To"), "ops@example.org");
    EXPECT_EQ(m.Header("X-RcptTo"), "ops@example.org");
    EXPECT_EQ(m.Header("X-MailFrom"), "print@example.org");
    EXPECT_TRUE(m.Header("Message-ID").ends_with("@example.org>")) << m.Header("Message-ID");
    EXPECT_EQ(m.Header("Date").size(), 31u) << m.Header("Date");
    std::string subject, body;
    ASSERT_EQ(channel.ComposeAlertEMail(record, subject, body), 1);
    EXPECT_EQ(WithLineFeeds(m.body), WithLineFeeds(body));
}

TEST_F(SmtpDeliveryTest, TemplatesAreExpandedAndEachRecipientHasItsOwnSession) {
    MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "ops@example.org");
    Contact(2, "desk@example.org");
    registry.WriteText(
        key, "MessageText",
        "<$$TEST> on <$$SERVER>:\r\n<$$ERROR>\r\n.\r\n.hidden\nlevel <$$ALERTLEVEL>");
    registry.WriteText(key, "TitleText", "[<$$SERVER>] <$$TEST>");

    EXPECT_EQ(channel.SendEMailMessageFromFile(Alert()).result, 1);
    const std::vector<Mail> mails = mail.Messages();
    ASSERT_EQ(mails.size(), 2u);
    std::set<std::string> recipients;
    for (const Mail& m : mails) {
        recipients.insert(m.Header("X-RcptTo"));
        EXPECT_EQ(m.Header("Subject"), "[PRINTSRV] Printer Status");
        EXPECT_EQ(
            WithLineFeeds(m.body),
            "Printer Status on PRINTSRV:\nPrinter LASER3 is out of paper\n.\n.hidden\nlevel 2");
    }
    EXPECT_EQ(recipients, (std::set<std::string>{"ops@example.org", "desk@example.org"}));
}

TEST_F(SmtpDeliveryTest, RecipientsWithTheirOwnServerSenderAndPort) {
    MailServer common(dir.path());
    MailServer own(dir.path());
    ASSERT_TRUE(common.ready() && own.ready()) << common.Output() << own.Output();
    CommonServer(common.port());
    Contact(1, "a@example.org");
    Contact(2, "b@example.org");
    registry.WriteText(key, "EMailServer2", "127.0.0.1");
    registry.WriteNumber(key, "EMailPortNo2", own.port());
    Contact(3, "c@example.org");
    registry.WriteText(key, "EMailServer3", "127.0.0.1");
    registry.WriteText(key, "EMailSender3", "relay@example.org");
    registry.WriteNumber(key, "EMailPortNo3", own.port());

    EXPECT_EQ(channel.SendEMailMessageFromFile(Alert()).result, 1);
    const std::vector<Mail> viaCommon = common.Messages();
    ASSERT_EQ(viaCommon.size(), 1u);
    EXPECT_EQ(viaCommon[0].Header("X-RcptTo"), "a@example.org");
    std::map<std::string, std::string> senders;
    for (const Mail& m : own.Messages()) {
        senders[m.Header("X-RcptTo")] = m.Header("X-MailFrom");
        EXPECT_EQ(m.Header("From"), m.Header("X-MailFrom"));
    }
    EXPECT_EQ(senders,
              (std::map<std::string, std::string>{{"b@example.org", "print@example.org"},
                                                  {"c@example.org", "relay@example.org"}}));
}

TEST_F(SmtpDeliveryTest, LineBreaksInTheSubjectAndDotLinesInTheBodyArriveHarmless) {
    MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    EXPECT_EQ(channel.SendEMailMessage("Job Check", "Report.doc\r\nBcc: victim@example.org",
                                       "first\n.\nsecond\r\n..two dots\n.", "ops@example.org"),
              1);
    const std::vector<Mail> mails = mail.Messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].Header("Subject"), "Report.doc Bcc: victim@example.org");
    EXPECT_EQ(mails[0].headers.count("Bcc"), 0u);
    EXPECT_EQ(mails[0].Header("X-RcptTo"), "ops@example.org");
    EXPECT_EQ(WithLineFeeds(mails[0].body), "first\n.\nsecond\n..two dots\n.");
}

TEST_F(SmtpDeliveryTest, ARefusedRecipientFailsTheAlertButNotTheOthers) {
    MailServer mail(dir.path(), test::kRefusingMailbox);
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    test::LogCapture log;
    EXPECT_EQ(
        channel.SendEMailMessage("Printer Status", "s", "b", "nobody@example.org, ops@example.org"),
        0);
    EXPECT_TRUE(
        log.Contains("Unable to send SMTP message. The original request was RCPT TO: "
                     "<nobody@example.org>"));
    EXPECT_TRUE(log.Contains(
        "Unable to send SMTP message. The server's response (-1) was 550 5.1.1 No such user"));
    EXPECT_TRUE(log.Contains("An error occurred sending SMTP message to the Server 127.0.0.1",
                             "kvNotify.DLL"));
    const std::vector<Mail> mails = mail.Messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].Header("X-RcptTo"), "ops@example.org");
}

TEST_F(SmtpDeliveryTest, UnreachableServersFailWithinTheirTimeOuts) {
    // Bound but not listening: connections are refused at once.
    companion::Socket closed(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(closed.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // Listening: the backlog accepts the connection, but nothing is ever written.
    companion::Socket silent;
    ASSERT_EQ(companion::IpCreateServer(silent, 0, "127.0.0.1"), companion::kIpOk);
    const std::string list =
        "ops@example.org~127.0.0.1~<NONE>~" + std::to_string(companion::IpLocalPort(closed)) +
        ",ops@example.org~127.0.0.1~<NONE>~" + std::to_string(companion::IpLocalPort(silent));
    CommonServer(1);
    test::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.SendEMailMessage("Printer Status", "s", "b", list), 0);
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, kSmtpReplyTimeout - 0.5);
    EXPECT_LT(elapsed, kSmtpReplyTimeout + 2.0);
    const std::string opening = "Unable to send SMTP message as ";
    EXPECT_TRUE(log.Contains(opening + "a connection to the target server 127.0.0.1 could not be "
                                       "established. Error 111"));
    EXPECT_TRUE(log.Contains(opening + "the connection to the target server 127.0.0.1 timed out "
                                       "waiting for an initial response"));
    EXPECT_EQ(log.Count("Unable to connect to the SMTP Server 127.0.0.1"), 2u);
    // The send lock is free again for the next alert.
    EXPECT_TRUE(channel.SendLock().try_lock());
    channel.SendLock().unlock();
}

}  // namespace
}  // namespace kvzn::channels

namespace kvzn::channels {
namespace {

// The dispatcher with the program's channels: a mail server outage delays the alert, the
// delayed pass sends it once the server is back.
TEST_F(SmtpDeliveryTest, AnAlertDelayedByAnOutageIsSentWhenTheServerIsBack) {
    CommonServer(FreeLoopbackPort());  // nothing listens there
    Contact(1, "ops@example.org");
    registry.WriteNumber(key, "DelayedSMTPCheckInterval", 5);
    alerting::Dispatcher& dispatcher =
        AttachAlerts(programs::MakeAlertChannels(context)).dispatcher;
    Alert();
    const std::string record = Alerts().store.RecordPath(1);
    EXPECT_EQ(dispatcher.DrainUnsentQueue(), 1);
    EXPECT_EQ(platform::GetProfileString("Default", "SMTPDelayed", "", record), "TRUE");
    EXPECT_EQ(platform::GetProfileString("Default", "ErrorTitle", "",
                                         alerting::Alerts(context).store.RecordPath(2)),
              "Alerting Error");

    MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready());
    CommonServer(mail.port());
    EXPECT_EQ(dispatcher.ProcessDelayedRecord(record), 1);
    EXPECT_EQ(platform::GetProfileString("Default", "SMTPDelayed", "", record), "FALSE");
    ASSERT_TRUE(test::WaitUntil([&] { return mail.Messages().size() == 1; }, 5s));
    EXPECT_NE(mail.Messages()[0].body.find("Printer LASER3 is out of paper"), std::string::npos);
    EXPECT_TRUE(Alerts().store.AwaitingRetry().empty());
}

}  // namespace
}  // namespace kvzn::channels
