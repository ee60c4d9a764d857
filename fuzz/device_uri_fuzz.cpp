// Device URIs as the print scheduler reports them: whatever the text, a network device has
// a host made only of host characters and a port that is not 0.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "printmon/device_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view uri(reinterpret_cast<const char*>(data), size);
    const auto target = kvzn::printmon::NetworkDeviceOf(uri);
    if (target) {
        KVZN_FUZZ_CHECK(!target->host.empty());
        KVZN_FUZZ_CHECK(target->port != 0);
        KVZN_FUZZ_CHECK(target->host.find_first_of("/@?#[] \r\n") == std::string_view::npos);
        KVZN_FUZZ_CHECK(uri.find(target->host) != std::string_view::npos);
    }
    return 0;
}
