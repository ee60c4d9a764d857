// The agent protocol's framing and the agent's answers, over a scripted channel.
#include "cfgutil/store_agent.h"

#include <gtest/gtest.h>

#include "cfgutil/agent_protocol.h"
#include "platform/fake/fake_service_manager.h"

namespace kvzn::cfgutil {
namespace {

using platform::Status;
using platform::StoreTree;
using platform::StoreValue;

TEST(AgentProtocol, FramesAreParsedWholeOrNotAtAll) {
    const std::string encoded = EncodeFrame({"WRITE", "00ff", "a\nb"});
    EXPECT_EQ(encoded, "WRITE 00ff 3\na\nb");
    AgentFrame frame;
    size_t consumed = 0;
    std::string error;
    for (size_t cut = 0; cut < encoded.size(); ++cut) {
        EXPECT_EQ(ParseFrame(encoded.substr(0, cut), frame, consumed, error),
                  ParseOutcome::NeedMore)
            << cut;
    }
    ASSERT_EQ(ParseFrame(encoded + "READ - 0\n", frame, consumed, error), ParseOutcome::Complete);
    EXPECT_EQ(frame.verb, "WRITE");
    EXPECT_EQ(frame.arg, "00ff");
    EXPECT_EQ(frame.body, "a\nb");
    EXPECT_EQ(consumed, encoded.size());

    const struct {
        std::string text;
        std::string error;
    } bad[] = {
        {"READ 0\n", "header needs a verb, an argument and a length"},
        {"read - 0\n", "bad verb"},
        {"READ  0 0\n", "bad argument"},
        {"READ - -1\n", "bad length"},
        {"READ - 01\n", "bad length"},
        {"READ - 99999999999999999999999\n", "bad length"},
        {"READ - 16777217\n", "body too long"},
        {std::string(600, 'A'), "header line too long"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(ParseFrame(b.text, frame, consumed, error), ParseOutcome::Bad) << b.text;
        EXPECT_EQ(error, b.error) << b.text;
    }
}

// Input given up front, in pieces of a few bytes; output collected.
class ScriptedChannel final : public platform::ByteChannel {
  public:
    explicit ScriptedChannel(std::string input) : input_(std::move(input)) {}
    Status Write(std::string_view data, std::chrono::milliseconds) override {
        output.append(data);
        return Status::Ok();
    }
    Status Read(std::string& out, bool& end, std::chrono::milliseconds) override {
        end = input_.empty();
        out.append(input_.substr(0, 7));
        input_.erase(0, 7);
        return Status::Ok();
    }
    std::vector<AgentFrame> Replies() const {
        std::vector<AgentFrame> replies;
        std::string_view rest = output;
        AgentFrame frame;
        size_t consumed = 0;
        std::string error;
        while (ParseFrame(rest, frame, consumed, error) == ParseOutcome::Complete) {
            replies.push_back(frame);
            rest.remove_prefix(consumed);
        }
        return replies;
    }
    std::string output;

  private:
    std::string input_;
};

TEST(StoreAgent, WritesOnlyOverTheVersionItWasGiven) {
    auto store = platform::MakeMemoryStore();
    store->Update([](StoreTree& t) {
        t.Set("K", "V", StoreValue::MakeNumber(1));
        return true;
    });
    std::string current;
    store->Read([&](const StoreTree& t) { current = t.Serialize(); });
    StoreTree next;
    next.Set("K", "V", StoreValue::MakeNumber(2));
    const std::string nextText = next.Serialize();

    platform::FakeServiceManager services;
    services.SetState("kvZNPrint", platform::ServiceState::Running);
    ScriptedChannel channel(
        EncodeFrame({"READ", "-", ""}) + EncodeFrame({"WRITE", StoreVersion("stale"), nextText}) +
        EncodeFrame({"WRITE", StoreVersion(current), nextText}) +
        EncodeFrame({"WRITE", StoreVersion(nextText), "[broken"}) +
        EncodeFrame({"SERVICE-QUERY", "kvZNPrint", ""}) +
        EncodeFrame({"SERVICE-STOP", "kvZNPrint", ""}) +
        EncodeFrame({"SERVICE-QUERY", "kvZNPrint", ""}) +
        EncodeFrame({"SERVICE-START", "other", ""}) + EncodeFrame({"FROB", "-", ""}));
    EXPECT_EQ(RunStoreAgent(channel, *store, services), 0);
    const std::vector<AgentFrame> replies = channel.Replies();
    ASSERT_EQ(replies.size(), 9u) << channel.output;
    EXPECT_EQ(replies[0].verb, "OK");
    EXPECT_EQ(replies[0].arg, StoreVersion(current));
    EXPECT_EQ(replies[0].body, current);
    EXPECT_EQ(replies[1].verb, "CONFLICT");
    EXPECT_EQ(replies[1].arg, StoreVersion(current));
    EXPECT_EQ(replies[2].verb, "OK");
    EXPECT_EQ(replies[2].arg, StoreVersion(nextText));
    EXPECT_EQ(replies[3].verb, "ERR");
    EXPECT_NE(replies[3].body.find("request:1:"), std::string::npos) << replies[3].body;
    EXPECT_EQ(replies[4].arg, "running");
    EXPECT_EQ(replies[5].verb, "OK");
    EXPECT_EQ(replies[6].arg, "stopped");
    EXPECT_EQ(replies[7].verb, "ERR");
    EXPECT_EQ(replies[8].verb, "ERR");
    std::string after;
    store->Read([&](const StoreTree& t) { after = t.Serialize(); });
    EXPECT_EQ(after, nextText);

    // A malformed request ends the conversation after an error reply.
    ScriptedChannel garbage("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(RunStoreAgent(garbage, *store, services), 1);
    ASSERT_EQ(garbage.Replies().size(), 1u);
    EXPECT_EQ(garbage.Replies()[0].verb, "ERR");
}

}  // namespace
}  // namespace kvzn::cfgutil
