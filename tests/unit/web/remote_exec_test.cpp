// The remote command page's own rules: how command lines split, how its number fields
// read, and what a request that is not a form of the session's page may do (nothing).
#include "web/remote_exec.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_account_logon.h"
#include "support/service_fixture.h"
#include "web/web_access.h"

namespace kvzn::web {
namespace {

using namespace std::string_literals;

using Words = std::vector<std::string>;

TEST(RemoteExecCommands, LinesSplitIntoProgramAndArgumentsWithoutAShell) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<Words> commands;
        size_t badLine;
    };
    const std::vector<Case> cases = {
        {"plain words, blanks and tabs", "ls  -l\t/tmp", {{"ls", "-l", "/tmp"}}, 0},
        {"shell characters stay in their words",
         "echo a;rm x $(id) `id` | & > <",
         {{"echo", "a;rm", "x", "$(id)", "`id`", "|", "&", ">", "<"}},
         0},
        {"single quotes keep everything", "echo 'a \"b\" \\n $x'", {{"echo", "a \"b\" \\n $x"}}, 0},
        {"double quotes with escapes",
         "echo \"say \\\"hi\\\" \\\\ \\n\"",
         {{"echo", "say \"hi\" \\ \\n"}},
         0},
        {"quotes join with the word around them", "a'b c'\"d\"e", {{"ab cde"}}, 0},
        {"empty quotes are an empty argument", "printf '' \"\"", {{"printf", "", ""}}, 0},
        {"backslash outside quotes", "echo a\\ b \\'", {{"echo", "a b", "'"}}, 0},
        {"blank lines skipped, CR and NUL dropped",
         "one\r\n\n  \t\ntw\0o 2\n"s,
         {{"one"}, {"two", "2"}},
         0},
        {"an open quote stops everything", "echo ok\necho 'open\necho after", {}, 2},
        {"an open double quote at the end", "echo \"x\\\"", {}, 1},
    };
    for (const Case& c : cases) {
        const ParsedCommands parsed = ParseCommandLines(c.text);
        EXPECT_EQ(parsed.commands, c.commands) << c.name;
        EXPECT_EQ(parsed.badLine, c.badLine) << c.name;
    }
}

TEST(RemoteExecCommands, NumberFieldsFallBackAndAreClamped) {
    const std::vector<std::pair<std::string, int>> timeouts = {
        {"0", 0},    {"00", 0},        {"45", 45},       {"45s", 45},
        {"abc", 30}, {"", 30},         {" 0", 30},       {"-5", 30},
        {"-0", 30},  {"86400", 86400}, {"86401", 86400}, {"99999999999999999999999", 86400},
        {"+7", 7}};
    for (const auto& [text, seconds] : timeouts) {
        EXPECT_EQ(RemoteTimeoutSeconds(text), seconds) << "'" << text << "'";
    }
    const std::vector<std::pair<std::string, int>> rows = {
        {"0", 15}, {"1", 1}, {"500", 500}, {"501", 15}, {"1000", 15}, {"-3", 15}, {"x", 15}};
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(TextAreaRows(&text, 15), expected) << text;
    }
    EXPECT_EQ(TextAreaRows(nullptr, 10), 10);
}

class RemoteExecPageTest : public ::testing::Test {
  protected:
    RemoteExecPageTest() {
        fixture.context.accountLogon = &accounts;
        fixture.context.autoAdjustPrivileges = true;
        accounts.AddAccount("alice", "pw");
        session.id = "s1";
        session.token = "0123456789abcdef0123456789abcdef";
        session.loggedOn = true;
        session.remote = std::make_shared<RemoteSession>();
    }
    std::string Page(Method method, const std::string& form) {
        HttpRequest http;
        http.method = method;
        http.params = ParseParameters(form);
        std::string page;
        EXPECT_EQ(
            BuildHTMLRemoteExecFile({fixture.context, sources, "127.0.0.1", session}, http, page),
            1);
        return page;
    }

    test::ServiceFixture fixture;
    platform::FakeAccountLogon accounts;
    ReportSources sources;
    Session session;
};

TEST_F(RemoteExecPageTest, OnlyTheSessionsOwnFormLogsOnOrRuns) {
    const std::string marker = fixture.dir / "ran";
    const std::string run =
        "hUserID=alice&hPassword=pw&hTimeout=5&RunBtn=1&hCommands=touch+" + UrlEncode(marker);
    // A link, and a form with another token: refused before any logon.
    for (const std::string& page :
         {Page(Method::kGet, run), Page(Method::kPost, run + "&token=ffff")}) {
        EXPECT_NE(page.find("has been refused"), std::string::npos);
        EXPECT_NE(page.find("[You are not logged on]"), std::string::npos);
    }
    EXPECT_TRUE(accounts.Events().empty());
    EXPECT_FALSE(std::filesystem::exists(marker));

    // A quote left open runs none of the lines.
    const std::string open = Page(Method::kPost, "token=" + session.token +
                                                     "&hUserID=alice&hPassword=pw&hTimeout=5"
                                                     "&hOutputLines=1000&hCommands=" +
                                                     UrlEncode("touch " + marker + "\necho 'x"));
    EXPECT_NE(open.find("Line 2 of the command(s) has a quote that is not closed"),
              std::string::npos)
        << open;
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_NE(open.find("rows=\"15\""), std::string::npos);
    EXPECT_EQ(accounts.Events(),
              (std::vector<std::string>{"logon alice", "accepted alice", "granted alice"}));
}

TEST_F(RemoteExecPageTest, WithoutASessionThePageIsNotBuilt) {
    HttpRequest http;
    std::string page;
    EXPECT_EQ(
        BuildHTMLRemoteExecFile({fixture.context, sources, "127.0.0.1", std::nullopt}, http, page),
        0);
    EXPECT_EQ(
        BuildHTMLRExecDisabledFile({fixture.context, sources, "127.0.0.1", std::nullopt}, page), 1);
    EXPECT_NE(page.find("has been disabled on this server"), std::string::npos);
}

}  // namespace
}  // namespace kvzn::web
