// Alert records, the slot ring and the unsent queue.
#include "alerting/alert_records.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "platform/profile_file.h"
#include "support/service_fixture.h"

namespace kvzn::alerting {
namespace {

namespace value = config::value;

class AlertRecordsTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    int Raise(std::string message = "Printer jammed", int category = kCategoryPrintServer,
              std::optional<std::string> info1 = std::nullopt) {
        return NotifyError(context, category, 4, 0, "Printer Error", "HP4050", message, info1);
    }
    std::string Key(uint32_t slot, const char* key) {
        return platform::GetProfileString(kRecordSection, key, "<none>", RecordPath(context, slot));
    }
    uint32_t Number(const char* name) {
        uint32_t n = 0;
        registry.ReadNumber(config::kProductKey, name, n);
        return n;
    }
};

TEST_F(AlertRecordsTest, FirstAlertWithoutSettingsUsesSlotOneAndWritesTheRing) {
    ASSERT_EQ(Raise(), 1);
    EXPECT_TRUE(std::filesystem::exists(dir / "data/PRT1.err"));
    EXPECT_EQ(Number(value::kMaxStoredMsgs), 50u);
    EXPECT_EQ(Number(value::kStoredMsgNo), 1u);
    EXPECT_EQ(ReadQueue(QueuePath(context)), std::vector<std::string>{dir / "data/PRT1.err"});
    EXPECT_TRUE(context.alertEvent.IsSet());
}

TEST_F(AlertRecordsTest, RecordHoldsItsKeysInOrder) {
    std::string message = "A paper jam has occurred. Printing has stopped";
    ASSERT_EQ(NotifyError(context, kCategoryPrintServer, 4, 5, "Printer Error", "HP4050", message,
                          "HP4050", std::nullopt, "12", 1),
              1);
    const auto rec = platform::ProfileFile::Load(RecordPath(context, 1));
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
    EXPECT_EQ(rec->Get(kRecordSection, "Origin"), "50");
    EXPECT_EQ(rec->Get(kRecordSection, "RunningTime"), std::to_string(clock.UptimeSeconds()));
    EXPECT_EQ(rec->Get(kRecordSection, "AdditionalInfo3"), "12");
}

TEST_F(AlertRecordsTest, TimeFollowsTheDateOrder) {
    // 2026-01-01 00:00:00 UTC; the test runs in UTC.
    test::ScopedEnv tz("TZ", "UTC");
    tzset();
    clock.SetNow(1767225600 + 13 * 86400 + 3600 * 9 + 61);  // 14 Jan 2026 09:01:01
    registry.WriteNumber(config::kProductKey, value::kDateFormat, 2);
    ASSERT_EQ(Raise(), 1);
    EXPECT_EQ(Key(1, "Time"), "01/14/2026 09:01:01");
}

TEST_F(AlertRecordsTest, QuotesTildesAndLineBreaksBecomeBlanksEverywhere) {
    std::string message = "it's \"odd\" ~ here\r\nnext";
    ASSERT_EQ(NotifyError(context, kCategoryLogs, 1, 0, "Title\nSent=Y", "log\r\nTestID=x", message,
                          "doc\nAPILogged=Y"),
              1);
    EXPECT_EQ(message, "it s  odd    here  next");
    EXPECT_EQ(Key(1, "Message"), "it s  odd    here  next");
    EXPECT_EQ(Key(1, "MessageSize"), std::to_string(message.size()));
    EXPECT_EQ(Key(1, "ErrorTitle"), "Title Sent=Y");
    EXPECT_EQ(Key(1, "Sent"), "N");
    EXPECT_EQ(Key(1, "TestID"), "N/A");
    EXPECT_EQ(Key(1, "APILogged"), "N");
}

TEST_F(AlertRecordsTest, AbsentExtraValuesWriteNoKeys) {
    ASSERT_EQ(Raise(), 1);
    for (const char* key :
         {"AdditionalInfo1", "AdditionalInfo2", "AdditionalInfo3", "SMTPDelayed"}) {
        EXPECT_EQ(Key(1, key), "<none>") << key;
    }
}

TEST_F(AlertRecordsTest, DeliveredSlotIsReusedAfterTheRingComesRound) {
    for (int i = 1; i <= 50; ++i) {
        ASSERT_EQ(Raise("alert " + std::to_string(i)), 1);
        std::scoped_lock lock(context.locks.alertFile);
        ASSERT_EQ(ReplaceWithRemainingFile(QueuePath(context)), 1);  // delivered
    }
    ASSERT_EQ(Raise("alert 51"), 1);
    EXPECT_EQ(Key(1, "Message"), "alert 51");
    EXPECT_EQ(Number(value::kStoredMsgNo), 1u);
}

TEST_F(AlertRecordsTest, SlotNumberAtOrAboveTheMaximumStartsAgainAtOne) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 10);
    for (uint32_t stored : {10u, 15u}) {
        registry.WriteNumber(config::kProductKey, value::kStoredMsgNo, stored);
        std::scoped_lock lock(context.locks.alertFile);
        EXPECT_EQ(GetNextFileNo(context), 1u) << "StoredMsgNo " << stored;
        std::filesystem::remove(QueuePath(context));
    }
}

TEST_F(AlertRecordsTest, BurstBeyondTheRingKeepsUndeliveredAlertsAndNamesTheLostOnes) {
    test::LogCapture log;
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 5);
    SetWaitForFreeSlot(std::chrono::milliseconds(0));  // nobody delivers: give up at once
    for (int i = 1; i <= 8; ++i) {
        ASSERT_EQ(Raise("alert " + std::to_string(i)), 1);
    }
    SetWaitForFreeSlot(std::chrono::seconds(30));
    const auto queue = ReadQueue(QueuePath(context));
    EXPECT_EQ(queue.size(), 5u);
    EXPECT_EQ(std::set<std::string>(queue.begin(), queue.end()).size(), queue.size());
    EXPECT_EQ(log.Count("is overwritten by a new alert"), 3u);
    EXPECT_TRUE(log.Contains("Printer Error: alert 1\""));
    EXPECT_TRUE(log.Contains("Printer Error: alert 3\""));
}

TEST_F(AlertRecordsTest, AFullRingMakesTheNextAlertWaitForADelivery) {
    test::LogCapture log;
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 3);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(Raise("alert " + std::to_string(i)), 1);
    }
    // A dispatcher that delivers the head of the queue a moment later.
    std::thread dispatcher([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string head;
        {
            std::scoped_lock lock(context.locks.alertFile);
            head = ReadQueue(QueuePath(context)).front();
            ASSERT_EQ(ReplaceWithRemainingFile(QueuePath(context)), 1);
            SetRecordInDelivery(head, true);
        }
        SetRecordInDelivery(head, false);
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Raise("alert 4"), 1);
    const auto waited = std::chrono::steady_clock::now() - start;
    dispatcher.join();
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_FALSE(log.Contains("is overwritten by a new alert"));
    EXPECT_EQ(Key(1, "Message"), "alert 4");  // the delivered slot, nothing lost
    const auto queue = ReadQueue(QueuePath(context));
    EXPECT_EQ(queue, (std::vector<std::string>{RecordPath(context, 2), RecordPath(context, 3),
                                               RecordPath(context, 1)}));
}

TEST_F(AlertRecordsTest, AStoppingServiceDoesNotWaitForAFreeSlot) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 2);
    ASSERT_EQ(Raise("one"), 1);
    ASSERT_EQ(Raise("two"), 1);
    context.stopEvent.Set();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Raise("three"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(Key(1, "Message"), "three");
}

TEST_F(AlertRecordsTest, QueuedSlotsArePassedOverWhileOthersAreFree) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 5);
    ASSERT_EQ(Raise("one"), 1);  // slot 1, queued
    ASSERT_EQ(Raise("two"), 1);  // slot 2, queued
    {
        std::scoped_lock lock(context.locks.alertFile);
        ASSERT_EQ(ReplaceWithRemainingFile(QueuePath(context)), 1);  // slot 1 delivered
    }
    registry.WriteNumber(config::kProductKey, value::kStoredMsgNo, 1);  // ring points at 2
    ASSERT_EQ(Raise("three"), 1);
    EXPECT_EQ(Key(2, "Message"), "two");
    EXPECT_EQ(Key(3, "Message"), "three");
}

TEST_F(AlertRecordsTest, TheRecordBeingDeliveredKeepsItsSlot) {
    registry.WriteNumber(config::kProductKey, value::kMaxStoredMsgs, 3);
    ASSERT_EQ(Raise("being delivered"), 1);  // slot 1
    ASSERT_EQ(Raise("delivered"), 1);        // slot 2
    {
        // The dispatcher takes both off the queue; the first is still being delivered.
        std::scoped_lock lock(context.locks.alertFile);
        ASSERT_EQ(ReplaceWithRemainingFile(QueuePath(context)), 1);
        ASSERT_EQ(ReplaceWithRemainingFile(QueuePath(context)), 1);
        SetRecordInDelivery(RecordPath(context, 1), true);
    }
    test::LogCapture log;
    ASSERT_EQ(Raise("third"), 1);   // slot 3
    ASSERT_EQ(Raise("fourth"), 1);  // not slot 1: its record is being read by the channels
    SetRecordInDelivery(RecordPath(context, 1), false);
    EXPECT_EQ(Key(1, "Message"), "being delivered");
    EXPECT_EQ(Key(2, "Message"), "fourth");
    EXPECT_FALSE(log.Contains("is overwritten by a new alert"));
    ASSERT_EQ(Raise("fifth"), 1);  // delivery over: slot 1 is free again
    EXPECT_EQ(Key(1, "Message"), "fifth");
}

TEST_F(AlertRecordsTest, InternalErrorsAreRecordedButNeverQueued) {
    ASSERT_EQ(NotifyInternalError(context, 1, "Alerting Error", "Alerting Error", "SMTP down"), 1);
    EXPECT_EQ(Key(1, "ErrorType"), "16");
    EXPECT_EQ(Key(1, "AlertLevel"), "<none>");
    EXPECT_EQ(Key(1, "AlertAction"), "<none>");
    EXPECT_EQ(Key(1, "ErrorXStatus"), "5");
    EXPECT_TRUE(ReadQueue(QueuePath(context)).empty());
    EXPECT_FALSE(context.alertEvent.IsSet());

    std::string message = "category 16 through NotifyError";
    ASSERT_EQ(NotifyError(context, kCategoryInternal, kAllLevels, 0, "T", "S", message), 1);
    EXPECT_EQ(Key(2, "ErrorType"), "15");
    EXPECT_TRUE(ReadQueue(QueuePath(context)).empty());
}

TEST_F(AlertRecordsTest, DailyCountersFollowTheCategory) {
    SummaryCounters& c = DailySummaryCounters();
    {
        std::scoped_lock lock(c.lock);
        c.diskSpace = c.monitorSpecific = c.performance = 0;
    }
    Raise("d", kCategoryDiskSpace);
    Raise("p", kCategoryPrintServer);
    Raise("f", kCategoryPerformance);
    Raise("l", kCategoryLogs);  // not counted
    NotifyInternalError(context, 1, "T", "S", "internal");
    std::scoped_lock lock(c.lock);
    EXPECT_EQ(c.diskSpace, 2u);
    EXPECT_EQ(c.monitorSpecific, 1u);
    EXPECT_EQ(c.performance, 1u);
}

TEST_F(AlertRecordsTest, ConsoleAlertGoesOutOnlyWithConsoleSupport) {
    std::vector<std::string> sent;
    SetConsoleAlertSender([&](const std::string&, const std::string& title,
                              const std::string& msg) { sent.push_back(title + "|" + msg); });
    context.enableConsoleSupport = false;
    Raise("quiet");
    context.enableConsoleSupport = true;
    Raise("loud");
    SetConsoleAlertSender(nullptr);
    EXPECT_EQ(sent, std::vector<std::string>{"Printer Error|loud"});
}

TEST_F(AlertRecordsTest, QueueLinesAreCutAtTheFirstControlByte) {
    const std::string queue = QueuePath(context);
    test::WriteFile(queue, dir / "data/PRT1.err\x01junk\r\n\r\n" + dir / "data/PRT2.err\r\n");
    EXPECT_EQ(CheckFileForFile(queue, dir / "data/PRT1.err"), 1);
    EXPECT_EQ(CheckFileForFile(queue, dir / "data/PRT3.err"), 0);
    EXPECT_EQ(ReadQueue(queue),
              (std::vector<std::string>{dir / "data/PRT1.err", dir / "data/PRT2.err"}));
    ASSERT_EQ(ReplaceWithRemainingFile(queue), 1);
    EXPECT_EQ(ReadQueue(queue), std::vector<std::string>{dir / "data/PRT2.err"});
}

TEST_F(AlertRecordsTest, UnwritableDataDirectoryFailsWithoutQueueing) {
    test::LogCapture log;
    context.dataDirectory = dir / "missing";
    EXPECT_EQ(Raise(), 0);
    EXPECT_TRUE(log.Contains("Unable to write the error message to the file " +
                             (dir / "missing/PRT1.err")));
    EXPECT_FALSE(context.alertEvent.IsSet());
}

}  // namespace
}  // namespace kvzn::alerting
