// The print server monitor thread.
#pragma once

#include "service/service_context.h"

namespace kvzn::printmon {

void SpecificMonitor(service::ServiceContext& ctx);

}  // namespace kvzn::printmon
