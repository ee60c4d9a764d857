// kvZNPrint: the print server monitor service.
#include <iostream>

#include "platform/process_memory.h"
#include "programs/component_table.h"
#include "service/service_entry.h"

namespace {

// A handful of threads that wake every few seconds for a moment: one allocator arena for
// all of them.
constexpr int kAllocatorArenas = 1;

}  // namespace

int main(int argc, char** argv) {
    // The libraries' initialisation before main (TLS, Kerberos, PKCS#11 set-up pulled in
    // by the print system's client library) left several megabytes of their code mapped
    // that the service never runs again.
    if (const auto released = kvzn::platform::ReleaseStartupPages(); !released.ok()) {
        std::cerr << "kvZNPrint: start-up pages kept: " << released.status().Text() << '\n';
    }
    if (const kvzn::platform::Status arenas =
            kvzn::platform::LimitAllocatorArenas(kAllocatorArenas);
        !arenas.ok()) {
        std::cerr << "kvZNPrint: " << arenas.Text() << '\n';
    }
    return kvzn::service::ServiceProgramMain(argc, argv, kvzn::programs::MakeComponentTable());
}
