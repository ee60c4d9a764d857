// Terminal messages on real pseudo-terminals: who gets the text, the banner, the result codes
// and a terminal that takes nothing.
#include "platform/terminal_messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "integration/platform/pty_sessions.h"
#include "platform/fake/fake_clock.h"
#include "support/test_support.h"

namespace kvzn::platform {
namespace {

using namespace std::chrono_literals;

class TerminalMessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::tzset();
        test::WriteLoginRecords(utmp, {{"nobody", open.line()},
                                       {"nobody", closed.line()},
                                       {"nobody", "pts/99999"},  // the session has gone
                                       {"daemon", other.line()},
                                       {"nobody", other.line(), DEAD_PROCESS}});
    }
    std::unique_ptr<TerminalMessages> Terminals(std::string path = {},
                                                std::chrono::milliseconds timeout = 1000ms) {
        return MakeTerminalMessages(
            {path.empty() ? utmp : path, "kvZNPrint", "PRINTSRV", timeout, &clock});
    }

    test::ScopedEnv tz{"TZ", "UTC"};
    test::TempDir dir;
    const std::string utmp = dir / "utmp";
    FakeClock clock{1767261600};  // Thursday 1 January 2026, 10:00 UTC
    test::PtySession open{"nobody", true};
    test::PtySession closed{"nobody", false};
    test::PtySession other{"daemon", true};
};

TEST_F(TerminalMessagesTest, UserGetsTheTextOnTerminalsThatAcceptMessagesOnly) {
    const TerminalDelivery result = Terminals()->SendToUser("nobody", "Printer jammed\n\tTray 2");
    EXPECT_EQ(result.code, kTerminalDelivered);
    EXPECT_EQ(result.terminals, 1);
    EXPECT_EQ(open.Read(),
              "\r\nMessage from kvZNPrint@PRINTSRV on Thu 01 Jan 2026 at 10:00 ...\r\n"
              "Printer jammed\r\n\tTray 2\r\n");
    EXPECT_EQ(closed.Read(200ms), "");
    EXPECT_EQ(other.Read(200ms), "");
}

TEST_F(TerminalMessagesTest, FailuresHaveTheirOwnCodes) {
    test::WriteLoginRecords(dir / "refusing", {{"lp", closed.line()}});
    std::filesystem::create_directory(dir / "not-a-file");
    struct Case {
        const char* what;
        std::string path;
        const char* user;
        int code;
    } cases[] = {
        {"user not logged in", utmp, "ghost", kTerminalNotLoggedIn},
        {"session that ended", utmp, "nobody", kTerminalDelivered},
        {"no login records", dir / "missing", "nobody", kTerminalNotLoggedIn},
        {"every terminal refuses", dir / "refusing", "lp", kTerminalMessagesOff},
        {"unreadable records", dir / "not-a-file", "nobody", kTerminalIoError},
    };
    for (const Case& c : cases) {
        const TerminalDelivery result = Terminals(c.path)->SendToUser(c.user, "x");
        EXPECT_EQ(result.code, c.code) << c.what << ": " << result.detail;
        EXPECT_EQ(result.detail.empty(), c.code == kTerminalDelivered) << c.what;
    }
    EXPECT_EQ(Terminals(dir / "refusing")->SendToAll("x").code, kTerminalMessagesOff);
}

TEST_F(TerminalMessagesTest, StuckTerminalIsGivenUpAfterTheTimeOut) {
    // Nobody reads the master: fill the terminal until it has taken nothing for a while (the
    // kernel moves queued output on in the background, freeing room more than once).
    ::fcntl(open.slave(), F_SETFL, ::fcntl(open.slave(), F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'x');
    for (int refused = 0; refused < 5;) {
        if (::write(open.slave(), block.data(), block.size()) > 0) {
            refused = 0;
        } else {
            ++refused;
            std::this_thread::sleep_for(50ms);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    const TerminalDelivery result = Terminals({}, 300ms)->SendToUser("nobody", "hello");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.code, kTerminalIoError);
    EXPECT_NE(result.detail.find(open.line()), std::string::npos) << result.detail;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
}

}  // namespace
}  // namespace kvzn::platform
