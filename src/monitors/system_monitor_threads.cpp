// Thread functions of the event log and log file monitors. Each takes part in the start-up
// handshake and ends when the service stops. PerformanceCounter and GenericMonitor live in
// performance_monitor.cpp and disk_space_monitor.cpp.
#include "monitors/system_monitor_threads.h"

namespace kvzn::monitors {

void VerifyEventLogs(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    ctx.stopEvent.Wait();
}

void VerifyLogFiles(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    ctx.stopEvent.Wait();
}

}  // namespace kvzn::monitors
