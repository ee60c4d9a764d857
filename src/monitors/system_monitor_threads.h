// Thread functions of the performance counter and disk space monitors (the event log and
// log file monitors live in logmon/).
#pragma once

#include "service/service_context.h"

namespace kvzn::monitors {

void PerformanceCounter(service::ServiceContext& ctx);
void GenericMonitor(service::ServiceContext& ctx);

}  // namespace kvzn::monitors
