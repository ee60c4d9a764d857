// Requests that reach the store agent over its standard input: framing errors end the
// conversation with an error reply, and no request, whole or broken, crashes the agent or
// leaves the store unreadable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cfgutil/agent_protocol.h"
#include "cfgutil/store_agent.h"
#include "fuzz_check.h"
#include "platform/fake/fake_service_manager.h"

namespace {

using kvzn::platform::Status;

// The fuzz input arrives in pieces of varying size, as pipes deliver it.
class InputChannel final : public kvzn::platform::ByteChannel {
  public:
    explicit InputChannel(std::string_view input) : input_(input) {}
    Status Write(std::string_view data, std::chrono::milliseconds) override {
        output.append(data);
        return Status::Ok();
    }
    Status Read(std::string& out, bool& end, std::chrono::milliseconds) override {
        end = input_.empty();
        const size_t n = std::min<size_t>(input_.size(), 1 + input_.size() % 61);
        out.append(input_.substr(0, n));
        input_.remove_prefix(n);
        return Status::Ok();
    }
    std::string output;

  private:
    std::string_view input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kvzn::cfgutil::AgentFrame frame;
    size_t consumed = 0;
    std::string error;
    if (kvzn::cfgutil::ParseFrame(text, frame, consumed, error) ==
        kvzn::cfgutil::ParseOutcome::Complete) {
        KVZN_FUZZ_CHECK(consumed <= size);
        KVZN_FUZZ_CHECK(kvzn::cfgutil::EncodeFrame(frame) == text.substr(0, consumed));
    }

    auto store = kvzn::platform::MakeMemoryStore();
    kvzn::platform::FakeServiceManager services;
    InputChannel channel(text);
    kvzn::cfgutil::RunStoreAgent(channel, *store, services);
    // Every reply the agent wrote is a whole frame.
    std::string_view replies = channel.output;
    while (!replies.empty()) {
        KVZN_FUZZ_CHECK(kvzn::cfgutil::ParseFrame(replies, frame, consumed, error) ==
                        kvzn::cfgutil::ParseOutcome::Complete);
        replies.remove_prefix(consumed);
    }
    KVZN_FUZZ_CHECK(store->Read([](const kvzn::platform::StoreTree&) {}).ok());
    return 0;
}
