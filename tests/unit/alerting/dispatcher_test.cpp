// The dispatcher with recording channels: order, response codes, failures and delayed mail.
#include "alerting/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "alerting/alert_records.h"
#include "alerting/notification_threads.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

using namespace std::chrono_literals;

class DispatcherTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    DispatcherTest() {
        AlertChannels ch;
        auto record = [this](const char* channel) {
            return [this, channel](service::ServiceContext&, const std::string& path) {
                std::scoped_lock lock(mutex);
                calls.push_back(std::string(channel) + ":" +
                                platform::GetProfileString(kRecordSection, "Message", "", path));
            };
        };
        ch.email = [this, record](service::ServiceContext& c, const std::string& path) {
            record("email")(c, path);
            return emailWorks ? 1 : 0;
        };
        ch.networkMessage = [record](service::ServiceContext& c, const std::string& path) {
            record("net")(c, path);
            return 1;
        };
        ch.alertDataFile = record("file");
        ch.alertDatabase = record("db");
        ch.alertEngine = record("engine");
        ch.emailText = [this](service::ServiceContext&, const std::string& title,
                              const std::string& text, const std::string& list) {
            std::scoped_lock lock(mutex);
            calls.push_back("emailText:" + title + "|" + list + "|" + text);
            return 1;
        };
        SetAlertChannels(ch);
    }
    ~DispatcherTest() override { SetAlertChannels({}); }

    void Raise(const std::string& text, uint32_t action = 0, int autoResponse = 0) {
        std::string message = text;
        ASSERT_EQ(NotifyError(context, kCategoryPrintServer, 1, action, "Printer Error", "HP",
                              message, std::nullopt, std::nullopt, std::nullopt, autoResponse),
                  1);
    }
    std::vector<std::string> Calls() {
        std::scoped_lock lock(mutex);
        return calls;
    }

    std::mutex mutex;
    std::vector<std::string> calls;
    bool emailWorks = true;
};

TEST_F(DispatcherTest, QueuedAlertsAreDeliveredInOrderInOneDrain) {
    Raise("one");
    Raise("two");
    Raise("three");
    EXPECT_EQ(DrainUnsentQueue(context), 3);
    std::vector<std::string> emails;
    for (const auto& c : Calls()) {
        if (c.starts_with("email:")) {
            emails.push_back(c);
        }
    }
    EXPECT_EQ(emails, (std::vector<std::string>{"email:one", "email:two", "email:three"}));
    EXPECT_FALSE(std::filesystem::exists(QueuePath(context)));
}

TEST_F(DispatcherTest, LogOnlyAlertsReachOnlyTheAlertLogs) {
    Raise("quiet", 1);
    DrainUnsentQueue(context);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"file:quiet", "db:quiet"}));
}

TEST_F(DispatcherTest, AutoResponseAlertsRunScriptsOnlyWhenAskedTo) {
    for (uint32_t notifyRunning : {0u, 1u, 2u}) {
        calls.clear();
        context.notifyRunningActions = notifyRunning;
        Raise("auto", 0, 1);
        DrainUnsentQueue(context);
        const auto seen = Calls();
        const bool engine = std::find(seen.begin(), seen.end(), "engine:auto") != seen.end();
        EXPECT_EQ(engine, notifyRunning == 2) << notifyRunning;
        EXPECT_NE(std::find(seen.begin(), seen.end(), "email:auto"), seen.end()) << notifyRunning;
    }
}

TEST_F(DispatcherTest, AFailedEMailIsRecordedMarkedForLaterAndTheOtherChannelsStillRun) {
    emailWorks = false;
    Raise("outage");
    DrainUnsentQueue(context);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"email:outage", "net:outage", "file:outage",
                                                 "db:outage", "engine:outage"}));
    const std::string record = RecordPath(context, 1);
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "SMTPDelayed", "", record), "TRUE");
    const std::string internal = RecordPath(context, 2);
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "ErrorType", "", internal), "16");
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "ErrorTitle", "", internal),
              "Alerting Error");

    // The delayed pass retries until the server takes it.
    calls.clear();
    EXPECT_EQ(ProcessDelayedRecord(context, record), 0);
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "SMTPDelayed", "", record), "TRUE");
    emailWorks = true;
    EXPECT_EQ(ProcessDelayedRecord(context, record), 1);
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "SMTPDelayed", "", record), "FALSE");
    EXPECT_EQ(ProcessDelayedRecord(context, record), 1);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"email:outage", "email:outage"}));
}

TEST_F(DispatcherTest, ARecordWaitingForItsEMailKeepsItsSlot) {
    registry.WriteNumber(config::kProductKey, config::value::kMaxStoredMsgs, 3);
    emailWorks = false;
    Raise("waiting");  // slot 1, marked for delayed e-mail
    DrainUnsentQueue(context);
    emailWorks = true;
    for (int i = 0; i < 4; ++i) {
        Raise("later " + std::to_string(i));
        DrainUnsentQueue(context);
    }
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "Message", "", RecordPath(context, 1)),
              "waiting");
}

TEST_F(DispatcherTest, TheThreadDeliversWhatArrivesAndEndsAtOnceOnStop) {
    context.ResumeAll();
    std::thread dispatcher([&] { AlertNotification(context); });
    Raise("live");
    ASSERT_TRUE(test::WaitUntil([&] { return Calls().size() >= 5; }, 5s));
    const auto before = std::chrono::steady_clock::now();
    context.stopEvent.Set();
    dispatcher.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(Calls().front(), "email:live");
}

TEST_F(DispatcherTest, DelayedThreadWithoutIntervalEndsRightAway) {
    context.ResumeAll();
    std::atomic<bool> ended{false};
    std::thread delayed([&] {
        DelayedAlertNotification(context);
        ended = true;
    });
    EXPECT_TRUE(test::WaitUntil([&] { return ended.load(); }, 2s));
    context.stopEvent.Set();  // lets a wrongly waiting thread go, so the test ends either way
    delayed.join();
}

TEST_F(DispatcherTest, FailureBroadcastGoesToLevelOneRecipients) {
    const std::string contacts = config::SubKey(config::subkey::kContacts);
    registry.WriteText(contacts, "EMail1", "ops@example.org");
    registry.WriteNumber(contacts, "EMailLevel1", 1);
    registry.WriteText(contacts, "EMail2", "other@example.org");
    registry.WriteNumber(contacts, "EMailLevel2", 2);
    BroadcastConfigurationFailure(context, kCategoryPerformance, "Counters failed");
    EXPECT_EQ(Calls(),
              std::vector<std::string>{
                  "emailText:Korvane/Tessel Monitor Error|ops@example.org|Message from Korvane. "
                  "Counters failed. Please check the local Korvane log file on server PRINTSRV for "
                  "more information on this fault and adjust the configuration settings "
                  "accordingly. One or more monitoring features have been disabled."});
}

}  // namespace
}  // namespace kvzn::alerting
