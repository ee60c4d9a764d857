// Alert records delivered as network messages to pseudo-terminals listed in private login
// records: the terminal that accepts messages gets the alert, escape sequences never arrive.
#include "channels/network_message.h"

#include <gtest/gtest.h>

#include <memory>

#include "alerting/dispatcher.h"
#include "integration/platform/pty_sessions.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

using namespace std::chrono_literals;

class NetworkMessagePtyTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        test::WriteLoginRecords(utmp, {{"nobody", accepting.line()},
                                       {"nobody", refusing.line()},
                                       {"daemon", colleague.line()}});
        terminals = platform::MakeTerminalMessages({utmp, "kvZNPrint", "PRINTSRV", 1000ms, &clock});
    }

    // Raises a document alert for `recipient` and delivers its record.
    int Deliver(const std::string& recipient) {
        registry.WriteText(contacts, "NetSend1", recipient);
        registry.WriteNumber(contacts, "NetSendLevel1", 2);
        std::string message =
            "The document \x1b[2J\x1b]2;owned\x07Quarterly.pdf (312 pages) exceeds the page limit";
        EXPECT_EQ(alerting::NotifyError(context, alerting::kCategoryPrintServer, 2, 0,
                                        "Check No of Pages", "HP4050", message),
                  1);
        const auto queue = alerting::Alerts(context).store.QueuedRecords();
        EXPECT_FALSE(queue.empty());
        if (queue.empty()) {
            return 0;
        }
        NetworkMessageChannel channel(context);
        return channel.SendNetworkMessageFromFile(alerting::AlertRecord::Load(queue.back()).value(),
                                                  std::nullopt, {{}, terminals.get()});
    }

    const std::string contacts = config::SubKey(config::subkey::kContacts);
    const std::string utmp = dir / "utmp";
    test::PtySession accepting{"nobody", true};
    test::PtySession refusing{"nobody", false};
    test::PtySession colleague{"daemon", true};
    std::unique_ptr<platform::TerminalMessages> terminals;
};

TEST_F(NetworkMessagePtyTest, UserTerminalThatAcceptsMessagesGetsTheCleanAlert) {
    ASSERT_EQ(Deliver("nobody"), 1);
    const std::string text = accepting.Read();
    EXPECT_TRUE(text.starts_with("\r\nMessage from kvZNPrint@PRINTSRV on ")) << text;
    EXPECT_NE(text.find("\r\n\r\nThe Korvane/Tessel Print Monitor has detected the following "
                        "error on server PRINTSRV ...\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\nThe document Quarterly.pdf (312 pages) exceeds the page limit\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\nError/Check Performed: Check No of Pages\r\n"), std::string::npos);
    EXPECT_EQ(text.find_first_of("\x1b\x07"), std::string::npos) << text;
    EXPECT_EQ(refusing.Read(200ms), "");
    EXPECT_EQ(colleague.Read(200ms), "");
}

TEST_F(NetworkMessagePtyTest, LocalComputerNameReachesEveryUser) {
    ASSERT_EQ(Deliver("printsrv"), 1);
    for (const test::PtySession* session : {&accepting, &colleague}) {
        const std::string text = session->Read();
        EXPECT_TRUE(text.starts_with("\r\nBroadcast message from kvZNPrint@PRINTSRV on "))
            << session->user() << ": " << text;
        EXPECT_NE(text.find("Quarterly.pdf"), std::string::npos) << session->user();
    }
    EXPECT_EQ(refusing.Read(200ms), "");
}

}  // namespace
}  // namespace kvzn::channels
