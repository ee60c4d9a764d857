// Alert records, the slot ring and the unsent queue of the run's alert store.
#include "alerting/alert_store.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "alerting/dispatcher.h"
#include "platform/file.h"
#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

namespace value = config::value;
using namespace std::chrono_literals;

class AlertStoreTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    AlertStore& Store() { return Alerts().store; }
    // Settings of the ring are read when a store opens, as at the start of a run.
    void Reopen(AlertStoreOptions options = {}) { AttachAlerts({}, options); }
    int Raise(std::string message = "Printer jammed", int category = kCategoryPrintServer,
              std::optional<std::string> info1 = std::nullopt) {
        return Store().NotifyError(category, 4, 0, "Printer Error", "HP4050", message, info1);
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(kRecordSection, key, "<none>", Store().RecordPath(slot));
    }
    std::vector<std::string> Queue() { return Store().QueuedRecords(); }
    // What the dispatcher does with the head of the queue.
    std::string Deliver() {
        const auto head = Store().TakeNextQueued();
        EXPECT_TRUE(head.has_value());
        Store().EndDelivery(head.value_or(""));
        return head.value_or("");
    }
    uint32_t Number(const char* name) {
        uint32_t n = 0;
        registry.ReadNumber(config::kProductKey, name, n);
        return n;
    }
};

TEST_F(AlertStoreTest, FirstAlertUsesSlotOneQueuesItAndTheRingIsSavedOnClose) {
    ASSERT_EQ(Raise(), 1);
    EXPECT_TRUE(std::filesystem::exists(dir / "data/PRT1.err"));
    EXPECT_EQ(Number(value::kMaxStoredMsgs), 50u);
    EXPECT_EQ(Queue(), std::vector<std::string>{dir / "data/PRT1.err"});
    EXPECT_TRUE(Store().AlertArrived().IsSet());
    EXPECT_EQ(Number(value::kStoredMsgNo), 0u) << "no store write per alert";
    Store().Close();
    EXPECT_EQ(Number(value::kStoredMsgNo), 1u);
}

TEST_F(AlertStoreTest, RecordHoldsItsKeysInOrder) {
    std::string message = "A paper jam has occurred. Printing has stopped";
    ASSERT_EQ(Store().NotifyError(kCategoryPrintServer, 4, 5, "Printer Error", "HP4050", message,
                                  "HP4050", std::nullopt, "12", 1),
              1);
    const auto rec = platform::ProfileFile::Load(Store().RecordPath(1));
    ASSERT_TRUE(rec.ok());
    EXPECT_EQ(rec->KeyNames(kRecordSection),
              (std::vector<std::string>{"Message", "MessageSize", "ErrorType", "AlertLevel",
                                        "AlertAction", "Auto-Response", "UserID", "Time", "AppName",
                                        "Origin", "Sent", "RunningTime", "ErrorTitle",
                                        "AdditionalInfo1", "AdditionalInfo3", "APILogged",
                                        "LoggedOn", "TestID", "ErrorXStatus"}));
    EXPECT_EQ(rec->Get(kRecordSection, "MessageSize"), std::to_string(message.size()));
    EXPECT_EQ(rec->Get(kRecordSection, "AlertAction"), "5");
    EXPECT_EQ(rec->Get(kRecordSection, "Auto-Response"), "1");
    EXPECT_EQ(rec->Get(kRecordSection, "UserID"), "PRINTSRV");
    EXPECT_EQ(rec->Get(kRecordSection, "RunningTime"), std::to_string(clock.UptimeSeconds()));
    EXPECT_EQ(rec->Get(kRecordSection, "AdditionalInfo3"), "12");
    for (const char* key : {"AdditionalInfo2", "SMTPDelayed", "SMTPAttempts", "SMTPPending"}) {
        EXPECT_FALSE(rec->Get(kRecordSection, key)) << key;
    }
}

TEST_F(AlertStoreTest, RecordTypeKeepsEveryValueThroughLoadAndSave) {
    const std::string path = dir / "data/PRT7.err";
    test::WriteFile(path,
                    "[Default]\r\nMessage=jam\r\nMessageSize=3x\r\nErrorType=2\r\nAlertLevel=8\r\n"
                    "Time=01/02/2026 10:00:00\r\nCustomKey=kept\r\nSMTPDelayed=true\r\n"
                    "SMTPAttempts=3\r\nSMTPPending=a@x,b@y\r\nmessage=second wins nothing\r\n");
    auto rec = AlertRecord::Load(path);
    ASSERT_TRUE(rec.ok());
    EXPECT_EQ(rec->message, "jam");
    EXPECT_EQ(rec->messageSize, 3);
    EXPECT_EQ(rec->LevelMask(), 8u);
    EXPECT_FALSE(rec->alertAction);
    EXPECT_FALSE(rec->errorTitle);
    EXPECT_TRUE(rec->smtpDelayed);
    EXPECT_EQ(rec->smtpAttempts, 3u);
    EXPECT_EQ(rec->smtpPending, "a@x,b@y");
    ASSERT_TRUE(rec->Save(path).ok());
    const auto again = AlertRecord::Load(path);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->Serialize(), rec->Serialize());
    EXPECT_EQ(platform::GetProfileString(kRecordSection, "CustomKey", "", path), "kept");
    EXPECT_EQ(AlertRecord::Load(dir / "data/none.err").status().err(), ENOENT);
}

TEST_F(AlertStoreTest, TimeFollowsTheDateOrder) {
    test::ScopedEnv tz("TZ", "UTC");
    tzset();
    clock.SetNow(1767225600 + 13 * 86400 + 3600 * 9 + 61);  // 14 Jan 2026 09:01:01
    registry.WriteNumber(config::kProductKey, value::kDateFormat, 2);
    ASSERT_EQ(Raise(), 1);
    EXPECT_EQ(Key(1, "Time"), "01/14/2026 09:01:01");
}

TEST_F(AlertStoreTest, QuotesTildesAndLineBreaksBecomeBlanksEverywhere) {
    std::string message = "it's \"odd\" ~ here\r\nnext";
    ASSERT_EQ(Store().NotifyError(kCategoryLogs, 1, 0, "Title\nSent=Y", "log\r\nTestID=x", message,
                                  "doc\nAPILogged=Y"),
              1);
    EXPECT_EQ(message, "it s  odd    here  next");
    EXPECT_EQ(Key(1, "Message"), "it s  odd    here  next");
    EXPECT_EQ(Key(1, "ErrorTitle"), "Title Sent=Y");
    EXPECT_EQ(Key(1, "Sent"), "N");
    EXPECT_EQ(Key(1, "TestID"), "N/A");
    EXPECT_EQ(Key(1, "APILogged"), "N");
}

TEST_F(AlertStoreTest, DeliveredSlotIsReusedAfterTheRingComesRound) {
    for (int i = 1; i <= 50; ++i) {
        ASSERT_EQ(Raise("alert " + std::to_string(i)), 1);
        Deliver();
    }
    ASSERT_EQ(Raise("alert 51"), 1);
    EXPECT_EQ(Key(1, "Message"), "alert 51");
}

TEST_F(AlertStoreTest, ANewRunContinuesAfterTheNewestRecord) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 10);
    registry.WriteNumber(config::kProductKey, value::kStoredMsgNo, 15);
    Reopen();
    ASSERT_EQ(Raise("first"), 1);  // a slot number at or above the ring size starts at 1
    EXPECT_EQ(Key(1, "Message"), "first");
    for (int i = 0; i < 3; ++i) {
        Deliver();
        ASSERT_EQ(Raise("more"), 1);
    }
    Deliver();
    // A run that ended without saving "StoredMsgNo" (a crash): the records tell.
    registry.WriteNumber(config::kProductKey, value::kStoredMsgNo, 1);
    Reopen();
    ASSERT_EQ(Raise("after restart"), 1);
    EXPECT_EQ(Key(5, "Message"), "after restart");
    EXPECT_EQ(Queue(), std::vector<std::string>{dir / "data/PRT5.err"});
}

TEST_F(AlertStoreTest, BurstBeyondTheRingKeepsUndeliveredAlertsAndNamesTheLostOnes) {
    test::LogCapture log;
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 5);
    Reopen({0ms});  // nobody delivers: give up at once
    for (int i = 1; i <= 8; ++i) {
        ASSERT_EQ(Raise("alert " + std::to_string(i)), 1);
    }
    const auto queue = Queue();
    EXPECT_EQ(queue.size(), 5u);
    EXPECT_EQ(std::set<std::string>(queue.begin(), queue.end()).size(), queue.size());
    EXPECT_EQ(log.Count("is overwritten by a new alert"), 3u);
    EXPECT_TRUE(log.Contains("Printer Error: alert 1\""));
    EXPECT_TRUE(log.Contains("Printer Error: alert 3\""));
}

TEST_F(AlertStoreTest, AFullRingMakesTheNextAlertWaitForADelivery) {
    test::LogCapture log;
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 3);
    Reopen();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(Raise("alert " + std::to_string(i)), 1);
    }
    std::thread dispatcher([this] {
        std::this_thread::sleep_for(300ms);
        Deliver();
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Raise("alert 4"), 1);
    const auto waited = std::chrono::steady_clock::now() - start;
    dispatcher.join();
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 5s);
    EXPECT_FALSE(log.Contains("is overwritten by a new alert"));
    EXPECT_EQ(Key(1, "Message"), "alert 4");
    EXPECT_EQ(Queue(), (std::vector<std::string>{Store().RecordPath(2), Store().RecordPath(3),
                                                 Store().RecordPath(1)}));
}

TEST_F(AlertStoreTest, AStoppingServiceDoesNotWaitForAFreeSlot) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 2);
    Reopen();
    ASSERT_EQ(Raise("one"), 1);
    ASSERT_EQ(Raise("two"), 1);
    context.stopEvent.Set();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Raise("three"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(Key(1, "Message"), "three");
}

TEST_F(AlertStoreTest, TheRecordBeingDeliveredKeepsItsSlotAndQueuedOnesArePassedOver) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 4);
    Reopen();
    ASSERT_EQ(Raise("being delivered"), 1);  // slot 1
    ASSERT_EQ(Raise("queued"), 1);           // slot 2
    ASSERT_EQ(Raise("delivered"), 1);        // slot 3
    const auto first = Store().TakeNextQueued();
    ASSERT_EQ(first, Store().RecordPath(1));  // still in delivery
    test::LogCapture log;
    ASSERT_EQ(Raise("fourth"), 1);  // slot 4
    EXPECT_EQ(Queue().size(), 3u);
    Store().EndDelivery(*Store().TakeNextQueued());  // slot 2 delivered
    ASSERT_EQ(Raise("fifth"), 1);  // not slot 1 (being read) nor 3 (queued): slot 2
    EXPECT_EQ(Key(1, "Message"), "being delivered");
    EXPECT_EQ(Key(2, "Message"), "fifth");
    EXPECT_EQ(Key(3, "Message"), "delivered");
    Store().EndDelivery(*first);
    ASSERT_EQ(Raise("sixth"), 1);  // slot 1 is free again
    EXPECT_EQ(Key(1, "Message"), "sixth");
    EXPECT_FALSE(log.Contains("is overwritten by a new alert"));
}

TEST_F(AlertStoreTest, ARecordAwaitingAnEMailRetryGivesWayWithoutMakingTheAlertWait) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 2);
    Reopen();
    ASSERT_EQ(Raise("mail failed"), 1);
    ASSERT_EQ(Raise("delivered"), 1);
    Deliver();
    Deliver();
    Store().SetAwaitingRetry(Store().RecordPath(1), true);
    Store().SetAwaitingRetry(Store().RecordPath(2), true);
    EXPECT_EQ(Store().AwaitingRetry(),
              (std::vector<std::string>{Store().RecordPath(1), Store().RecordPath(2)}));
    test::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Raise("new alert"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(Key(1, "Message"), "new alert");
    EXPECT_TRUE(log.Contains("The delayed e-mail of the alert \"Printer Error: mail failed\" (" +
                             Store().RecordPath(1) + ") is given up: every alert slot is in use"));
    EXPECT_EQ(Store().AwaitingRetry(), std::vector<std::string>{Store().RecordPath(2)});
}

TEST_F(AlertStoreTest, InternalErrorsAreRecordedButNeverQueued) {
    ASSERT_EQ(Store().NotifyInternalError(1, "Alerting Error", "Alerting Error", "SMTP down"), 1);
    EXPECT_EQ(Key(1, "ErrorType"), "16");
    EXPECT_EQ(Key(1, "AlertLevel"), "<none>");
    EXPECT_EQ(Key(1, "AlertAction"), "<none>");
    EXPECT_EQ(Key(1, "ErrorXStatus"), "5");
    EXPECT_TRUE(Queue().empty());
    EXPECT_FALSE(Store().AlertArrived().IsSet());

    std::string message = "category 16 through NotifyError";
    ASSERT_EQ(NotifyError(context, kCategoryInternal, kAllLevels, 0, "T", "S", message), 1);
    EXPECT_EQ(Key(2, "ErrorType"), "15");
    EXPECT_TRUE(Queue().empty());
}

TEST_F(AlertStoreTest, DailyCountsFollowTheCategoryAndStartAgainWhenTaken) {
    Raise("d", kCategoryDiskSpace);
    Raise("p", kCategoryPrintServer);
    Raise("f", kCategoryPerformance);
    Raise("l", kCategoryLogs);  // not counted
    Store().NotifyInternalError(1, "T", "S", "internal");
    const SummaryCounts counts = Store().TakeCounts();
    EXPECT_EQ(counts.diskSpace, 2u);
    EXPECT_EQ(counts.monitorSpecific, 1u);
    EXPECT_EQ(counts.performance, 1u);
    EXPECT_EQ(Store().Counts().diskSpace, 0u);
}

TEST_F(AlertStoreTest, ConsoleAlertGoesOutOnlyWithConsoleSupport) {
    std::vector<std::string> sent;
    Store().SetConsoleAlertSender(
        [&](const std::string&, const std::string& title, const std::string& msg) {
            sent.push_back(title + "|" + msg);
        });
    context.enableConsoleSupport = false;
    Raise("quiet");
    context.enableConsoleSupport = true;
    Raise("loud");
    EXPECT_EQ(sent, std::vector<std::string>{"Printer Error|loud"});
}

TEST_F(AlertStoreTest, QueueLinesAreCutAtTheFirstControlByteAndTheHeadLineIsRemovedWhole) {
    test::WriteFile(Store().QueuePath(),
                    "\r\n" + dir / "data/PRT1.err\x01junk\r\n\r\n" + dir / "data/PRT2.err\r\n");
    EXPECT_EQ(ParseQueueLines(platform::ReadWholeFile(Store().QueuePath()).value()),
              (std::vector<std::string>{dir / "data/PRT1.err", dir / "data/PRT2.err"}));
    EXPECT_EQ(Deliver(), dir / "data/PRT1.err");
    EXPECT_EQ(Queue(), std::vector<std::string>{dir / "data/PRT2.err"});
    EXPECT_EQ(Deliver(), dir / "data/PRT2.err");
    EXPECT_FALSE(Store().TakeNextQueued());
    EXPECT_FALSE(std::filesystem::exists(Store().QueuePath()));
}

TEST_F(AlertStoreTest, UnwritableDataDirectoryFailsWithoutQueueing) {
    test::LogCapture log;
    context.dataDirectory = dir / "missing";
    Reopen();
    EXPECT_EQ(Raise(), 0);
    EXPECT_TRUE(log.Contains("Unable to write the error message to the file " +
                             (dir / "missing/PRT1.err")));
    EXPECT_FALSE(Store().AlertArrived().IsSet());
}

TEST_F(AlertStoreTest, WithoutAnAlertPathNothingIsRecordedAndTheReasonIsLogged) {
    test::LogCapture log;
    context.alertPath.reset();
    std::string message = "lost?";
    EXPECT_EQ(NotifyError(context, kCategoryPrintServer, 1, 0, "T", "S", message), 0);
    EXPECT_TRUE(log.Contains("No alert store is open"));
}

}  // namespace
}  // namespace kvzn::alerting
