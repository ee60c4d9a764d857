// Network messages: the relay server rule, recipients, the loop guard and the message texts.
#include "channels/network_message.h"

#include <gtest/gtest.h>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "platform/fake/fake_terminal_messages.h"
#include "support/service_fixture.h"

namespace kvzn::channels {
namespace {

using platform::FakeTerminalMessages;

constexpr const char* kFixedClosing =
    "If this should not be considered an error, the check value is incorrect or you do not wish "
    "to receive this notification, please edit the check using the Tessel Monitor Configuration "
    "Utility.\n\n";

class NetworkMessageTest : public ::testing::Test, protected test::ServiceFixture {
  protected:
    void SetUp() override {
        ::tzset();
        clock.SetNow(1767261600);  // Thursday 1 January 2026, 10:00:00 UTC
        fake.LogIn("alice");
        registry.WriteText(contacts, "NetSend1", "alice");
        registry.WriteNumber(contacts, "NetSendLevel1", 2);
        context.SetComponentStatusSink(
            [this](int code, std::string_view text) { consoleLines.emplace_back(code, text); });
    }
    // Records a printer alert of level 2 and returns its record.
    alerting::AlertRecord Raise(std::string message = "A paper jam has occurred",
                                std::optional<std::string> info2 = std::nullopt) {
        EXPECT_EQ(alerting::NotifyError(context, alerting::kCategoryPrintServer, 2, 0,
                                        "Printer Error", "HP4050", message, std::nullopt, info2),
                  1);
        return alerting::AlertRecord::Load(Alerts().store.QueuedRecords().back()).value();
    }
    int FromFile(const alerting::AlertRecord& record) {
        return channel->SendNetworkMessageFromFile(record, std::nullopt, Options());
    }
    int Send(std::string_view text, std::string_view names) {
        return SendNetworkMessage(context, "", text, names, Options());
    }
    NetSendOptions Options() {
        return {[this](std::string_view line) { progress.emplace_back(line); }, &fake};
    }

    test::ScopedEnv tz{"TZ", "UTC"};
    test::LogCapture log;
    FakeTerminalMessages fake;
    std::vector<std::string> progress;
    std::vector<std::pair<int, std::string>> consoleLines;
    const std::string contacts = config::SubKey(config::subkey::kContacts);
    std::optional<NetworkMessageChannel> channel{std::in_place, context};
};

TEST_F(NetworkMessageTest, FixedLayoutIsExact) {
    const alerting::AlertRecord record = Raise();
    clock.AdvanceMs(65000);
    ASSERT_EQ(FromFile(record), 1);
    const std::string expected =
        "\nThe Korvane/Tessel Print Monitor has detected the following error on server PRINTSRV "
        "...\n\nA paper jam has occurred\n\nAdditional information follows ...\n\n"
        "Error/Check Performed: Printer Error\n"
        "Error Detected at: 01/01/2026 10:00:00\n"
        "Notification raised at: 01/01/2026 10:01:05\n"
        "Error Source: HP4050\n"
        "O/S Type: " +
        alerting::OperatingSystemName() +
        "\n"
        "Latest Service Pack: " +
        alerting::ServicePackText() + "\n\n" + kFixedClosing;
    EXPECT_EQ(fake.Delivered("alice"), std::vector<std::string>{expected});
    EXPECT_EQ(progress, std::vector<std::string>{"Sending the test network message ..."});
    EXPECT_EQ(
        consoleLines.back(),
        (std::pair<int, std::string>{12, "Sending network message alert for check Printer Error"}));
}

TEST_F(NetworkMessageTest, TemplateIsExpandedReadOnceAndNoneInAnyCaseMeansTheFixedLayout) {
    registry.WriteText(contacts, "MessageText",
                       "<$$SERVER>: <$$TEST> (<$$INFO2>) level <$$ALERTLEVEL> at <$$TIMELOGGED>: "
                       "<$$ERROR> [<$$INFO3>]");
    const alerting::AlertRecord record = Raise("Tray 2 is empty", "tray 2");
    ASSERT_EQ(FromFile(record), 1);
    registry.WriteText(contacts, "MessageText", "changed <$$TEST>");
    ASSERT_EQ(FromFile(record), 1);
    channel.emplace(context);
    ASSERT_EQ(FromFile(record), 1);
    registry.WriteText(contacts, "MessageText", "none");
    channel.emplace(context);
    ASSERT_EQ(FromFile(record), 1);

    const std::string first =
        "PRINTSRV: Printer Error (tray 2) level 2 at 01/01/2026 10:00:00: Tray 2 is empty [N/A]";
    const auto sent = fake.Delivered("alice");
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], first);
    EXPECT_EQ(sent[1], first) << "the template is kept for the life of the process";
    EXPECT_EQ(sent[2], "changed Printer Error");
    EXPECT_TRUE(sent[3].starts_with("\nThe Korvane/Tessel Print Monitor has detected")) << sent[3];
}

TEST_F(NetworkMessageTest, RelayServerRule) {
    const struct {
        const char* server;
        bool delivered;
        const char* relay;  // how the refused relay is named in the log
    } cases[] = {
        {"", true, nullptr},
        {"PRINTSRV", true, nullptr},
        {"\\\\printsrv", true, nullptr},
        {"OTHERSRV", false, "through \\\\OTHERSRV;"},
        {"\\OTHERSRV", false, "through \\OTHERSRV;"},
    };
    for (const auto& c : cases) {
        FakeTerminalMessages terminals;
        terminals.LogIn("alice");
        test::LogCapture caseLog;
        registry.WriteText(contacts, "NetSend Server", c.server);
        ASSERT_EQ(SendNetworkMessage(context, "", "hello", "alice,bob", {{}, &terminals}), 1)
            << c.server;
        if (c.delivered) {
            EXPECT_EQ(terminals.Delivered("alice"), std::vector<std::string>{"hello"}) << c.server;
        } else {
            EXPECT_TRUE(terminals.Calls().empty()) << c.server;
            EXPECT_EQ(caseLog.Count("The result was 3"), 2u) << c.server << ": each name fails";
            EXPECT_TRUE(caseLog.Contains(c.relay)) << c.server;
        }
    }
}

TEST_F(NetworkMessageTest, RelayedCopyOfAnAlertIsNotSentAgain) {
    ASSERT_EQ(FromFile(Raise("Forwarded: the KORVANE/Tessel Print Monitor Has Detected The "
                             "Following Error on server PRINTSRV")),
              1);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(log.Contains("Repeated error detected and will be ignored", "kvZNNetSend"));

    ASSERT_EQ(FromFile(Raise("Korvane queue on PRINTSRV is long")), 1);
    EXPECT_EQ(fake.Delivered("alice").size(), 1u) << "one of the two phrases is not enough";
}

TEST_F(NetworkMessageTest, UnreachableNameDoesNotStopTheOthers) {
    ASSERT_EQ(Send("hello", " ghost , alice\n"), 1);
    EXPECT_EQ(fake.Delivered("alice"), std::vector<std::string>{"hello"});
    EXPECT_TRUE(
        log.Contains("Unable to send network message to ghost. Please check that the "
                     "Messenger service is running on the specified machine. The result "
                     "was 1"));
    EXPECT_EQ(progress, (std::vector<std::string>{
                            "Error: The network message could not be sent ...",
                            "Please check the user ID & that the Messenger service is running on "
                            "both the ",
                            "server & target machine."}));
}

TEST_F(NetworkMessageTest, NothingToSendIsSuccess) {
    ASSERT_EQ(Send("hello", ",, \n ,\n"), 1);
    registry.WriteNumber(contacts, "NetSendLevel1", 4);  // alice no longer wants level 2
    ASSERT_EQ(FromFile(Raise()), 1);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(progress.empty());
    EXPECT_FALSE(log.Contains("Unable to send network message"));
}

TEST_F(NetworkMessageTest, LocalComputerNameInAnyCaseReachesEveryUser) {
    ASSERT_EQ(Send("hello", "printsrv"), 1);
    EXPECT_EQ(fake.Delivered("*"), std::vector<std::string>{"hello"});
    EXPECT_TRUE(fake.Delivered("printsrv").empty());
}

TEST_F(NetworkMessageTest, EscapeAndControlCharactersAreStripped) {
    ASSERT_EQ(Send("Doc \x1b[2J\x1b]0;owned\x07name\r\n\x07\x08page\x7f\tok \xc2\x9b"
                   "31m caf\xc3\xa9",
                   "alice"),
              1);
    EXPECT_EQ(fake.Delivered("alice"),
              std::vector<std::string>{"Doc name\npage\tok 31m caf\xc3\xa9"});
}

}  // namespace
}  // namespace kvzn::channels
