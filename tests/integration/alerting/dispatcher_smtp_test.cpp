// The dispatcher with the program's channels against a private aiosmtpd on loopback: what
// arrives, for whom, in which order, and what a mail server outage leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "alerting/notification_threads.h"
#include "channels/alert_email.h"
#include "channels/network_message.h"
#include "companion/tcpip.h"
#include "platform/profile_file.h"
#include "programs/component_table.h"
#include "support/mail_server.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

using namespace std::chrono_literals;

constexpr const char* kEmailFailure =
    "One or more errors occurred when sending e-mail notification. Please check that your SMTP "
    "server is running, the Tessel Monitor's alert configuration and the Korvane log file";

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

// The tag of an alert raised by Raise: the text in square brackets of its message.
std::string Tag(const test::Mail& mail) {
    const size_t open = mail.body.find('[');
    const size_t close = mail.body.find(']', open);
    return open == std::string::npos || close == std::string::npos
               ? "<untagged>"
               : mail.body.substr(open + 1, close - open - 1);
}

// Tags of the stored messages per recipient address, in order of arrival.
using Received = std::map<std::string, std::vector<std::string>>;

// The alert notification thread as the service host runs it; stopped and joined on
// destruction.
class DispatcherThread {
  public:
    explicit DispatcherThread(service::ServiceContext& ctx) : ctx_(ctx) {
        ctx_.ResumeAll();
        thread_ = std::thread([this] { AlertNotification(ctx_); });
    }
    ~DispatcherThread() {
        ctx_.stopEvent.Set();
        thread_.join();
    }

  private:
    service::ServiceContext& ctx_;
    std::thread thread_;
};

class DispatcherSmtpTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        if (!test::HaveAiosmtpd()) {
            GTEST_SKIP() << "python3-aiosmtpd is not installed";
        }
        tzset();
        context.SetComponentStatusSink([this](int, std::string_view text) {
            std::scoped_lock lock(mutex_);
            statuses_.emplace_back(text);
        });
    }
    void TearDown() override { context.SetComponentStatusSink({}); }

    // A run with the program's channels (settings are read as the run starts); the network
    // message channel and the alert logs, which this program does not set, are watched so a
    // failing e-mail can be seen not to stop them, and e-mail can be held at a gate.
    void StartRun() {
        AlertChannels ch = programs::MakeAlertChannels(context);
        ASSERT_TRUE(ch.email && ch.networkMessage);
        ch.email = [this, mail = ch.email](service::ServiceContext& c, const AlertRecord& record,
                                           const std::optional<std::string>& list) {
            std::scoped_lock gate(emailGate_);
            return mail(c, record, list);
        };
        ch.networkMessage = [this, net = ch.networkMessage](service::ServiceContext& c,
                                                            const AlertRecord& record) {
            Note("net", record);
            return net(c, record);
        };
        ch.alertDataFile = [this](service::ServiceContext&, const AlertRecord& record,
                                  const std::string&) { Note("file", record); };
        ch.alertLog = [this](service::ServiceContext&, const AlertRecord& record,
                             const std::string&) { Note("log", record); };
        AttachAlerts(std::move(ch));
    }
    int Drain() { return Alerts().dispatcher.DrainUnsentQueue(); }
    std::string RecordKey(uint32_t slot, const char* name, size_t size = 260) {
        return platform::GetProfileString(kRecordSection, name, "", Alerts().store.RecordPath(slot),
                                          size);
    }

    void CommonServer(uint16_t port) {
        registry.WriteText(key, "E-Mail Server", "127.0.0.1");
        registry.WriteNumber(key, "E-Mail Server Port", port);
        registry.WriteText(key, "Sender", "print@example.org");
    }
    void Contact(int n, const std::string& address, uint32_t mask) {
        registry.WriteText(key, "EMail" + std::to_string(n), address);
        registry.WriteNumber(key, "EMailLevel" + std::to_string(n), mask);
    }
    // Raises an alert whose message carries `tag` in square brackets.
    void Raise(const std::string& tag, uint32_t mask, uint32_t action = 0) {
        std::string message = "Printer LASER3 reports [" + tag + "]";
        ASSERT_EQ(NotifyError(context, kCategoryPrintServer, mask, action, "Printer Status",
                              "LASER3", message),
                  1);
    }
    static Received ByRecipient(const test::MailServer& server) {
        Received got;
        for (const test::Mail& m : server.Messages()) {
            got[m.Header("X-RcptTo")].push_back(Tag(m));
        }
        return got;
    }

    void Note(const char* channel, const AlertRecord& record) {
        std::scoped_lock lock(mutex_);
        notes_.push_back(std::string(channel) + ":" + record.message.value_or(""));
    }
    bool Noted(const std::string& note) {
        std::scoped_lock lock(mutex_);
        return std::find(notes_.begin(), notes_.end(), note) != notes_.end();
    }
    bool StatusSeen(const std::string& text) {
        std::scoped_lock lock(mutex_);
        return std::find(statuses_.begin(), statuses_.end(), text) != statuses_.end();
    }

    test::ScopedEnv tz{"TZ", "UTC0"};
    const std::string key = config::SubKey(config::subkey::kContacts);
    std::mutex mutex_;
    std::vector<std::string> notes_;
    std::vector<std::string> statuses_;
    std::mutex emailGate_;
};

TEST_F(DispatcherSmtpTest, AQueuedAlertArrivesInTheFixedLayout) {
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "ops@example.org", 2);
    StartRun();
    std::string message = "Printer LASER3 is out of paper";
    ASSERT_EQ(NotifyError(context, kCategoryPrintServer, 2, 0, "Printer Status", "LASER3", message),
              1);
    const std::string logged = RecordKey(1, "Time");
    clock.AdvanceMs(65000);  // the mail is composed later than the error was seen

    EXPECT_EQ(Drain(), 1);
    EXPECT_FALSE(std::filesystem::exists(Alerts().store.QueuePath()));
    const std::vector<test::Mail> mails = mail.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const test::Mail& m = mails[0];
    EXPECT_EQ(m.Header("Subject"), "* Error detected on Server PRINTSRV (Printer Status)");
    EXPECT_EQ(m.Header("X-RcptTo"), "ops@example.org");
    EXPECT_EQ(m.Header("X-MailFrom"), "print@example.org");

    std::string separator = "-";
    for (int i = 1; i < 48; ++i) {
        separator += " -";
    }
    const std::string now = StandardTimeText(context.DateFormat(), clock);
    ASSERT_NE(logged, now);
    const std::vector<std::string> expected = {
        "",
        "The Korvane/Tessel Print Monitor has detected the following error on server PRINTSRV "
        "...",
        "",
        "Printer LASER3 is out of paper",
        "",
        separator,
        "",
        "Additional information on this error follow ...",
        "",
        "Error/Check Being Performed: Printer Status",
        "Error Detected at: " + logged,
        "Notification (e-mail) raised at: " + now,
        "Source of Error: LASER3",
        "Server Name: PRINTSRV",
        "O/S Type: " + OperatingSystemName(),
        "Latest Service Pack: " + ServicePackText(),
        "",
        separator,
        "",
        "If this should not be considered an error, the check value is incorrect or you do not "
        "wish to receive this notification, simply edit the check using the Tessel Monitor "
        "Configuration Utility.",
        "",
        "Thank you for choosing Korvane as your monitoring solution!",
    };
    std::vector<std::string> lines = Lines(m.body);
    // The last line points to the maker's web site; its wording is ours to choose.
    ASSERT_EQ(lines.size(), expected.size() + 1) << m.body;
    EXPECT_NE(lines.back().find("web site"), std::string::npos) << lines.back();
    lines.pop_back();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i], expected[i]) << "body line " << i + 1;
    }
}

TEST_F(DispatcherSmtpTest, EachRecipientReceivesOnlyTheLevelsOfItsMask) {
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "printers@example.org", 6);  // levels 2 and 3
    Contact(2, "desk@example.org", 1);      // level 1
    StartRun();
    Raise("level 1", 1);
    Raise("level 2", 2);
    Raise("level 3", 4);
    Raise("level 4", 8);  // nobody's level

    EXPECT_EQ(Drain(), 4);
    EXPECT_EQ(ByRecipient(mail), (Received{{"printers@example.org", {"level 2", "level 3"}},
                                           {"desk@example.org", {"level 1"}}}));
    // Every alert went through the other channels, mailed or not.
    for (const char* tag : {"level 1", "level 2", "level 3", "level 4"}) {
        EXPECT_TRUE(Noted(std::string("net:Printer LASER3 reports [") + tag + "]")) << tag;
    }
}

TEST_F(DispatcherSmtpTest, AnAlertForAllLevelsReachesRecipientsWithoutLevels) {
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "nolevels@example.org", 0);
    Contact(2, "desk@example.org", 1);
    StartRun();
    Raise("counters failed", kAllLevels);
    Raise("level 1", 1);

    EXPECT_EQ(Drain(), 2);
    EXPECT_EQ(ByRecipient(mail), (Received{{"nolevels@example.org", {"counters failed"}},
                                           {"desk@example.org", {"counters failed", "level 1"}}}));
}

TEST_F(DispatcherSmtpTest, AlertsQueuedWhileTheDispatcherIsBusyArriveInTheirOrder) {
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "ops@example.org", 2);
    StartRun();
    DispatcherThread dispatcher(context);
    // Holding the e-mail gate keeps the dispatcher inside its first delivery.
    std::unique_lock sendLock(emailGate_);
    Raise("first", 2);
    ASSERT_TRUE(
        test::WaitUntil([&] { return StatusSeen("Processing configured e-mail alerts"); }, 5s));
    Raise("second", 2);
    Raise("third", 2);
    Raise("fourth", 2);
    EXPECT_EQ(Alerts().store.QueuedRecords().size(), 3u);
    EXPECT_EQ(mail.Count(), 0u);
    sendLock.unlock();

    ASSERT_TRUE(test::WaitUntil([&] { return mail.Count() >= 4; }, 10s)) << mail.Count();
    EXPECT_EQ(ByRecipient(mail),
              (Received{{"ops@example.org", {"first", "second", "third", "fourth"}}}));
}

TEST_F(DispatcherSmtpTest, ALogOnlyAlertPassesTheQueueButIsNotMailed) {
    test::MailServer mail(dir.path());
    ASSERT_TRUE(mail.ready()) << mail.Output();
    CommonServer(mail.port());
    Contact(1, "ops@example.org", 2);
    StartRun();
    Raise("log only", 2, 1);
    Raise("notify", 2);

    // Delivery is synchronous: what the drain sent is stored when it returns.
    EXPECT_EQ(Drain(), 2);
    EXPECT_EQ(ByRecipient(mail), (Received{{"ops@example.org", {"notify"}}}));
    EXPECT_TRUE(Noted("file:Printer LASER3 reports [log only]"));
    EXPECT_TRUE(Noted("log:Printer LASER3 reports [log only]"));
    EXPECT_FALSE(Noted("net:Printer LASER3 reports [log only]"));
    EXPECT_TRUE(Noted("net:Printer LASER3 reports [notify]"));
    EXPECT_FALSE(std::filesystem::exists(Alerts().store.QueuePath()));
}

// A mail server that cannot take the alert, seen through the dispatcher.
enum class Outage { kServerDown, kRecipientRefused, kNeverAnswers };

struct OutageCase {
    Outage outage;
    const char* name;
    double minSeconds;  // the drain waits at least this long
    double maxSeconds;  // and returns within this
};

void PrintTo(const OutageCase& c, std::ostream* os) {
    *os << c.name;
}

class DispatcherSmtpOutageTest : public DispatcherSmtpTest,
                                 public ::testing::WithParamInterface<OutageCase> {};

TEST_P(DispatcherSmtpOutageTest, TheFailureIsRecordedInTimeAndTheOtherChannelsStillRun) {
    const OutageCase& c = GetParam();
    std::optional<test::MailServer> refusing;
    companion::Socket silent;  // listens, never accepts, never writes
    std::string address = "ops@example.org";
    switch (c.outage) {
        case Outage::kServerDown:
            CommonServer(test::FreeLoopbackPort());
            break;
        case Outage::kRecipientRefused:
            refusing.emplace(dir.path(), test::kRefusingMailbox);
            ASSERT_TRUE(refusing->ready()) << refusing->Output();
            CommonServer(refusing->port());
            address = "nobody@example.org";
            break;
        case Outage::kNeverAnswers:
            ASSERT_EQ(companion::IpCreateServer(silent, 0, "127.0.0.1"), companion::kIpOk);
            CommonServer(companion::IpLocalPort(silent));
            break;
    }
    Contact(1, address, 2);
    registry.WriteNumber(key, "DelayedSMTPCheckInterval", 5);  // retries on
    StartRun();
    test::LogCapture log;
    Raise("outage", 2);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Drain(), 1);
    const double elapsed = SecondsSince(start);
    RecordProperty("drain_seconds", std::to_string(elapsed));
    EXPECT_GE(elapsed, c.minSeconds);
    EXPECT_LT(elapsed, c.maxSeconds);

    EXPECT_EQ(RecordKey(2, "ErrorTitle"), "Alerting Error");
    EXPECT_EQ(RecordKey(2, "ErrorType"), "16");
    // Quotes of a record's message are blanked like those of any other alert.
    std::string recorded = kEmailFailure;
    std::replace(recorded.begin(), recorded.end(), '\'', ' ');
    EXPECT_EQ(RecordKey(2, "Message", 1000), recorded);
    EXPECT_TRUE(log.Contains(kEmailFailure, "kvZNAlertNotification"));
    EXPECT_EQ(RecordKey(1, "SMTPDelayed"), "TRUE");
    EXPECT_EQ(RecordKey(1, "SMTPPending"), address);
    EXPECT_EQ(Alerts().store.AwaitingRetry(),
              std::vector<std::string>{Alerts().store.RecordPath(1)});
    // The internal record is not queued: nothing is left for the dispatcher.
    EXPECT_FALSE(std::filesystem::exists(Alerts().store.QueuePath()));
    EXPECT_TRUE(Noted("net:Printer LASER3 reports [outage]"));
    EXPECT_TRUE(Noted("file:Printer LASER3 reports [outage]"));
    EXPECT_TRUE(Noted("log:Printer LASER3 reports [outage]"));
    if (refusing) {
        EXPECT_EQ(refusing->Count(), 0u);
    }
}

TEST_F(DispatcherSmtpTest, ARetryGoesOnlyToTheRecipientThatWasNotServed) {
    test::MailServer mail(dir.path());
    test::MailServer refusing(dir.path(), test::kRefusingMailbox);
    ASSERT_TRUE(mail.ready()) << mail.Output();
    ASSERT_TRUE(refusing.ready()) << refusing.Output();
    CommonServer(mail.port());
    const std::string refused =
        "nobody@example.org~127.0.0.1~<NONE>~" + std::to_string(refusing.port());
    Contact(1, "ops@example.org", 2);
    Contact(2, "nobody@example.org", 2);
    registry.WriteText(key, "EMailServer2", "127.0.0.1");
    registry.WriteNumber(key, "EMailPortNo2", refusing.port());
    registry.WriteNumber(key, "DelayedSMTPCheckInterval", 5);
    StartRun();
    Raise("partly", 2);
    EXPECT_EQ(Drain(), 1);
    EXPECT_EQ(ByRecipient(mail), (Received{{"ops@example.org", {"partly"}}}));
    EXPECT_EQ(RecordKey(1, "SMTPPending"), refused);

    Alerts().dispatcher.DelayedPass();
    EXPECT_EQ(mail.Count(), 1u) << "the served recipient is not mailed again";
    EXPECT_EQ(RecordKey(1, "SMTPAttempts"), "2");
    EXPECT_EQ(RecordKey(1, "SMTPDelayed"), "TRUE");
}

INSTANTIATE_TEST_SUITE_P(
    Outages, DispatcherSmtpOutageTest,
    ::testing::Values(OutageCase{Outage::kServerDown, "ServerDown", 0.0, 2.0},
                      OutageCase{Outage::kRecipientRefused, "RecipientRefused", 0.0, 2.0},
                      OutageCase{Outage::kNeverAnswers, "NeverAnswers",
                                 channels::kSmtpReplyTimeout - 0.5,
                                 channels::kSmtpReplyTimeout + 2.0}),
    [](const ::testing::TestParamInfo<OutageCase>& param) { return param.param.name; });

}  // namespace
}  // namespace kvzn::alerting
