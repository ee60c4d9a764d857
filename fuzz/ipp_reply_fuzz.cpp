// The print scheduler's replies decoded from memory: a printer list and a job list (two IPP
// messages back to back) make one snapshot, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "platform/linux/ipp_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace ipp = kvzn::platform::ipp;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    size_t used = 0;
    const ipp::IppPtr printers = ipp::DecodeMessage(bytes, &used);
    if (!printers) {
        return 0;
    }
    KVZN_FUZZ_CHECK(used > 0 && used <= bytes.size());
    const ipp::IppPtr jobs = ipp::DecodeMessage(bytes.substr(used));
    auto snapshot =
        ipp::SnapshotOf(ipp::PrintersOf(printers.get()),
                        jobs ? ipp::JobsOf(jobs.get()) : std::vector<kvzn::platform::JobInfo>{});
    for (const auto& queue : snapshot.printers) {
        KVZN_FUZZ_CHECK(!queue.printer.name.empty());
        KVZN_FUZZ_CHECK(queue.printer.jobCount == static_cast<int>(queue.jobs.size()));
        for (size_t i = 0; i < queue.jobs.size(); ++i) {
            KVZN_FUZZ_CHECK(queue.jobs[i].id > 0);
            KVZN_FUZZ_CHECK(queue.jobs[i].position == static_cast<int>(i) + 1);
            KVZN_FUZZ_CHECK(queue.jobs[i].printer == queue.printer.name);
        }
    }
    if (jobs) {
        ipp::DeviceUrisOf(jobs.get());
    }
    return 0;
}
