// A web server's reply as the HTTP client of the alert engine reads it: the status line,
// and the request text that is logged without its secrets.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "channels/http_client.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kvzn::channels;
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    std::string reason;
    const auto status = ParseHttpStatus(reply, &reason);
    if (status) {
        KVZN_FUZZ_CHECK(*status >= 0);
        KVZN_FUZZ_CHECK(reason.find_first_of("\r\n") == std::string::npos);
    }
    // Outside text logged as a request never shows a secret parameter's value.
    const std::string logged = RequestForLog("GET /x?password=s3cr3t&" + std::string(reply) +
                                             " HTTP/1.1\r\n\r\n&token=s3cr3t");
    KVZN_FUZZ_CHECK(logged.starts_with("GET /x?password=***&"));
    KVZN_FUZZ_CHECK(logged.ends_with("&token=***"));
    // Encoded text keeps only unreserved characters and escapes.
    const std::string encoded = EncodeParameter(reply);
    KVZN_FUZZ_CHECK(encoded.find_first_of(" \r\n#&+?") == std::string::npos);
    return 0;
}
