// Thread functions of the performance and disk space monitors. Each takes part in the start-up
// handshake and ends when the service stops; their checks are added monitor by monitor.
#include "monitors/system_monitor_threads.h"

namespace kvzn::monitors {

void PerformanceCounter(service::ServiceContext& ctx) {
    // No counters are collected yet, so the data is ready at once.
    ctx.SetPerformanceReady();
    ctx.stopEvent.Wait();
}

void GenericMonitor(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    ctx.stopEvent.Wait();
}

}  // namespace kvzn::monitors
