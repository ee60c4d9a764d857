// The store agent's request/reply protocol, spoken over the standard streams of
// "kvZNPrintCfg --agent" (usually through ssh).
//
// Both directions use the same frame: a header line "VERB ARG LENGTH\n" followed by LENGTH
// bytes of body. VERB is upper-case letters and '-', ARG one token of printable characters
// without blanks ("-" when there is none), LENGTH a decimal byte count.
//
// Requests and their replies:
//   READ - 0                  -> OK <version> <store file text>
//   WRITE <version> <text>    -> OK <new version> | CONFLICT <current version>
//   SERVICE-QUERY <name> 0    -> OK <state>
//   SERVICE-START <name> 0    -> OK | ERR <errno> <message>
//   SERVICE-STOP <name> 0     -> OK | ERR <errno> <message>
//   LOCATION - 0              -> OK - <where the store lives>
// WRITE replaces the whole store, but only when it still is the version the client read:
// the agent compares under the store's lock, and the client reads again and retries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvzn::cfgutil {

inline constexpr size_t kMaxHeaderLength = 512;
inline constexpr size_t kMaxBodyLength = 16u << 20;

struct AgentFrame {
    std::string verb;
    std::string arg;  // "-" when none
    std::string body;
};

std::string EncodeFrame(const AgentFrame& frame);

enum class ParseOutcome { Complete, NeedMore, Bad };

// Parses the first frame of `buffer`. Complete: `frame` is filled and `consumed` is its
// length. NeedMore: the buffer ends inside a frame. Bad: `error` says what is wrong; the
// stream cannot be resynchronised.
ParseOutcome ParseFrame(std::string_view buffer, AgentFrame& frame, size_t& consumed,
                        std::string& error);

// Version of a store text as the protocol carries it: 16 hex digits.
std::string StoreVersion(std::string_view storeText);

}  // namespace kvzn::cfgutil
