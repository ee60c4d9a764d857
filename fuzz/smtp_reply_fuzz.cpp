// The mail server's replies as the SMTP session reads them: a reply ends at its first line
// that is not a continuation line, whatever comes after it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channels/smtp_client.h"
#include "companion/activity_log.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvzn::companion::ActivityLog::Process().SetLevel(0);  // mismatches are logged at level 1
    kvzn::companion::ActivityLog::Process().SetFile("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kvzn::channels::ScanSmtpReply;
    const std::string_view received(reinterpret_cast<const char*>(data), size);
    const auto scan = ScanSmtpReply(received);
    if (!scan.complete) {
        return 0;
    }
    KVZN_FUZZ_CHECK(scan.length > 0 && scan.length <= received.size());
    KVZN_FUZZ_CHECK(received[scan.length - 1] == '\n');
    const auto alone = ScanSmtpReply(received.substr(0, scan.length));
    KVZN_FUZZ_CHECK(alone.complete && alone.length == scan.length);
    KVZN_FUZZ_CHECK(alone.lastLine == scan.lastLine && alone.text == scan.text);
    KVZN_FUZZ_CHECK(!ScanSmtpReply(received.substr(0, scan.length - 1)).complete);
    const int matched = kvzn::channels::CheckSMTPResponse(scan.lastLine, "250");
    KVZN_FUZZ_CHECK(matched ==
                    (scan.lastLine.size() >= 3 && scan.lastLine.compare(0, 3, "250") == 0));
    return 0;
}
