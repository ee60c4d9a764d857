// The performance CSV log: headings, rows, the purge by age and the history table.
#include "monitors/performance_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/fake/fake_clock.h"
#include "support/test_support.h"

namespace kvzn::monitors {
namespace {

TEST(CounterFailsTest, EachComparison) {
    struct Case {
        uint32_t comparison;
        int64_t value;
        int64_t threshold;
        int fails;
    };
    const Case cases[] = {
        {1, 5, 5, 1},   {1, 6, 5, 0},   {2, 91, 90, 1},
        {2, 90, 90, 0}, {2, -3, 0, 0},  {3, 4, 5, 1},
        {3, 5, 5, 0},   {4, 95, 10, 1}, {4, 85, 10, 0},
        {5, 0, 10, 0},  {5, 3, 10, 1},  {5, 12, 10, 0},
        {0, 1, 0, 0},   {9, 99, 1, 0},  {2, int64_t{5000000000}, 4294967295, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CounterFails(c.comparison, c.value, c.threshold), c.fails)
            << "comparison " << c.comparison << " value " << c.value << " threshold "
            << c.threshold;
    }
}

TEST(HeadingTest, CellsCarryComparisonThresholdAndSuffix) {
    EXPECT_EQ(HeadingCell({"CPU Usage", 2, 90, "%"}), "CPU Usage (> 90 %)");
    EXPECT_EQ(HeadingCell({"Free", 4, 10, "%"}), "Free (< 10 %)");
    EXPECT_EQ(HeadingCell({"Jobs", 5, 3, ""}), "Jobs (< (but not 0) 3 )");
    EXPECT_EQ(HeadingCell({"Odd", 7, 3, ""}), "Odd (< (but not 0) 3 )");
    EXPECT_EQ(HeadingLine({{"A", 1, 1, "b"}, {"B", 3, 2, ""}}), "Date/Time,A (= 1 b),B (< 2 )");
}

class PerformanceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Rows carry local times: pin the zone so that the ages are exact.
        const char* tz = std::getenv("TZ");
        oldTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
        clock.SetNow(1767261600);  // 2026-01-01 10:00:00 UTC
    }
    void TearDown() override {
        if (oldTz_) {
            setenv("TZ", oldTz_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    std::optional<std::string> oldTz_;
    test::TempDir dir;
    platform::FakeClock clock;
    std::string path = dir / "perf.csv";
};

TEST_F(PerformanceLogTest, HeadingOfAnyLengthIsKeptOrTheFileStartsAnew) {
    std::vector<LoggedCheck> checks;
    for (int i = 0; i < 400; ++i) {  // a heading far beyond any fixed buffer
        checks.push_back({"Custom counter number " + std::to_string(i), 2, i, "reqs."});
    }
    const std::string heading = HeadingLine(checks);
    ASSERT_GT(heading.size(), 10000u);
    PerformanceLog log(path, 24, 1, clock);
    EXPECT_EQ(log.CheckHeadings(heading), 0) << "missing file";
    ASSERT_EQ(log.Prepare(heading), 1);
    EXPECT_EQ(test::ReadFile(path), heading);
    ASSERT_EQ(log.AppendRow(std::vector<int64_t>(400, 7)), 1);
    const std::string withRow = test::ReadFile(path);

    // Same heading (other case): the file and its rows stay.
    std::string upper = heading;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(log.CheckHeadings(upper), 1);
    ASSERT_EQ(log.Prepare(upper), 1);
    EXPECT_EQ(test::ReadFile(path), withRow);

    // A changed threshold: the old file becomes the .bak file, a new one begins.
    checks[399].threshold = 1000;
    const std::string changed = HeadingLine(checks);
    EXPECT_EQ(log.CheckHeadings(changed), 0);
    ASSERT_EQ(log.Prepare(changed), 1);
    EXPECT_EQ(test::ReadFile(path), changed);
    EXPECT_EQ(test::ReadFile(path + ".bak"), withRow);
    // One extra or one missing cell is a different heading too.
    EXPECT_EQ(log.CheckHeadings(changed + ",Extra (> 1 )"), 0);
    EXPECT_EQ(log.CheckHeadings("Date/Time"), 0);
}

TEST_F(PerformanceLogTest, RowsKeepFullValuesAndNotReadIsNA) {
    PerformanceLog log(path, 24, 2, clock);
    ASSERT_EQ(log.Prepare("Date/Time,A (> 1 ),B (< 2 b)"), 1);
    ASSERT_EQ(log.AppendRow({int64_t{8589934592}, kNotRead}), 1);
    EXPECT_EQ(test::ReadFile(path),
              "Date/Time,A (> 1 ),B (< 2 b)\n01/01/2026 10:00:00,8589934592,N/A");
}

TEST_F(PerformanceLogTest, UnwritableFileIsReportedAndLosesOnlyItsRow) {
    test::LogCapture capture;
    PerformanceLog log(dir / "missing-dir/perf.csv", 24, 1, clock);
    EXPECT_EQ(log.Prepare("Date/Time,A (> 1 )"), 0);
    EXPECT_TRUE(capture.Contains("could not be written. Logging is disabled"));
    EXPECT_EQ(log.AppendRow({1}), 0);
}

TEST_F(PerformanceLogTest, PurgeDropsOldRowsAtTheHeadAtomically) {
    const std::string heading(3000, 'H');  // longer than the old fixed heading buffer
    test::WriteFile(path, heading +
                              "\n01/01/2026 07:30:00,1"  // 2.5 h old
                              "\nxx/01/2026 08:00:00,2"  // unreadable date at the head
                              "\n01/01/2026 08:59:00,3"  // 1 h 1 min old
                              "\n01/01/2026 09:30:00,4"  // kept
                              "\n00/01/2026 07:00:00,5"  // past the first kept row: stays
                              "\n01/01/2026 09:59:00,6");
    const auto inode = [&] {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return st.st_ino;
    };
    const auto before = inode();
    PerformanceLog log(path, 1, 1, clock);
    ASSERT_EQ(log.Purge(), 1);
    EXPECT_EQ(test::ReadFile(path), heading +
                                        "\n01/01/2026 09:30:00,4"
                                        "\n00/01/2026 07:00:00,5"
                                        "\n01/01/2026 09:59:00,6");
    EXPECT_NE(inode(), before) << "rewritten by replacing the file, never in place";
    EXPECT_FALSE(std::filesystem::exists(path + ".bak"));

    // Nothing old: the file is not touched.
    const auto kept = inode();
    ASSERT_EQ(log.Purge(), 1);
    EXPECT_EQ(inode(), kept);

    // Every row old: the heading stays alone. Month-first dates read the other way round.
    clock.SetNow(clock.Now() + 86400);
    PerformanceLog monthFirst(path, 1, 2, clock);
    ASSERT_EQ(monthFirst.Purge(), 1);
    EXPECT_EQ(test::ReadFile(path), heading);
}

TEST_F(PerformanceLogTest, EveryThirtySecondRowPurgesFirst) {
    PerformanceLog log(path, 1, 1, clock);
    ASSERT_EQ(log.Prepare("Date/Time,A (> 1 )"), 1);
    ASSERT_EQ(log.AppendRow({1}), 1);  // row 0 purges (nothing to do) and is written
    clock.SetNow(clock.Now() + 2 * 3600);
    for (int i = 0; i < 31; ++i) {
        ASSERT_EQ(log.AppendRow({2}), 1);
    }
    EXPECT_NE(test::ReadFile(path).find(",1"), std::string::npos) << "no purge before row 32";
    ASSERT_EQ(log.AppendRow({3}), 1);
    const std::string text = test::ReadFile(path);
    EXPECT_EQ(text.find(",1"), std::string::npos) << text.substr(0, 200);
    EXPECT_NE(text.find(",3"), std::string::npos);
}

TEST(HistoryTest, LastRowsJudgedByTheirColumnsRules) {
    const std::string text =
        "Date/Time,CPU (> 90 %),Free (< 10 %),Jobs (< (but not 0) 3 )\r\n"
        "01/01/2026 10:00:00,95,5,0\n"
        "01/01/2026 10:00:30,50,N/A,2\n"
        "\n"
        "01/01/2026 10:01:00,8589934592,20,hand-edited\n";
    const std::vector<HistoryRule> rules = {{2, 90}, {4, 10}, {5, 3}};
    HistoryTable table;
    ASSERT_EQ(ProcessLoggedData(text, 20, rules, table), 1);
    ASSERT_EQ(table.headings.size(), 4u);
    EXPECT_EQ(table.headings[0], "Date/Time");
    ASSERT_EQ(table.rows.size(), 3u) << "20 asked, 3 there";
    using Kind = HistoryCell::Kind;
    EXPECT_EQ(table.rows[0].time, "01/01/2026 10:00:00");
    EXPECT_EQ(table.rows[0].cells[0].kind, Kind::kFailed);
    EXPECT_EQ(table.rows[0].cells[1].kind, Kind::kFailed) << "comparison 4 counts as 3 here";
    EXPECT_EQ(table.rows[0].cells[2].kind, Kind::kPlain) << "0 never fails comparison 5";
    EXPECT_EQ(table.rows[1].cells[1].kind, Kind::kNotRead);
    EXPECT_EQ(table.rows[1].cells[2].kind, Kind::kFailed);
    EXPECT_EQ(table.rows[2].cells[0].text, "8589934592");
    EXPECT_EQ(table.rows[2].cells[0].kind, Kind::kFailed);
    EXPECT_EQ(table.rows[2].cells[2].kind, Kind::kNotRead);

    ASSERT_EQ(ProcessLoggedData(text, 1, rules, table), 1);
    ASSERT_EQ(table.rows.size(), 1u);
    EXPECT_EQ(table.rows[0].time, "01/01/2026 10:01:00");
    EXPECT_EQ(ProcessLoggedData("", 0, rules, table), 0);
}

}  // namespace
}  // namespace kvzn::monitors
