// The dispatcher with recording channels: order, response codes, failures and e-mail retries.
#include "alerting/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "alerting/notification_threads.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

using namespace std::chrono_literals;

class DispatcherTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    DispatcherTest() { Reopen(); }

    // A new run with the recording channels (settings are read when the run starts).
    void Reopen(DispatcherOptions options = {}) {
        AlertChannels ch;
        auto record = [this](const char* channel) {
            return [this, channel](service::ServiceContext&, const AlertRecord& r,
                                   const std::string&) {
                Call(std::string(channel) + ":" + r.message.value_or(""));
            };
        };
        ch.email = [this](service::ServiceContext&, const AlertRecord& r,
                          const std::optional<std::string>& list) {
            Call("email:" + r.message.value_or("") + (list ? "|" + *list : ""));
            if (r.message == "throws") {
                throw std::runtime_error("channel broke");
            }
            return emailResult;
        };
        ch.networkMessage = [this](service::ServiceContext&, const AlertRecord& r) {
            Call("net:" + r.message.value_or(""));
            return 1;
        };
        ch.alertDataFile = record("file");
        ch.alertDatabase = record("db");
        ch.alertEngine = record("engine");
        ch.emailText = [this](service::ServiceContext&, const std::string& title,
                              const std::string& text, const std::string& list) {
            Call("emailText:" + title + "|" + list + "|" + text);
            return 1;
        };
        AttachAlerts(std::move(ch), {}, options);
    }
    void Call(std::string text) {
        std::scoped_lock lock(mutex);
        calls.push_back(std::move(text));
    }
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
    void ClearCalls() {
        std::scoped_lock lock(mutex);
        calls.clear();
    }
    Dispatcher& Dispatch() { return Alerts().dispatcher; }
    std::string Path(uint32_t slot) { return Alerts().store.RecordPath(slot); }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(kRecordSection, key, "<none>", Path(slot));
    }
    void SetRetryInterval(uint32_t minutes) {
        registry.WriteNumber(config::SubKey(config::subkey::kContacts),
                             config::value::kDelayedSMTPCheckInterval, minutes);
    }

    std::mutex mutex;
    std::vector<std::string> calls;
    EMailResult emailResult;
};

TEST_F(DispatcherTest, QueuedAlertsAreDeliveredInOrderInOneDrain) {
    Raise("one");
    Raise("two");
    Raise("three");
    EXPECT_EQ(Dispatch().DrainUnsentQueue(), 3);
    std::vector<std::string> emails;
    for (const auto& c : Calls()) {
        if (c.starts_with("email:")) {
            emails.push_back(c);
        }
    }
    EXPECT_EQ(emails, (std::vector<std::string>{"email:one", "email:two", "email:three"}));
    EXPECT_FALSE(std::filesystem::exists(Alerts().store.QueuePath()));
}

TEST_F(DispatcherTest, LogOnlyAlertsReachOnlyTheAlertLogs) {
    Raise("quiet", 1);
    Dispatch().DrainUnsentQueue();
    EXPECT_EQ(Calls(), (std::vector<std::string>{"file:quiet", "db:quiet"}));
}

TEST_F(DispatcherTest, AutoResponseAlertsRunScriptsOnlyWhenAskedTo) {
    for (uint32_t notifyRunning : {0u, 1u, 2u}) {
        ClearCalls();
        context.notifyRunningActions = notifyRunning;
        Raise("auto", 0, 1);
        Dispatch().DrainUnsentQueue();
        const auto seen = Calls();
        const bool engine = std::find(seen.begin(), seen.end(), "engine:auto") != seen.end();
        EXPECT_EQ(engine, notifyRunning == 2) << notifyRunning;
        EXPECT_NE(std::find(seen.begin(), seen.end(), "email:auto"), seen.end()) << notifyRunning;
    }
}

TEST_F(DispatcherTest, WithoutRetriesAFailedEMailIsRecordedButHoldsNoSlot) {
    test::LogCapture log;
    registry.WriteNumber(config::kProductKey, config::value::kMaxStoredMsgs, 2);
    Reopen();
    emailResult = {0, "a@x"};
    Raise("outage");
    Dispatch().DrainUnsentQueue();
    EXPECT_EQ(Calls(), (std::vector<std::string>{"email:outage", "net:outage", "file:outage",
                                                 "db:outage", "engine:outage"}));
    EXPECT_EQ(Key(1, "SMTPDelayed"), "<none>");
    EXPECT_EQ(Key(2, "ErrorTitle"), "Alerting Error");  // the internal record
    EXPECT_TRUE(log.Contains("is not sent again: e-mail retries are off"));
    EXPECT_TRUE(Alerts().store.AwaitingRetry().empty());
    const auto start = std::chrono::steady_clock::now();
    Raise("next");  // slot 1 is free at once
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(Key(1, "Message"), "next");
}

TEST_F(DispatcherTest, ARetrySendsOnlyToTheRecipientsNotYetServedUntilTheyAreServed) {
    SetRetryInterval(5);
    Reopen();
    emailResult = {0, "b@y~mail2"};
    Raise("outage");
    Dispatch().DrainUnsentQueue();
    EXPECT_EQ(Key(1, "SMTPDelayed"), "TRUE");
    EXPECT_EQ(Key(1, "SMTPPending"), "b@y~mail2");
    EXPECT_EQ(Alerts().store.AwaitingRetry(), std::vector<std::string>{Path(1)});

    ClearCalls();
    Dispatch().DelayedPass();  // still failing
    EXPECT_EQ(Key(1, "SMTPAttempts"), "2");
    emailResult = {1, ""};
    Dispatch().DelayedPass();
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"email:outage|b@y~mail2", "email:outage|b@y~mail2"}));
    EXPECT_EQ(Key(1, "SMTPDelayed"), "FALSE");
    EXPECT_EQ(Key(1, "SMTPPending"), "<none>");
    EXPECT_TRUE(Alerts().store.AwaitingRetry().empty());
    // The retry state survives a restart: a new run finds nothing left to send.
    Reopen();
    EXPECT_TRUE(Alerts().store.AwaitingRetry().empty());
}

TEST_F(DispatcherTest, AnEMailThatAlwaysFailsIsGivenUpAfterTheLastAttemptAndOthersGoOn) {
    SetRetryInterval(1);
    Reopen({3});
    test::LogCapture log;
    emailResult = {0, ""};
    Raise("never");
    Raise("later works");
    Dispatch().DrainUnsentQueue();
    ASSERT_EQ(Alerts().store.AwaitingRetry().size(), 2u);
    // A new run still knows both from their records.
    Reopen({3});
    EXPECT_EQ(Alerts().store.AwaitingRetry(), (std::vector<std::string>{Path(1), Path(2)}));
    ClearCalls();
    Dispatch().DelayedPass();  // attempt 2 of each: the first failing does not stop the pass
    EXPECT_EQ(Calls(), (std::vector<std::string>{"email:never", "email:later works"}));
    Dispatch().DelayedPass();  // attempt 3: given up
    EXPECT_TRUE(log.Contains("The delayed e-mail of the alert \"Printer Error: never\" (" +
                             Path(1) + ") is given up after 3 failed attempts"));
    EXPECT_EQ(log.Count("is given up after 3 failed attempts"), 2u);
    EXPECT_EQ(Key(1, "SMTPDelayed"), "FALSE");
    EXPECT_TRUE(Alerts().store.AwaitingRetry().empty());
}

TEST_F(DispatcherTest, ADeliveryThatThrowsIsLoggedAndTheNextRecordIsDelivered) {
    SetRetryInterval(5);
    Reopen();
    test::LogCapture log;
    Raise("throws");
    Raise("fine");
    EXPECT_EQ(Dispatch().DrainUnsentQueue(), 2);
    EXPECT_TRUE(log.Contains("The delivery of the alert " + Path(1) + " failed: channel broke"));
    EXPECT_EQ(Key(1, "SMTPDelayed"), "TRUE");
    const auto seen = Calls();
    EXPECT_NE(std::find(seen.begin(), seen.end(), "engine:fine"), seen.end());
    EXPECT_FALSE(std::filesystem::exists(Alerts().store.QueuePath()));
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
