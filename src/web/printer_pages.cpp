// The printer management pages. Actions are carried out before the page is read from the
// spooler, so that the page shows their outcome.
#include "web/printer_pages.h"

#include <algorithm>
#include <charconv>

#include "companion/activity_log.h"
#include "companion/html.h"
#include "platform/text.h"
#include "printmon/print_server_monitor.h"
#include "printmon/printer_texts.h"
#include "web/web_access.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNPrintHTML";
constexpr std::string_view kSelectPort = "------ Please select a port ------";

using companion::HtmlEscape;

struct Message {
    std::string text;
    bool failed = false;
};

std::string Param(const HttpRequest& http, std::string_view name) {
    const std::string* value = http.Param(name);
    return value != nullptr ? *value : std::string();
}

bool IsOn(const HttpRequest& http, std::string_view name) {
    return platform::EqualsNoCase(Param(http, name), "ON");
}

// The printers the monitor watches; none while no monitor runs.
class Watched {
  public:
    explicit Watched(const service::ServiceContext& ctx)
        : monitor_(printmon::CurrentPrintServerMonitor(ctx)) {}
    bool Has(std::string_view name) const {
        return monitor_ && monitor_->IsPrinterMonitored(name) == 1;
    }
    std::optional<printmon::MonitoredPrinter> State(std::string_view name) const {
        return monitor_ ? monitor_->PrinterState(name) : std::nullopt;
    }

  private:
    std::shared_ptr<printmon::PrintServerMonitor> monitor_;
};

// An action is taken only from a form of the session's own pages.
bool FromOwnForm(const PageRequest& request, const HttpRequest& http) {
    const std::string* token = http.Param("token");
    return http.method == Method::kPost && request.session && request.session->loggedOn &&
           token != nullptr && SecretsEqual(*token, request.session->token);
}

// "%s" replaced in turn by `values`.
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string out;
    auto next = values.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.substr(i, 2) == "%s" && next != values.end()) {
            out += *next++;
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

// A positive decimal job id; 0 for anything else.
int JobIdOf(const HttpRequest& http) {
    const std::string text = Param(http, "JobId");
    int id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    return ec == std::errc() && end == text.data() + text.size() && id > 0 ? id : 0;
}

struct PageAction {
    std::string_view name;
    bool job;
    std::string_view success;
    std::string_view failure;
    platform::Status (*call)(platform::Spooler&, std::string_view, int);
};

using platform::Spooler;
constexpr PageAction kActions[] = {
    {"PausePrinter", false, "Printer %s is being paused ...",
     "Unable to pause the printer %s at the present time ...",
     [](Spooler& s, std::string_view p, int) { return s.PausePrinter(p); }},
    {"ResumePrinter", false, "Printing on %s is being resumed ...",
     "Unable to resume the printer %s at the present time ...",
     [](Spooler& s, std::string_view p, int) { return s.ResumePrinter(p); }},
    {"DeleteAll", false,
     "All queued documents for printer %s are being deleted (this may take a few moments) "
     "...",
     "Unable to delete all queued documents for the printer %s at the present time ...",
     [](Spooler& s, std::string_view p, int) { return s.PurgeJobs(p); }},
    {"TakeOffline", false, "Printer queue %s is being taken off-line ...",
     "Unable to take the printer queue %s off-line at the present time ...",
     [](Spooler& s, std::string_view p, int) { return s.SetOffline(p); }},
    {"BringOnline", false, "Printer queue %s is being brought on-line ...",
     "Unable to bring the printer queue %s on-line at the present time ...",
     [](Spooler& s, std::string_view p, int) { return s.SetOnline(p); }},
    {"PausePrint", true, "Document %s on printer %s is being paused ...",
     "Unable to pause the document %s at the present time ...",
     [](Spooler& s, std::string_view p, int id) { return s.PauseJob(p, id); }},
    {"ResumePrint", true, "Document %s on printer %s is being queued to print ...",
     "Unable to requeue the document %s at the present time ...",
     [](Spooler& s, std::string_view p, int id) { return s.ResumeJob(p, id); }},
    {"RestartPrint", true, "Document %s on printer %s is being restarted ...",
     "Unable to restart the printing of the document %s at the present time ...",
     [](Spooler& s, std::string_view p, int id) { return s.RestartJob(p, id); }},
    {"DeletePrint", true,
     "Document %s on printer %s is being deleted (this may take a few moments) ...",
     "Unable to delete the document %s at the present time ...",
     [](Spooler& s, std::string_view p, int id) { return s.DeleteJob(p, id); }},
};

// Carries out the request's action; nothing (and no message) for no action, an unknown one,
// a job action without a job id, or the page's refresh button.
std::optional<Message> CarryOut(const PageRequest& request, const HttpRequest& http,
                                platform::Spooler& spooler, const Watched& watched,
                                bool jobActionsOnly) {
    const companion::Logger log(kModule, "CarryOutPrinterAction");
    const std::string action = Param(http, "Action");
    const std::string printer = Param(http, "Printer");
    if (http.Has("btnRefresh") || action.empty() || printer.empty()) {
        return std::nullopt;
    }
    const auto entry =
        std::find_if(std::begin(kActions), std::end(kActions),
                     [&](const PageAction& a) { return platform::EqualsNoCase(a.name, action); });
    if (entry == std::end(kActions) || (jobActionsOnly && !entry->job)) {
        return std::nullopt;
    }
    const int jobId = entry->job ? JobIdOf(http) : 0;
    if (entry->job && jobId == 0) {
        return std::nullopt;
    }
    const std::string document = Param(http, "Document");
    const std::string failure =
        entry->job ? Format(entry->failure, {document}) : Format(entry->failure, {printer});
    if (!FromOwnForm(request, http)) {
        log(1, "The action ", action, " on printer ", printer, " from ", request.clientAddress,
            " was not sent by a form of the session's own page and is refused");
        return Message{failure + " The request did not come from this session's own page.", true};
    }
    if (!watched.Has(printer)) {
        log(1, "The action ", action, " on printer ", printer, " from ", request.clientAddress,
            " is refused: the printer is not monitored on this server");
        return Message{failure + " The printer is not monitored on this server.", true};
    }
    const platform::Status status = entry->call(spooler, printer, jobId);
    if (!status.ok()) {
        log(1, "The action ", action, " on printer ", printer,
            entry->job ? " (job " + std::to_string(jobId) + ")" : std::string(), " failed. Error ",
            status.err(), ": ", status.Text());
        return Message{failure, true};
    }
    log(3, "The action ", action, " on printer ", printer, " was carried out for ",
        request.clientAddress);
    return Message{entry->job ? Format(entry->success, {document, printer})
                              : Format(entry->success, {printer}),
                   false};
}

std::string MessageHtml(const Message& message) {
    return std::string("<p class=\"message") + (message.failed ? " failed" : "") + "\">" +
           HtmlEscape(message.text) + "</p>\n";
}

std::string Failed(std::string_view text) {
    return "<p class=\"message failed\">" + HtmlEscape(text) + "</p>\n";
}

// The class of a cell the printer texts colour: "alert" for the error colours, "paused" for
// the paused ones, "problem" for any other. The pages' security policy allows no inline
// style, so the colours are the stylesheet's.
std::string CellClass(std::string_view background) {
    if (background.find("#D3302C") != std::string_view::npos) {
        return " class=\"alert\"";
    }
    if (background.find("#FFFF00") != std::string_view::npos) {
        return " class=\"paused\"";
    }
    return " class=\"problem\"";
}

// A one-button form that posts an action with the session's token.
std::string ActionForm(const PageRequest& request, std::string_view target,
                       const std::vector<std::pair<std::string, std::string>>& fields,
                       std::string_view label) {
    std::string out =
        "<form class=\"action\" method=\"post\" action=\"" + std::string(target) + "\">";
    for (const auto& [name, value] : fields) {
        out += "<input type=\"hidden\" name=\"" + name + "\" value=\"" + HtmlEscape(value) + "\">";
    }
    if (request.session) {
        out += "<input type=\"hidden\" name=\"token\" value=\"" +
               HtmlEscape(request.session->token) + "\">";
    }
    out += "<button type=\"submit\">" + HtmlEscape(label) + "</button></form>";
    return out;
}

std::string CheckBox(std::string_view name, bool on, std::string_view label) {
    return "<label><input type=\"checkbox\" name=\"" + std::string(name) + "\" value=\"ON\"" +
           (on ? " checked" : "") + "> " + std::string(label) + "</label>";
}

std::string OnOff(bool on) {
    return on ? "ON" : "OFF";
}

std::string StatusCell(const platform::PrinterQueue& queue, int form, bool& problem) {
    std::string text, foreground, background;
    printmon::PrinterStatusText(form, printmon::kPausedMode, queue, text, foreground, background);
    problem = !background.empty();
    if (!problem) {
        return "<td class=\"ok\">" + HtmlEscape(text) + "</td>";
    }
    return "<td" + CellClass(background) + ">" + HtmlEscape(text) + "</td>";
}

std::string JobStatusCell(const platform::JobInfo& job) {
    std::string text, foreground, background;
    bool error = false;
    printmon::JobStatusText(job.status, text, foreground, background, error, false);
    return "<td" + CellClass(background) + ">" + HtmlEscape(text) + "</td>";
}

std::string PagesText(const platform::JobInfo& job) {
    if (job.pages == 0) {
        return "? of ?";
    }
    if (job.pages < job.pagesPrinted) {
        return "? of " + std::to_string(job.pages);
    }
    return std::to_string(job.pagesPrinted) + " of " + std::to_string(job.pages);
}

std::string PriorityText(int priority) {
    if (priority == 1) {
        return "Low";
    }
    if (priority == 99) {
        return "High";
    }
    return std::to_string(priority);
}

// The four job actions of one job, posted back to `target` with `keep` carried along.
std::string JobActions(const PageRequest& request, std::string_view target,
                       const platform::JobInfo& job,
                       const std::vector<std::pair<std::string, std::string>>& keep) {
    std::string out;
    for (const auto& [action, label] :
         std::vector<std::pair<std::string, std::string>>{{"PausePrint", "Pause"},
                                                          {"ResumePrint", "Continue"},
                                                          {"RestartPrint", "Restart"},
                                                          {"DeletePrint", "Delete"}}) {
        std::vector<std::pair<std::string, std::string>> fields = {
            {"Action", action},
            {"JobId", std::to_string(job.id)},
            {"Document", job.document},
            {"Printer", job.printer}};
        fields.insert(fields.end(), keep.begin(), keep.end());
        out += ActionForm(request, target, fields, label);
    }
    return out;
}

// Reads the spooler; on failure the red message instead.
platform::Result<platform::SpoolerSnapshot> ReadSpooler(platform::Spooler& spooler,
                                                        std::string& failure) {
    auto snapshot = spooler.Snapshot();
    if (!snapshot.ok()) {
        companion::Logger(kModule, "ReadSpooler")(1, "Unable to list the printers. Error ",
                                                  snapshot.status().err(), ": ",
                                                  snapshot.status().Text());
        failure = Failed("Unable to list available printers at the present time ...");
    }
    return snapshot;
}

std::string RefreshControls(const PageRequest& request, std::string_view target,
                            const std::string& extra, bool autoRefresh) {
    return "<form id=\"RefreshForm\" class=\"refresh\" method=\"get\" action=\"" +
           std::string(target) + "\" data-interval=\"" +
           std::to_string(RefreshIntervalMs(request.ctx)) + "\">" + extra +
           CheckBox("AutoRefresh", autoRefresh, "Refresh automatically") +
           "<button type=\"submit\" name=\"btnRefresh\" value=\"Refresh\">Refresh now</button>"
           "</form>";
}

std::string RefreshMeta(const PageRequest& request, bool autoRefresh, const std::string& url) {
    if (!autoRefresh) {
        return {};
    }
    return "<meta http-equiv=\"refresh\" content=\"" +
           std::to_string(RefreshIntervalMs(request.ctx) / 1000) + ";url=" + HtmlEscape(url) +
           "\">";
}

// The template's marks that all four pages share.
int Stream(const PageRequest& request, std::string_view pageName, std::string_view title,
           std::string_view heading, const std::string& controls, const std::string& message,
           const std::string& data, std::string& page) {
    return StreamPage(request, "printers.html", pageName, title, page,
                      [&](const std::string& mark, std::string& out) {
                          if (mark == "HEADING") {
                              out += HtmlEscape(heading);
                          } else if (mark == "CONTROLS") {
                              out += controls;
                          } else if (mark == "MESSAGE") {
                              out += message;
                          } else if (mark == "DATA") {
                              out += data;
                          } else {
                              return false;
                          }
                          return true;
                      });
}

std::string DeviceText(const printmon::DeviceReachability& device) {
    if (!device.probed) {
        return {};
    }
    return device.reachable ? device.target + " reachable"
                            : device.target + " not reachable - " + device.detail;
}

}  // namespace

int BuildHTMLPrintersFile(const PageRequest& request, const HttpRequest& http,
                          platform::Spooler& spooler, std::string& page) {
    const Watched watched(request.ctx);
    const bool showQueue = IsOn(http, "ShowPrintQ");
    const bool autoRefresh = IsOn(http, "AutoRefresh");
    std::string message;
    if (const auto done = CarryOut(request, http, spooler, watched, false)) {
        message = MessageHtml(*done);
    }
    const std::vector<std::pair<std::string, std::string>> keep = {
        {"ShowPrintQ", OnOff(showQueue)}, {"AutoRefresh", OnOff(autoRefresh)}};
    std::string data;
    auto snapshot = ReadSpooler(spooler, data);
    if (snapshot.ok()) {
        int shown = 0;
        for (const platform::PrinterQueue& queue : snapshot->printers) {
            const platform::PrinterInfo& info = queue.printer;
            if (!watched.Has(info.name)) {
                continue;
            }
            ++shown;
            bool problem = false;
            const std::string name = HtmlEscape(info.name);
            data +=
                "<section class=\"report-table printer\"><h2><img src=\"images/Printer.bmp\" "
                "width=\"32\" height=\"32\" alt=\"\"> <a href=\"PrintPrinters.kvp?Action="
                "ViewPrintQ&amp;Printer=" +
                HtmlEscape(UrlEncode(info.name)) +
                "&amp;ShowPrintQ=ON&amp;AutoRefresh=" + OnOff(autoRefresh) + "\">" + name +
                "</a></h2>\n<table>\n";
            data += "<tr><th>Current Status :</th>" +
                    StatusCell(queue, printmon::kLongText, problem) + "</tr>\n";
            data += "<tr><th>Queue Length :</th><td>" + std::to_string(queue.jobs.size()) +
                    "</td></tr>\n";
            data += "<tr><th>Port :</th><td>" + HtmlEscape(info.deviceUri) + "</td></tr>\n";
            data += std::string("<tr><th>Accepting Jobs :</th><td>") +
                    (info.accepting ? "Yes" : "No (off-line)") + "</td></tr>\n";
            if (!info.stateMessage.empty()) {
                data += "<tr><th>Printer Message :</th><td>" + HtmlEscape(info.stateMessage) +
                        "</td></tr>\n";
            }
            if (const auto state = watched.State(info.name)) {
                if (const std::string device = DeviceText(state->device); !device.empty()) {
                    data += std::string("<tr><th>Device :</th><td") +
                            (state->device.reachable ? "" : " class=\"problem\"") + ">" +
                            HtmlEscape(device) + "</td></tr>\n";
                }
            }
            data += "</table>\n<p class=\"actions\">";
            for (const auto& [action, label] : std::vector<std::pair<std::string, std::string>>{
                     {"PausePrinter", "Pause Printing"},
                     {"ResumePrinter", "Continue Printing"},
                     {"DeleteAll", "Delete All Jobs"},
                     {"TakeOffline", "Take Queue Off-Line"},
                     {"BringOnline", "Bring Queue On-line"}}) {
                std::vector<std::pair<std::string, std::string>> fields = {{"Action", action},
                                                                           {"Printer", info.name}};
                fields.insert(fields.end(), keep.begin(), keep.end());
                data += ActionForm(request, "PrintPrinters.kvp", fields, label);
            }
            data += " <a href=\"PrintRedirect.kvp?Printer=" + HtmlEscape(UrlEncode(info.name)) +
                    "\">Redirect Print Queue</a></p>\n";
            if (showQueue) {
                data +=
                    "<div class=\"scroll\"><table class=\"jobs\"><tr><th>Document</th>"
                    "<th>User</th><th>Pos.</th><th>Size (Kb)</th><th>Status</th>"
                    "<th>Action</th></tr>\n";
                for (const platform::JobInfo& job : queue.jobs) {
                    data += "<tr><td>" + HtmlEscape(job.document) + "</td><td>" +
                            HtmlEscape(job.user) + "</td><td>" + std::to_string(job.position) +
                            "</td><td>" + std::to_string(job.size / 1024) + "</td>" +
                            JobStatusCell(job) + "<td>" +
                            JobActions(request, "PrintPrinters.kvp", job, keep) + "</td></tr>\n";
                }
                if (queue.jobs.empty()) {
                    data +=
                        "<tr><td colspan=\"6\">No documents are currently queued on this "
                        "printer ...</td></tr>\n";
                }
                data += "</table></div>\n";
            }
            data += "</section>\n";
        }
        if (shown == 0) {
            data += Failed("No printers are currently being monitored on this server ...");
        }
    }
    const std::string controls =
        RefreshControls(request, "PrintPrinters.kvp",
                        CheckBox("ShowPrintQ", showQueue, "Show each printer's queue"),
                        autoRefresh) +
        RefreshMeta(request, autoRefresh,
                    "PrintPrinters.kvp?AutoRefresh=ON&ShowPrintQ=" + OnOff(showQueue));
    return Stream(request, "PRINTPRINTERS", "Tessel Print Monitor - Printer Status",
                  "Printer Status", controls, message, data, page);
}

int BuildHTMLPrinterSummaryFile(const PageRequest& request, const HttpRequest& http,
                                platform::Spooler& spooler, std::string& page) {
    const Watched watched(request.ctx);
    const bool autoRefresh = IsOn(http, "AutoRefresh");
    std::string data;
    auto snapshot = ReadSpooler(spooler, data);
    if (snapshot.ok()) {
        std::string problems, others;
        for (const platform::PrinterQueue& queue : snapshot->printers) {
            if (!watched.Has(queue.printer.name)) {
                continue;
            }
            bool problem = false;
            const std::string cell = StatusCell(queue, printmon::kShortText, problem);
            std::string row = "<tr><td><strong>" + HtmlEscape(queue.printer.name) +
                              "</strong></td>" + cell + "<td><strong>" +
                              std::to_string(queue.jobs.size()) + " Queued</strong></td></tr>\n";
            (problem ? problems : others) += row;
        }
        if (problems.empty() && others.empty()) {
            data +=
                Failed("No printers/print queues are currently being monitored on this server ...");
        } else {
            data +=
                "<table class=\"summary\"><tr><th>Printer</th><th>Status</th><th>Jobs</th>"
                "</tr>\n" +
                problems + others + "</table>\n";
        }
    }
    const std::string controls =
        RefreshControls(request, "PrintPrinterSummary.kvp", {}, autoRefresh) +
        RefreshMeta(request, autoRefresh, "PrintPrinterSummary.kvp?AutoRefresh=ON");
    return Stream(request, "PRINTPRINTERSUMMARY", "Tessel Print Monitor - Printer Summary",
                  "Printer Summary", controls, {}, data, page);
}

int BuildHTMLPrintQFile(const PageRequest& request, const HttpRequest& http,
                        platform::Spooler& spooler, std::string& page) {
    const Watched watched(request.ctx);
    const bool autoRefresh = IsOn(http, "AutoRefresh");
    const std::string filter = Param(http, "hPrinter");
    std::string message;
    if (!http.Has("Action")) {
        message =
            "<p class=\"message\">The current Print Queue on this server is displayed "
            "below ...</p>\n";
    } else if (const auto done = CarryOut(request, http, spooler, watched, true)) {
        message = MessageHtml(*done);
    }
    const std::vector<std::pair<std::string, std::string>> keep = {
        {"hPrinter", filter}, {"AutoRefresh", OnOff(autoRefresh)}};
    std::string data;
    auto snapshot = ReadSpooler(spooler, data);
    if (snapshot.ok()) {
        int monitored = 0;
        std::string rows;
        for (const platform::PrinterQueue& queue : snapshot->printers) {
            if (!watched.Has(queue.printer.name)) {
                continue;
            }
            ++monitored;
            if (!filter.empty() && !platform::EqualsNoCase(filter, queue.printer.name)) {
                continue;
            }
            for (const platform::JobInfo& job : queue.jobs) {
                rows += "<tr><td>" + HtmlEscape(queue.printer.name) + "</td><td>" +
                        HtmlEscape(job.document) + "</td><td>" + HtmlEscape(job.user) +
                        "</td><td>" + std::to_string(job.position) + " - " +
                        PriorityText(job.priority) + "</td><td>" + PagesText(job) + "</td><td>" +
                        std::to_string(job.size / 1024) + "</td>" + JobStatusCell(job) + "<td>" +
                        JobActions(request, "PrintPrintQ.kvp", job, keep) + "</td></tr>\n";
            }
        }
        if (monitored == 0) {
            data += Failed("No printers are currently being monitored on this server ...");
        } else if (rows.empty()) {
            data +=
                "<p class=\"message\">There are no jobs currently queued (for the selected "
                "printer) to be printed on this server</p>\n";
        } else {
            data +=
                "<div class=\"scroll\"><table class=\"jobs\"><tr><th>Printer</th>"
                "<th>Document</th><th>User</th><th>Pos. - Priority</th><th>Pages</th>"
                "<th>Size (Kb)</th><th>Status</th><th>Action</th></tr>\n" +
                rows + "</table></div>\n";
        }
    }
    const std::string controls =
        RefreshControls(request, "PrintPrintQ.kvp",
                        "<label>Printer <input type=\"text\" name=\"hPrinter\" size=\"27\" "
                        "value=\"" +
                            HtmlEscape(filter) + "\"></label>",
                        autoRefresh) +
        RefreshMeta(request, autoRefresh,
                    "PrintPrintQ.kvp?AutoRefresh=ON&hPrinter=" + UrlEncode(filter));
    return Stream(request, "PRINTPRINTQ", "Tessel Print Monitor - Print Queue Status",
                  "Print Queue Status", controls, message, data, page);
}

int BuildHTMLPrinterRedirectFile(const PageRequest& request, const HttpRequest& http,
                                 platform::Spooler& spooler, std::string& page) {
    const companion::Logger log(kModule, "BuildHTMLPrinterRedirectFile");
    if (http.params.empty()) {
        log(1,
            "Internal Error - no inbound parameters available. The user may not be logged on. "
            "Processing cannot continue with this page");
        return 0;
    }
    const std::string printer = Param(http, "Printer");
    if (printer.empty()) {
        log(1, "Local printer has not been specified. Processing cannot continue with this page");
        return 0;
    }
    const Watched watched(request.ctx);
    const std::string port = Param(http, "Port");
    std::string message;
    std::string data;
    if (!watched.Has(printer)) {
        log(1, "The printer ", printer, " asked for by ", request.clientAddress,
            " is not monitored on this server");
        data = Failed("The printer " + printer + " is not monitored on this server ...");
        return Stream(request, "PRINTREDIRECT", "Tessel Print Monitor - Redirect Print Queue",
                      "Redirect Print Queue", {}, {}, data, page);
    }
    if (!port.empty() && port != kSelectPort) {
        const std::string failure =
            "Unable to redirect queued prints on " + printer + " to port " + port + " ...";
        if (!FromOwnForm(request, http)) {
            log(1, "The redirection of printer ", printer, " from ", request.clientAddress,
                " was not sent by a form of the session's own page and is refused");
            message = Failed(failure + " The request did not come from this session's own page.");
        } else if (const platform::Status status = spooler.Redirect(printer, port); !status.ok()) {
            log(1, "Unable to redirect printer ", printer, " to port ", port, ". Error ",
                status.err(), ": ", status.Text());
            message =
                Failed(status.err() == EINVAL ? failure + " The port is not one this server offers."
                                              : failure);
        } else {
            log(3, "Printer ", printer, " was redirected to port ", port, " for ",
                request.clientAddress);
            message = "<p class=\"message\"><strong>Printer " + HtmlEscape(printer) +
                      " has been redirected to port " + HtmlEscape(port) +
                      "</strong></p>\n<p><a href=\"PrintPrinters.kvp\">Click here</a> to view the "
                      "current Printer status.</p>\n";
            return Stream(request, "PRINTREDIRECT", "Tessel Print Monitor - Redirect Print Queue",
                          "Redirect Print Queue", {}, message, {}, page);
        }
    }
    auto ports = spooler.ListPorts();
    if (!ports.ok()) {
        log(1, "Unable to list the ports. Error ", ports.status().err(), ": ",
            ports.status().Text());
        data = Failed("Unable to list the available ports at the present time ...");
    } else {
        const bool chosen = !port.empty() && port != kSelectPort;
        data =
            "<form class=\"redirect\" method=\"post\" action=\"PrintRedirect.kvp\">"
            "<input type=\"hidden\" name=\"Printer\" value=\"" +
            HtmlEscape(printer) + "\">";
        if (request.session) {
            data += "<input type=\"hidden\" name=\"token\" value=\"" +
                    HtmlEscape(request.session->token) + "\">";
        }
        data += "<p>Redirect the print queue <strong>" + HtmlEscape(printer) +
                "</strong> to the port</p><select name=\"Port\"><option value=\"" +
                std::string(kSelectPort) + "\"" + (chosen ? "" : " selected") + ">" +
                std::string(kSelectPort) + "</option>";
        for (const std::string& offered : *ports) {
            data += "<option value=\"" + HtmlEscape(offered) + "\"" +
                    (offered == port ? " selected" : "") + ">" + HtmlEscape(offered) + "</option>";
        }
        data += "</select> <button type=\"submit\">Redirect</button></form>\n";
    }
    return Stream(request, "PRINTREDIRECT", "Tessel Print Monitor - Redirect Print Queue",
                  "Redirect Print Queue", {}, message, data, page);
}

}  // namespace kvzn::web
