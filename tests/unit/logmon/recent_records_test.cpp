// The duplicate filter and the recent-record store.
#include "logmon/recent_records.h"

#include <gtest/gtest.h>

namespace kvzn::logmon {
namespace {

TEST(DuplicateFilter, SameOriginAndTextWithinFiveSeconds) {
    DuplicateFilter filter;
    EXPECT_FALSE(filter.IsRecentDuplicate("/var/log/a", "disk full", 1000));
    EXPECT_TRUE(filter.IsRecentDuplicate("/var/log/a", "disk full", 5999));
    EXPECT_FALSE(filter.IsRecentDuplicate("/var/log/b", "disk full", 2000)) << "other origin";
    // Exact comparison: neither a longer text nor a shorter one is the same record.
    EXPECT_FALSE(filter.IsRecentDuplicate("/var/log/a", "disk full on C", 2000));
    EXPECT_FALSE(filter.IsRecentDuplicate("/var/log/a", "disk", 2000));
    EXPECT_FALSE(filter.IsRecentDuplicate("/var/log/a", "DISK FULL", 2000)) << "case counts";
    // Five seconds after it was stored, the record alerts again (and is stored anew).
    EXPECT_FALSE(filter.IsRecentDuplicate("/var/log/a", "disk full", 6000));
    EXPECT_TRUE(filter.IsRecentDuplicate("/var/log/a", "disk full", 6001));
}

TEST(DuplicateFilter, AgeIsMeasuredAcrossTheTickWrap) {
    DuplicateFilter filter;
    const uint32_t beforeWrap = 0xFFFFF000U;  // 4096 ms before the wrap
    EXPECT_FALSE(filter.IsRecentDuplicate("src", "text", beforeWrap));
    EXPECT_TRUE(filter.IsRecentDuplicate("src", "text", 0x00000100U));   // 4352 ms later
    EXPECT_FALSE(filter.IsRecentDuplicate("src", "text", 0x00000390U));  // 5008 ms later
    // A record stored just after the wrap is not taken for an old one.
    DuplicateFilter other;
    EXPECT_FALSE(other.IsRecentDuplicate("src", "late", 10));
    EXPECT_TRUE(other.IsRecentDuplicate("src", "late", 4000));
}

TEST(DuplicateFilter, TheRingHoldsTenRecords) {
    DuplicateFilter filter;
    for (int i = 0; i < 11; ++i) {
        EXPECT_FALSE(filter.IsRecentDuplicate("src", "record " + std::to_string(i), 100));
    }
    EXPECT_FALSE(filter.IsRecentDuplicate("src", "record 0", 200)) << "overwritten by record 10";
    EXPECT_TRUE(filter.IsRecentDuplicate("src", "record 10", 200));
}

TEST(RecentRecords, NewestFirstAndAtMostFifteen) {
    RecentRecords store;
    for (int i = 1; i <= 17; ++i) {
        store.Add({"check", "time", "message " + std::to_string(i)});
    }
    const std::vector<RecentRecord> rows = store.Rows();
    ASSERT_EQ(rows.size(), RecentRecords::kCapacity);
    EXPECT_EQ(rows.front().message, "message 17");
    EXPECT_EQ(rows.back().message, "message 3");
}

}  // namespace
}  // namespace kvzn::logmon
