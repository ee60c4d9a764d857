// The activity log: levels, pieces, file fall-back and records from many threads.
#include "companion/activity_log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace kvzn::companion {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(ActivityLogTest, RecordsFromManyThreadsAreWholeLines) {
    test::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.SetFile(dir / "a.log"));
    constexpr int kThreads = 8;
    constexpr int kRecords = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kRecords; ++i) {
                log.Write(3, "kvZNTest", "Writer", {"thread ", t, " record ", i, " end"});
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto lines = Lines(test::ReadFile(dir / "a.log"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
    std::vector<int> perThread(kThreads, 0);
    for (const std::string& line : lines) {
        ASSERT_NE(line.find("kvZNTest Writer: thread "), std::string::npos) << line;
        ASSERT_EQ(line.substr(line.size() - 4), " end") << line;
        const int t = std::stoi(line.substr(line.find("thread ") + 7));
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ++perThread[static_cast<size_t>(t)];
    }
    for (int n : perThread) {
        EXPECT_EQ(n, kRecords);
    }
}

TEST(ActivityLogTest, LevelFiltersRecordsButNotMilestones) {
    test::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.SetFile(dir / "a.log"));
    log.SetLevel(2);
    log.Write(3, "M", "F", {"information"});
    log.Write(2, "M", "F", {"warning"});
    log.Milestone(6, "M", "F", {"milestone"});
    const std::string text = test::ReadFile(dir / "a.log");
    EXPECT_EQ(text.find("information"), std::string::npos);
    EXPECT_NE(text.find(" L2 "), std::string::npos);
    EXPECT_NE(text.find(" M6 "), std::string::npos);
}

TEST(ActivityLogTest, TypedPiecesFollowTheirTypeLetters) {
    test::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.SetFile(dir / "a.log"));
    log.WriteTyped(1, 0, 0, "M", "F", "sls", {"Error: ", 42, " done"});
    log.WriteTyped(1, 0, 0, "M", "F", "ss", {"wrong ", 7});
    const auto lines = Lines(test::ReadFile(dir / "a.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("M F: Error: 42 done"), std::string::npos);
    EXPECT_NE(lines[1].find("M F: wrong ?"), std::string::npos);
}

TEST(ActivityLogTest, LineBreaksInAMessageCannotForgeRecords) {
    test::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.SetFile(dir / "a.log"));
    log.Write(3, "M", "F", {"document\n2026-01-01 00:00:00 L1 [1] kvZNPrint ServiceMain: fake"});
    EXPECT_EQ(Lines(test::ReadFile(dir / "a.log")).size(), 1u);
}

TEST(ActivityLogTest, AnUnusableFileKeepsThePreviousOne) {
    test::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.SetFile(dir / "first.log"));
    EXPECT_FALSE(log.SetFile(dir / "missing-dir/second.log"));
    EXPECT_EQ(log.FilePath(), dir / "first.log");
    log.Write(3, "M", "F", {"still here"});
    EXPECT_NE(test::ReadFile(dir / "first.log").find("still here"), std::string::npos);
}

TEST(ActivityLogTest, RelativeNamesLiveInTheBaseDirectory) {
    test::TempDir dir;
    ActivityLog log;
    log.SetBaseDirectory(dir.path());
    ASSERT_TRUE(log.SetFile("KVZN.LOG"));
    EXPECT_EQ(log.FilePath(), dir / "KVZN.LOG");
}

TEST(ActivityLogTest, ShowToUserRecordsReachTheNotifier) {
    test::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.SetFile(dir / "a.log"));
    std::vector<std::string> shown;
    log.SetUserNotifier([&](const LogRecord& r) { shown.push_back(r.message); });
    log.Write(2, "M", "F", {"shown"}, true);
    log.Write(2, "M", "F", {"not shown"});
    EXPECT_EQ(shown, std::vector<std::string>{"shown"});
}

}  // namespace
}  // namespace kvzn::companion
