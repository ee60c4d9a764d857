// Renders the status data for scrapers and scripts.
#include "web/status_data.h"

#include <cstdio>

namespace kvzn::web {

namespace {
void Help(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

std::string Quoted(std::string_view text) {
    return "\"" + JsonEscape(text) + "\"";
}
}  // namespace

std::string JsonEscape(std::string_view text) {
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else if (c >= 0x80) {
                    // The system's texts are 8-bit; bytes above ASCII are given as Latin-1.
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

std::string LabelEscape(std::string_view text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\\') {
            out += "\\\\";
        } else if (ch == '"') {
            out += "\\\"";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f) {
            out += ch;
        }
    }
    return out;
}

std::string RenderMetrics(const StatusData& data) {
    std::string out;
    Help(out, "kvzn_up_seconds", "gauge", "Seconds since the monitor's web server started.");
    out += "kvzn_up_seconds " + std::to_string(data.uptimeSeconds) + "\n";
    Help(out, "kvzn_spooler_up", "gauge", "1 when the spooler could be read for this scrape.");
    out += std::string("kvzn_spooler_up ") + (data.spoolerError ? "0" : "1") + "\n";
    Help(out, "kvzn_printer_state", "gauge",
         "Printer state: 3 idle, 4 processing, 5 stopped (IPP printer-state).");
    for (const auto& p : data.printers) {
        out += "kvzn_printer_state{printer=\"" + LabelEscape(p.name) + "\"} " +
               std::to_string(p.state) + "\n";
    }
    Help(out, "kvzn_printer_status_bits", "gauge", "Printer status bits as the checks see them.");
    for (const auto& p : data.printers) {
        out += "kvzn_printer_status_bits{printer=\"" + LabelEscape(p.name) + "\"} " +
               std::to_string(p.status) + "\n";
    }
    Help(out, "kvzn_printer_accepting", "gauge", "1 when the printer accepts jobs.");
    for (const auto& p : data.printers) {
        out += "kvzn_printer_accepting{printer=\"" + LabelEscape(p.name) + "\"} " +
               (p.accepting ? "1" : "0") + "\n";
    }
    Help(out, "kvzn_printer_queue_length", "gauge", "Jobs not yet completed.");
    for (const auto& p : data.printers) {
        out += "kvzn_printer_queue_length{printer=\"" + LabelEscape(p.name) + "\"} " +
               std::to_string(p.jobCount) + "\n";
    }
    Help(out, "kvzn_printer_checks_available", "gauge",
         "0 while a printer pass runs (check values left out of this scrape).");
    out +=
        std::string("kvzn_printer_checks_available ") + (data.checksAvailable ? "1" : "0") + "\n";
    Help(out, "kvzn_printer_device_reachable", "gauge",
         "1 when the printer's network device answered the last probe (probed printers only).");
    for (const auto& p : data.checks.printers) {
        if (p.device.probed) {
            out += "kvzn_printer_device_reachable{printer=\"" + LabelEscape(p.printer) +
                   "\",target=\"" + LabelEscape(p.device.target) + "\"} " +
                   (p.device.reachable ? "1" : "0") + "\n";
        }
    }
    Help(out, "kvzn_check_failures", "gauge", "Consecutive failures of a printer check.");
    for (const auto& c : data.checks.checks) {
        out += "kvzn_check_failures{printer=\"" + LabelEscape(c.printer) + "\",check=\"" +
               LabelEscape(c.title) + "\"} " + std::to_string(c.failureCount) + "\n";
    }
    Help(out, "kvzn_check_last_value", "gauge", "Last value a printer check measured (-1 none).");
    for (const auto& c : data.checks.checks) {
        out += "kvzn_check_last_value{printer=\"" + LabelEscape(c.printer) + "\",check=\"" +
               LabelEscape(c.title) + "\"} " + std::to_string(c.lastValue) + "\n";
    }
    Help(out, "kvzn_alerts_today", "gauge", "Alerts recorded today, by summary category.");
    out +=
        "kvzn_alerts_today{category=\"disk\"} " + std::to_string(data.alertsToday.diskSpace) + "\n";
    out += "kvzn_alerts_today{category=\"print_server\"} " +
           std::to_string(data.alertsToday.monitorSpecific) + "\n";
    out += "kvzn_alerts_today{category=\"performance\"} " +
           std::to_string(data.alertsToday.performance) + "\n";
    Help(out, "kvzn_alerts_recorded_total", "counter",
         "Alert records written since the service started.");
    out += "kvzn_alerts_recorded_total " + std::to_string(data.alertsRecorded) + "\n";
    Help(out, "kvzn_alert_deliveries_total", "counter",
         "Alerts handed to each delivery channel since the service started, by result (e-mail "
         "and network messages report whether everyone was reached; the other channels count "
         "what they were given).");
    const alerting::DeliveryCounts& d = data.deliveries;
    const struct {
        const char* channel;
        const char* result;
        uint64_t count;
    } deliveries[] = {
        {"email", "sent", d.emailSent},
        {"email", "failed", d.emailFailed},
        {"delayed_email", "sent", d.delayedEmailSent},
        {"delayed_email", "failed", d.delayedEmailFailed},
        {"network_message", "sent", d.networkSent},
        {"network_message", "failed", d.networkFailed},
        {"alert_data_file", "given", d.alertDataFile},
        {"alert_database", "given", d.alertDatabase},
        {"alert_engine", "given", d.alertEngine},
        {"alert_log", "given", d.alertLog},
    };
    for (const auto& row : deliveries) {
        out += std::string("kvzn_alert_deliveries_total{channel=\"") + row.channel +
               "\",result=\"" + row.result + "\"} " + std::to_string(row.count) + "\n";
    }
    Help(out, "kvzn_report_problems", "gauge", "Rows showing a problem, by status table.");
    for (const ReportSection& s : data.sections) {
        size_t problems = 0;
        for (const ReportRow& r : s.rows) {
            problems += r.problem ? 1 : 0;
        }
        out += "kvzn_report_problems{table=\"" + LabelEscape(s.heading) + "\"} " +
               std::to_string(problems) + "\n";
    }
    return out;
}

std::string RenderStatusJson(const StatusData& data) {
    std::string out = "{\"server\":" + Quoted(data.server) + ",\"time\":" + Quoted(data.time) +
                      ",\"uptimeSeconds\":" + std::to_string(data.uptimeSeconds);
    out += ",\"spoolerError\":" + (data.spoolerError ? Quoted(*data.spoolerError) : "null");
    out += ",\"printers\":[";
    for (size_t i = 0; i < data.printers.size(); ++i) {
        const auto& p = data.printers[i];
        out += i ? "," : "";
        out += "{\"name\":" + Quoted(p.name) + ",\"state\":" + std::to_string(p.state) +
               ",\"statusBits\":" + std::to_string(p.status) +
               ",\"accepting\":" + (p.accepting ? "true" : "false") +
               ",\"queueLength\":" + std::to_string(p.jobCount) +
               ",\"message\":" + Quoted(p.stateMessage) + "}";
    }
    out += "],\"lastPrinterCheck\":" + Quoted(data.checks.lastPrinterCheck);
    out += ",\"checksAvailable\":" + std::string(data.checksAvailable ? "true" : "false");
    out += ",\"checks\":[";
    for (size_t i = 0; i < data.checks.checks.size(); ++i) {
        const auto& c = data.checks.checks[i];
        out += i ? "," : "";
        out += "{\"printer\":" + Quoted(c.printer) + ",\"check\":" + Quoted(c.title) +
               ",\"status\":" + Quoted(c.lastStatus) +
               ",\"failures\":" + std::to_string(c.failureCount) +
               ",\"lastValue\":" + std::to_string(c.lastValue) + "}";
    }
    out += "],\"monitoredPrinters\":[";
    for (size_t i = 0; i < data.checks.printers.size(); ++i) {
        const auto& p = data.checks.printers[i];
        out += i ? "," : "";
        out += "{\"printer\":" + Quoted(p.printer) + ",\"stateMessage\":" + Quoted(p.stateMessage) +
               ",\"device\":";
        if (p.device.probed) {
            out += "{\"target\":" + Quoted(p.device.target) +
                   ",\"reachable\":" + (p.device.reachable ? "true" : "false") +
                   ",\"detail\":" + Quoted(p.device.detail) + "}";
        } else {
            out += "null";
        }
        out += "}";
    }
    out += "],\"alertsToday\":{\"disk\":" + std::to_string(data.alertsToday.diskSpace) +
           ",\"printServer\":" + std::to_string(data.alertsToday.monitorSpecific) +
           ",\"performance\":" + std::to_string(data.alertsToday.performance) + "}";
    out += ",\"alertsRecorded\":" + std::to_string(data.alertsRecorded);
    const alerting::DeliveryCounts& d = data.deliveries;
    out += ",\"deliveries\":{\"emailSent\":" + std::to_string(d.emailSent) +
           ",\"emailFailed\":" + std::to_string(d.emailFailed) +
           ",\"delayedEmailSent\":" + std::to_string(d.delayedEmailSent) +
           ",\"delayedEmailFailed\":" + std::to_string(d.delayedEmailFailed) +
           ",\"networkSent\":" + std::to_string(d.networkSent) +
           ",\"networkFailed\":" + std::to_string(d.networkFailed) +
           ",\"alertDataFile\":" + std::to_string(d.alertDataFile) +
           ",\"alertDatabase\":" + std::to_string(d.alertDatabase) +
           ",\"alertEngine\":" + std::to_string(d.alertEngine) +
           ",\"alertLog\":" + std::to_string(d.alertLog) + "}";
    out += ",\"tables\":[";
    for (size_t i = 0; i < data.sections.size(); ++i) {
        const ReportSection& s = data.sections[i];
        out += i ? "," : "";
        out += "{\"heading\":" + Quoted(s.heading) + ",\"message\":" + Quoted(s.message) +
               ",\"rows\":[";
        for (size_t j = 0; j < s.rows.size(); ++j) {
            out += j ? "," : "";
            out += "{\"name\":" + Quoted(s.rows[j].name) + ",\"value\":" + Quoted(s.rows[j].value) +
                   ",\"problem\":" + (s.rows[j].problem ? "true" : "false") + "}";
        }
        out += "]}";
    }
    out += "]}\n";
    return out;
}

}  // namespace kvzn::web
