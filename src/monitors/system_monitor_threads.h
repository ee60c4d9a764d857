// Thread functions of the system monitors: performance counters, event logs, log files
// and disk space.
#pragma once

#include "service/service_context.h"

namespace kvzn::monitors {

void PerformanceCounter(service::ServiceContext& ctx);
void VerifyEventLogs(service::ServiceContext& ctx);
void VerifyLogFiles(service::ServiceContext& ctx);
void GenericMonitor(service::ServiceContext& ctx);

}  // namespace kvzn::monitors
