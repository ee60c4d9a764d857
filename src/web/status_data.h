// The status page's data for machines: the Prometheus text format ("/metrics") and JSON
// ("/status.json").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alerting/alert_store.h"
#include "alerting/dispatcher.h"
#include "platform/spooler.h"
#include "printmon/print_server_monitor.h"
#include "web/report_rows.h"

namespace kvzn::web {

struct StatusData {
    std::string server;
    std::string time;                         // time text of the moment of the snapshot
    uint64_t uptimeSeconds = 0;               // since the web server started with the service
    std::optional<std::string> spoolerError;  // the spooler could not be read
    std::vector<platform::PrinterInfo> printers;
    bool checksAvailable = false;  // false while a printer pass runs
    printmon::PrinterCheckStatuses checks;
    alerting::SummaryCounts alertsToday;  // alerts recorded today, by summary category
    uint64_t alertsRecorded = 0;          // alert records written since the service started
    alerting::DeliveryCounts deliveries;  // what the dispatcher handed to each channel
    std::vector<ReportSection> sections;  // the system monitors' tables
};

// The Prometheus text exposition (version 0.0.4) of `data`.
std::string RenderMetrics(const StatusData& data);
// `data` as one JSON object.
std::string RenderStatusJson(const StatusData& data);

// Text escaped for a JSON string and for a Prometheus label value.
std::string JsonEscape(std::string_view text);
std::string LabelEscape(std::string_view text);

}  // namespace kvzn::web
