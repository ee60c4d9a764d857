// Compiled alert engine scripts: their text comes from alert messages and user templates.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "channels/alert_engine.h"
#include "channels/http_client.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kvzn::channels;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto syslog = ParseSysLogScript(text);
    if (syslog.error.empty()) {
        KVZN_FUZZ_CHECK(!syslog.script.server.empty() && syslog.script.port > 0);
    }
    const auto smtp = ParseSmtpScript(text);
    if (smtp.error.empty()) {
        KVZN_FUZZ_CHECK(!smtp.script.sendTo.empty() && smtp.script.port > 0);
        KVZN_FUZZ_CHECK(smtp.script.subject.find_first_of("\r\n") == std::string::npos);
    }
    const auto http = ParseHttpScript(text);
    if (http.error.empty()) {
        const HttpScriptRequest request = BuildScriptRequest(http.script);
        // Nothing of the script can end the request line or start another header.
        KVZN_FUZZ_CHECK(request.path.find_first_of(" \r\n#") == std::string::npos);
        HttpRequest r;
        r.server = http.script.server;
        r.path = request.path;
        r.agent = http.script.agent;
        r.body = request.body;
        r.method = request.body ? HttpMethod::kPost : HttpMethod::kGet;
        const std::string built = BuildHttpRequest(r);
        const size_t head = built.find("\r\n\r\n");
        KVZN_FUZZ_CHECK(head != std::string::npos);
        for (size_t i = 0; i < head; ++i) {
            // Line breaks only where the builder puts them: CR LF pairs.
            KVZN_FUZZ_CHECK(built[i] != '\n' || (i > 0 && built[i - 1] == '\r'));
            KVZN_FUZZ_CHECK(built[i] != '\r' || built[i + 1] == '\n');
        }
    }
    return 0;
}
