// Feeds arbitrary bytes to the web server's request framing and parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "web/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kvzn::web::RequestLimits limits;
    limits.maxHeader = 4096;
    limits.maxBody = 4096;
    const kvzn::web::FramingResult framing = kvzn::web::FrameRequest(text, limits);
    if (framing.framing == kvzn::web::Framing::kComplete) {
        KVZN_FUZZ_CHECK(framing.length <= size);
        kvzn::web::HttpRequest request;
        if (kvzn::web::DecodeRequestType(text.substr(0, framing.length), request) !=
            kvzn::web::Method::kNone) {
            KVZN_FUZZ_CHECK(!request.path.empty() && request.path.front() == '/');
            // Re-encoded parameters parse back to the same values.
            const auto again = kvzn::web::ParseParameters(request.QueryText());
            KVZN_FUZZ_CHECK(again.size() == request.params.size());
            for (size_t i = 0; i < again.size(); ++i) {
                KVZN_FUZZ_CHECK(again[i].name == request.params[i].name);
                KVZN_FUZZ_CHECK(again[i].value == request.params[i].value);
            }
        }
    }
    return 0;
}
