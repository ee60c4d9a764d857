// The system monitors as sources of the web server's status and history pages.
#pragma once

#include "service/service_context.h"
#include "web/report_rows.h"

namespace kvzn::programs {

// Gives `sources` a provider for the performance, disk space, event log and log file tables
// and for the performance history. Each provider asks the monitor the run has published at
// the moment of the request, so a monitor that is not running shows as not monitored.
// The providers hold `ctx`: they must be taken out again (DisconnectMonitorReports) before
// the context ends.
void ConnectMonitorReports(service::ServiceContext& ctx, web::ReportSources& sources);
void DisconnectMonitorReports(web::ReportSources& sources);

}  // namespace kvzn::programs
