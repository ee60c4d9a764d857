// Profile files: names without case, first duplicate wins, quotes, numbers, atomic writes.
#include "platform/profile_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace kvzn::platform {
namespace {

TEST(ProfileFileTest, ReadsFollowTheProfileRules) {
    const ProfileFile p = ProfileFile::Parse(
        "; comment\r\n[Default]\r\nMessage = Printer jammed \r\nmessage=second\r\n"
        "Quoted=\"a b\"\r\nOdd=\"unbalanced\r\n[default]\r\nMessage=other section\r\n"
        "[Empty]\r\nnot a key line\r\n");
    const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> cases = {
        {"Default", "Message", "Printer jammed"},  // blanks trimmed, first duplicate wins
        {"DEFAULT", "MESSAGE", "Printer jammed"},  // names without regard to case
        {"Default", "Quoted", "a b"},              // one pair of quotes removed
        {"Default", "Odd", "\"unbalanced"},
        {"Default", "Missing", std::nullopt},
        {"Empty", "not a key line", std::nullopt},
        {"Nowhere", "Message", std::nullopt},
    };
    for (const auto& [section, key, expected] : cases) {
        EXPECT_EQ(p.Get(section, key), expected) << section << "/" << key;
    }
    EXPECT_EQ(p.KeyNames("default"), (std::vector<std::string>{"Message", "Quoted", "Odd"}));
}

TEST(ProfileFileTest, IntegerReadsTakeLeadingDigits) {
    test::TempDir dir;
    const std::string path = dir / "p.ini";
    test::WriteFile(path, "[S]\nA=12abc\nB=abc\nC=-7\nD= 42 \nE=\n");
    const std::vector<std::pair<std::string, long>> cases = {{"A", 12}, {"B", 99}, {"C", -7},
                                                             {"D", 42}, {"E", 99}, {"Missing", 99}};
    for (const auto& [key, expected] : cases) {
        EXPECT_EQ(GetProfileInt("S", key, 99, path), expected) << key;
    }
    EXPECT_EQ(GetProfileInt("S", "A", 5, dir / "missing.ini"), 5);
}

TEST(ProfileFileTest, WritesCreateFileAndSectionAndKeepOneLinePerKey) {
    test::TempDir dir;
    const std::string path = dir / "rec.err";
    ASSERT_TRUE(WriteProfileString("Default", "Message", "line one\r\nTime=forged", path));
    ASSERT_TRUE(WriteProfileString("Default", "Time", "01/02/2026 10:00:00", path));
    ASSERT_TRUE(WriteProfileString("DEFAULT", "message", "replaced", path));
    EXPECT_EQ(GetProfileString("Default", "Message", "", path), "replaced");
    EXPECT_EQ(GetProfileString("Default", "Time", "", path), "01/02/2026 10:00:00");
    EXPECT_EQ(test::ReadFile(path),
              "[Default]\r\nMessage=replaced\r\nTime=01/02/2026 10:00:00\r\n");
    ASSERT_TRUE(WriteProfileString("Default", "Time", std::nullopt, path));
    EXPECT_EQ(GetProfileKeyNames("Default", path), std::vector<std::string>{"Message"});
}

TEST(ProfileFileTest, LineBreaksInAValueCannotAddKeys) {
    ProfileFile p;
    p.Set("Default", "AppName", "doc\nSent=Y");
    const ProfileFile back = ProfileFile::Parse(p.Serialize());
    EXPECT_EQ(back.Get("Default", "Sent"), std::nullopt);
    EXPECT_EQ(back.Get("Default", "AppName"), "doc Sent=Y");
}

TEST(ProfileFileTest, DeletingASectionKeepsTheOthersAndComments) {
    test::TempDir dir;
    const std::string path = dir / "status.err";
    test::WriteFile(path, "; kept\n[A]\nx=1\n\n[B]\ny=2\n");
    ASSERT_TRUE(DeleteProfileSection("a", path));
    EXPECT_EQ(GetProfileString("A", "x", "none", path), "none");
    EXPECT_EQ(GetProfileString("B", "y", "", path), "2");
    EXPECT_NE(test::ReadFile(path).find("; kept"), std::string::npos);
}

TEST(ProfileFileTest, ValuesAreCutToTheCallersLength) {
    test::TempDir dir;
    const std::string path = dir / "p.ini";
    ASSERT_TRUE(WriteProfileString("S", "K", std::string(400, 'x'), path));
    EXPECT_EQ(GetProfileString("S", "K", "", path, 260).size(), 259u);
}

TEST(ProfileFileTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
    test::TempDir dir;
    const std::string path = dir / "f.ini";
    ASSERT_TRUE(WriteFileAtomically(path, "old", 0600).ok());
    ASSERT_TRUE(WriteFileAtomically(path, "new content", 0600).ok());
    EXPECT_EQ(test::ReadFile(path), "new content");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(WriteFileAtomically(dir / "no/such/dir/f", "x").ok());
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace kvzn::platform
