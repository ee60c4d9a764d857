// The print server monitor thread: start-up handshake and the wait for the stop; printer
// and service checks are added to its cycle.
#include "printmon/print_server_monitor.h"

namespace kvzn::printmon {

void SpecificMonitor(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    ctx.stopEvent.Wait();
}

}  // namespace kvzn::printmon
