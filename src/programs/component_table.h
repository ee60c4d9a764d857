// The thread table of the kvZNPrint service.
#pragma once

#include "alerting/dispatcher.h"
#include "service/service_host.h"
#include "web/web_server.h"

namespace kvzn::programs {

// Slots, start order, component codes, failure messages and start conditions of every
// worker thread of the service.
service::ComponentTable MakeComponentTable();

// The web server's thread with the console list that lives as long as it: the consoles'
// requests arrive on its port, and alerts and status lines are passed on to them. The list
// is restored from its cache file at start and saved to it at stop.
void RunWebServerWithConsoles(service::ServiceContext& ctx, web::WebServer& server);

// The delivery channels the dispatcher of a run drives in this program.
alerting::AlertChannels MakeAlertChannels(service::ServiceContext& ctx);

}  // namespace kvzn::programs
