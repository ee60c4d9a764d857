// Feeds arbitrary bytes to the console message parser and checks that a message built
// from what it read parses back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_message.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kvzn::console::ParsedMessage m = kvzn::console::ParseConsoleMessage(text);
    if (m.status == kvzn::console::Parse::kComplete) {
        KVZN_FUZZ_CHECK(m.length <= size);
        const std::string built =
            kvzn::console::BuildConsoleMessage(m.number, kvzn::console::JoinFields(m.fields));
        const kvzn::console::ParsedMessage again = kvzn::console::ParseConsoleMessage(built);
        KVZN_FUZZ_CHECK(again.status == kvzn::console::Parse::kComplete);
        KVZN_FUZZ_CHECK(again.length == built.size());
        KVZN_FUZZ_CHECK(again.number == m.number);
        // A message without text comes back with one empty text field.
        KVZN_FUZZ_CHECK(again.fields == m.fields ||
                        (m.fields.empty() && again.fields == std::vector<std::string>{""}));
    }
    return 0;
}
