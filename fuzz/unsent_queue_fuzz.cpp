// The unsent queue file as the dispatcher reads it: one record path per line, each cut at
// its first control character, empty lines left out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "alerting/alert_store.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t lineCount = 1;
    for (const char c : text) {
        lineCount += c == '\n' ? 1 : 0;
    }
    const auto lines = kvzn::alerting::ParseQueueLines(text);
    KVZN_FUZZ_CHECK(lines.size() <= lineCount);
    size_t from = 0;
    for (const auto& line : lines) {
        KVZN_FUZZ_CHECK(!line.empty());
        for (const char c : line) {
            KVZN_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
        }
        // Each line is taken from the text, in order.
        const size_t at = text.find(line, from);
        KVZN_FUZZ_CHECK(at != std::string_view::npos);
        from = at + line.size();
    }
    return 0;
}
