// Command lines of the remote command page: whatever the text, no program is empty, no
// word holds a line break or NUL, and a text with an open quote yields nothing to run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "web/remote_exec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kvzn::web::ParsedCommands parsed = kvzn::web::ParseCommandLines(text);
    if (parsed.badLine != 0) {
        KVZN_FUZZ_CHECK(parsed.commands.empty());
    }
    for (const auto& words : parsed.commands) {
        KVZN_FUZZ_CHECK(!words.empty());
        for (const auto& word : words) {
            KVZN_FUZZ_CHECK(word.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos);
        }
    }
    kvzn::web::RemoteTimeoutSeconds(text);
    return 0;
}
