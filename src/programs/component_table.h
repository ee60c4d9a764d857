// The thread table of the kvZNPrint service.
#pragma once

#include "alerting/dispatcher.h"
#include "service/service_host.h"

namespace kvzn::programs {

// Slots, start order, component codes, failure messages and start conditions of every
// worker thread of the service.
service::ComponentTable MakeComponentTable();

// The delivery channels the dispatcher of a run drives in this program.
alerting::AlertChannels MakeAlertChannels(service::ServiceContext& ctx);

}  // namespace kvzn::programs
