// Report pages of the embedded web server: each is streamed from its template, with the
// values of its marks filled in by the builder.
#include "web/pages.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "alerting/alert_record.h"
#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "companion/html.h"
#include "config/registry_names.h"
#include "platform/file.h"
#include "platform/profile_file.h"
#include "printmon/print_server_monitor.h"
#include "web/page_template.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNSharedHTML";
constexpr std::string_view kIniFile = "kvZNWebServer.ini";

using companion::HtmlEscape;

std::string TimeText(service::ServiceContext& ctx) {
    return alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
}

std::string HtmlPath(const service::ServiceContext& ctx, std::string_view name) {
    return ctx.htmlTargetDirectory + "/" + std::string(name);
}

// Appends a site file when it exists.
bool CopyFileIntoPage(const std::string& path, std::string& page) {
    const auto content = platform::ReadWholeFile(path);
    if (!content.ok()) {
        return false;
    }
    page += *content;
    if (!content->empty() && content->back() != '\n') {
        page += '\n';
    }
    return true;
}

std::string LogoutForm(const PageRequest& request) {
    if (!request.session || !request.session->loggedOn) {
        return {};
    }
    return "<form class=\"logout\" method=\"post\" action=\"ZNLogout.htm\"><input type=\"hidden\" "
           "name=\"token\" value=\"" +
           HtmlEscape(request.session->token) +
           "\"><button type=\"submit\">Log out</button></form>";
}

// The marks every report page shares. False when `mark` is none of them.
bool CommonMark(const PageRequest& request, const std::string& mark, std::string& page) {
    if (mark == "LOCALSERVER") {
        page += HtmlEscape(request.ctx.computerName);
    } else if (mark == "CURRENTDATETIME" || mark == "DATE-TIME") {
        page += HtmlEscape(TimeText(request.ctx));
    } else if (mark == "VERSION" || mark == "VERSION-LICENCE") {
        page += "Version ";
        page += kVersion;
    } else if (mark == "LOGOUT") {
        page += LogoutForm(request);
    } else {
        return false;
    }
    return true;
}

// Streams a report page: the template's marks go to `fill` unless common; the header
// section gives way to a site header; "##HTML-FOOTER##" gets the page footer.
template <class Fill>
int StreamReportPage(const PageRequest& request, std::string_view templateName,
                     std::string_view pageName, std::string_view title, std::string& page,
                     Fill fill) {
    const auto text = FindEmbeddedFile(templateName);
    if (!text) {
        companion::Logger(kModule, "StreamTemplate")(1, "The page template ", templateName,
                                                     " is missing from this program");
        return 0;
    }
    TemplateStream stream(*text);
    std::string mark;
    while (stream.Next(page, mark)) {
        if (mark == "HTML-HEADER-START") {
            if (WriteCustomHeader(request.ctx, pageName, title, page)) {
                stream.SkipToHeaderEnd();
            }
        } else if (mark == "HTML-FOOTER") {
            WritePageFooter(request.ctx, pageName, page);
        } else if (mark == "TITLE") {
            page += HtmlEscape(title);
        } else if (!fill(mark, page)) {
            CommonMark(request, mark, page);
        }
    }
    return 1;
}

void WriteGenericHeader(const PageRequest& request, std::string_view pageName,
                        std::string_view title, std::string_view heading, std::string_view text,
                        std::string& page) {
    const auto header = FindEmbeddedFile("generic_header.html");
    if (!header) {
        return;
    }
    TemplateStream stream(*header);
    std::string mark;
    while (stream.Next(page, mark)) {
        if (mark == "HTML-HEADER-START") {
            if (WriteCustomHeader(request.ctx, pageName, title, page)) {
                stream.SkipToHeaderEnd();
            }
        } else if (mark == "DESC_TITLE") {
            page += HtmlEscape(heading);
        } else if (mark == "DESC-TEXT") {
            page += HtmlEscape(text);
            page += " ...";
        } else if (mark == "MONITOR") {
            page += kProductName;
        } else if (mark == "VERSION") {
            page += kVersion;
        } else {
            CommonMark(request, mark, page);
        }
    }
}

std::string CellClass(bool problem) {
    return problem ? " class=\"problem\"" : "";
}

}  // namespace

int StreamPage(const PageRequest& request, std::string_view templateName, std::string_view pageName,
               std::string_view title, std::string& page,
               const std::function<bool(const std::string& mark, std::string& page)>& fill) {
    return StreamReportPage(request, templateName, pageName, title, page, fill);
}

uint32_t RefreshIntervalMs(const service::ServiceContext& ctx) {
    uint32_t seconds = 0;
    ctx.registry.ReadNumber(config::kProductKey, config::value::kWebJSRefreshTime, seconds);
    if (seconds == 0 || seconds > 86400) {
        seconds = 15;
    }
    return seconds * 1000;
}

bool WriteCustomHeader(const service::ServiceContext& ctx, std::string_view pageName,
                       std::string_view title, std::string& page) {
    if (CopyFileIntoPage(HtmlPath(ctx, std::string(pageName) + "-HEADER.htm"), page)) {
        return true;
    }
    if (CopyFileIntoPage(HtmlPath(ctx, "ZN-HEADER.htm"), page)) {
        page += "<p class=\"page-title\">" + HtmlEscape(title) + "</p>\n";
        return true;
    }
    return false;
}

void WritePageFooter(const service::ServiceContext& ctx, std::string_view pageName,
                     std::string& page) {
    if (CopyFileIntoPage(HtmlPath(ctx, std::string(pageName) + "-FOOTER.htm"), page) ||
        CopyFileIntoPage(HtmlPath(ctx, "ZN-FOOTER.htm"), page)) {
        return;
    }
    page +=
        "<footer class=\"site\"><p>Thank you for choosing Korvane as your monitoring "
        "solution. Visit <a href=\"https://www.korvane.example/\">the Korvane web site</a> "
        "for news and updates.</p></footer>\n";
}

void WriteReportSection(const ReportSection& section, std::string& page) {
    page += "<section class=\"report-table\">\n<h2>";
    if (!section.icon.empty()) {
        page += "<img src=\"images/" + HtmlEscape(section.icon) +
                "\" alt=\"\" width=\"32\" "
                "height=\"32\"> ";
    }
    page += HtmlEscape(section.heading) + "</h2>\n";
    if (section.lastChecked) {
        page += "<p class=\"checked\">Last Checked: " + HtmlEscape(*section.lastChecked) + "</p>\n";
    }
    page += "<table>\n";
    if (!section.message.empty()) {
        page += "<tr><td colspan=\"2\">" + HtmlEscape(section.message) + "</td></tr>\n";
    } else {
        if (!section.nameHeading.empty() || !section.valueHeading.empty()) {
            page += "<tr><th>" + HtmlEscape(section.nameHeading) + "</th><th>" +
                    HtmlEscape(section.valueHeading) + "</th></tr>\n";
        }
        for (const ReportRow& row : section.rows) {
            page += "<tr><td>" + HtmlEscape(row.name) + "</td><td" + CellClass(row.problem) + ">" +
                    HtmlEscape(row.value) + "</td></tr>\n";
        }
    }
    page += "</table>\n</section>\n";
}

std::string_view ErrorIcon(int errorType) {
    switch (errorType) {
        case 1:
            return "images/Disk.bmp";
        case 2:
            return "images/Monitor.bmp";
        case 4:
            return "images/File.bmp";
        case 8:
            return "images/Counter.bmp";
        case 15:
        case 16:
            return "images/Error.bmp";
        default:
            return {};
    }
}

std::vector<ErrorRow> RecentErrorRows(service::ServiceContext& ctx) {
    struct Found {
        int64_t modified;
        uint32_t slot;
        ErrorRow row;
    };
    std::vector<Found> found;
    if (!ctx.alertPath) {
        return {};
    }
    alerting::AlertStore& store = alerting::Alerts(ctx).store;
    for (uint32_t slot = 1; slot <= store.RingSize(); ++slot) {
        const std::string path = store.RecordPath(slot);
        const auto modified = platform::ModifiedTime(path);
        if (!modified.ok()) {
            continue;
        }
        const auto record = alerting::AlertRecord::Load(path);
        if (!record.ok() || !record->time || record->time->empty()) {
            continue;
        }
        ErrorRow row;
        row.errorType = record->errorType;
        row.time = *record->time;
        row.source = record->appName && !record->appName->empty() ? *record->appName
                                                                  : record->TitleOr("N/A");
        row.message = record->message.value_or("N/A");
        found.push_back({*modified, slot, std::move(row)});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.modified != b.modified ? a.modified > b.modified : a.slot > b.slot;
    });
    std::vector<ErrorRow> rows;
    rows.reserve(found.size());
    for (Found& f : found) {
        rows.push_back(std::move(f.row));
    }
    return rows;
}

int BuildHTMLStatusFile(const PageRequest& request, std::string& page, bool autoRefresh) {
    const uint32_t interval = RefreshIntervalMs(request.ctx);
    return StreamReportPage(
        request, "status.html", "PrintStatus", "Tessel Monitor - Current Monitoring Status", page,
        [&](const std::string& mark, std::string& out) {
            if (mark == "UPDATEINTERVAL") {
                out += std::to_string(interval);
            } else if (mark == "REFRESH") {
                if (autoRefresh) {
                    out += "<meta http-equiv=\"refresh\" content=\"" +
                           std::to_string(interval / 1000) +
                           ";url=PrintStatus.kvp?AutoRefresh=On\">";
                }
            } else if (mark == "REFRESHCLICKED") {
                out += autoRefresh ? "checked" : "";
            } else if (mark == "DATA") {
                std::ostringstream rows;
                service::ReportRequest report{rows, 0, 2};
                printmon::SpecificMonitorWebData(request.ctx, report);
                out += rows.str();
                const auto section = [&](ReportSources::Kind kind, const char* heading,
                                         const char* icon, bool recentEntries) {
                    const auto provider = request.sources.Get(kind);
                    if (!provider) {
                        ReportSection none;
                        none.heading = heading;
                        none.icon = icon;
                        none.message = "Not being monitored ...";
                        WriteReportSection(none, out);
                        return;
                    }
                    std::vector<ReportSection> sections;
                    if (recentEntries) {
                        std::scoped_lock lock(request.ctx.locks.recentEntries);
                        sections = provider->StatusSections();
                    } else {
                        sections = provider->StatusSections();
                    }
                    for (const ReportSection& s : sections) {
                        WriteReportSection(s, out);
                    }
                };
                section(ReportSources::kPerformance, "Performance Counters ...", "Counter.bmp",
                        false);
                section(ReportSources::kDiskSpace, "Disk Space ...", "Disk.bmp", false);
                section(ReportSources::kEventLogs, "Event Logs ...", "File.bmp", true);
                section(ReportSources::kLogFiles, "Log Files ...", "File.bmp", true);
            } else {
                return false;
            }
            return true;
        });
}

int BuildCompleteHTMLErrorFile(const PageRequest& request, std::string& page) {
    uint32_t maxStored = alerting::kDefaultMaxStoredMsgs;
    if (request.ctx.alertPath) {
        maxStored = alerting::Alerts(request.ctx).store.RingSize();
    }
    const std::vector<ErrorRow> rows = RecentErrorRows(request.ctx);
    return StreamReportPage(
        request, "errors.html", "PrintErrors", "Tessel Monitor - Recent Errors/Alerts", page,
        [&](const std::string& mark, std::string& out) {
            if (mark == "NO-ERRORS") {
                out += std::to_string(maxStored);
            } else if (mark == "DATA") {
                if (rows.empty()) {
                    out +=
                        "<tr><td colspan=\"4\"><em>No errors or alerts have yet been sent from "
                        "this server ...</em></td></tr>\n";
                }
                for (const ErrorRow& row : rows) {
                    out += "<tr><td class=\"icon\">";
                    if (const std::string_view icon = ErrorIcon(row.errorType); !icon.empty()) {
                        out += "<img src=\"" + std::string(icon) +
                               "\" alt=\"\" width=\"32\" height=\"32\">";
                    }
                    out += "</td><td>" + HtmlEscape(row.time) + "</td><td><strong>" +
                           HtmlEscape(row.source) + "</strong></td><td>" + HtmlEscape(row.message) +
                           "</td></tr>\n";
                }
            } else {
                return false;
            }
            return true;
        });
}

int BuildHTMLPerformanceLoggingFile(const PageRequest& request, std::string& page, int lineCount) {
    const int lines = lineCount > 0 ? std::min(lineCount, 10000) : 100;
    return StreamReportPage(
        request, "perflog.html", "PrintPerfLog", "Tessel Monitor - Performance Log History", page,
        [&](const std::string& mark, std::string& out) {
            if (mark == "NOLINES") {
                out += std::to_string(lines);
            } else if (mark == "DATA") {
                const auto provider = request.sources.History();
                if (!provider) {
                    out +=
                        "<p class=\"message\">Performance logging is not available on this "
                        "server ...</p>\n";
                    return true;
                }
                const PerformanceHistory history = provider->History(lines);
                if (!history.message.empty()) {
                    out += "<p class=\"message\">" + HtmlEscape(history.message) + "</p>\n";
                    return true;
                }
                out += "<div class=\"scroll\"><table class=\"history\">\n<tr>";
                for (const std::string& column : history.columns) {
                    out += "<th>" + HtmlEscape(column) + "</th>";
                }
                out += "</tr>\n";
                for (const auto& line : history.lines) {
                    out += "<tr>";
                    for (const std::string& cell : line) {
                        out += "<td>" + HtmlEscape(cell) + "</td>";
                    }
                    out += "</tr>\n";
                }
                out += "</table></div>\n";
            } else {
                return false;
            }
            return true;
        });
}

int BuildHome(const PageRequest& request, std::string& page) {
    const auto text = FindEmbeddedFile("home.html");
    if (!text) {
        return 0;
    }
    const service::ServiceContext& ctx = request.ctx;
    const std::string ini = ctx.home + "/" + std::string(kIniFile);
    std::string host;
    ctx.registry.ReadText(config::kProductKey, config::value::kWebHomeURLPrefix, host, 101);
    if (host.empty()) {
        host = ctx.computerName;
    }
    TemplateStream stream(*text);
    std::string mark;
    while (stream.Next(page, mark)) {
        if (mark == "GENERIC-HEADER") {
            WriteGenericHeader(request, "ZNHOME", "Tessel Monitor Home Page", "Welcome to Korvane.",
                               "Available reports are listed below", page);
        } else if (mark == "REPORTS") {
            for (const std::string& section : platform::GetProfileKeyNames("Installed", ini)) {
                const long port = platform::GetProfileInt(section, "Port", 0, ini);
                const std::string name =
                    platform::GetProfileString(section, "TesselMonitorName", "", ini, 151);
                if (port <= 0 || port > 65535 || name.empty()) {
                    continue;
                }
                const std::string icon = platform::GetProfileString(section, "Icon", "", ini);
                bool opened = false;
                for (int n = 1;; ++n) {
                    const std::string number = std::to_string(n);
                    const std::string report =
                        platform::GetProfileString(section, "ReportName" + number, "", ini);
                    if (report.empty()) {
                        break;
                    }
                    const std::string url =
                        platform::GetProfileString(section, "URLName" + number, "", ini);
                    const std::string description =
                        platform::GetProfileString(section, "Description" + number, "", ini);
                    if (url.empty() || description.empty()) {
                        continue;
                    }
                    if (!opened) {
                        page += "<section class=\"monitor\">\n<h2>";
                        if (!icon.empty()) {
                            page += "<img src=\"images/" + HtmlEscape(icon) +
                                    "\" alt=\"\" width=\"32\" height=\"32\"> ";
                        }
                        page += HtmlEscape(name) + "</h2>\n<ul class=\"reports\">\n";
                        opened = true;
                    }
                    const std::string link =
                        "http://" + host + ":" + std::to_string(port) + "/" + url;
                    page += "<li><a href=\"" + HtmlEscape(link) + "\">" + HtmlEscape(report) +
                            "</a>&nbsp;-&nbsp;" + HtmlEscape(description) + "</li>\n";
                }
                if (opened) {
                    page += "</ul>\n</section>\n";
                }
            }
        } else if (mark == "HTML-FOOTER") {
            WritePageFooter(ctx, "ZNHOME", page);
        } else {
            CommonMark(request, mark, page);
        }
    }
    return 1;
}

int BuildLogon(const PageRequest& request, std::string& page, std::string_view target) {
    const auto text = FindEmbeddedFile("logon.html");
    if (!text) {
        return 0;
    }
    TemplateStream stream(*text);
    std::string mark;
    while (stream.Next(page, mark)) {
        if (mark == "GENERIC-HEADER") {
            WriteGenericHeader(request, "ZNLOGON", "Tessel Monitor Web Logon",
                               "Please login to Korvane.",
                               "To continue, please enter your login information below", page);
        } else if (mark == "TargetHTTP") {
            page += HtmlEscape(target);
        } else if (mark == "HTML-FOOTER") {
            WritePageFooter(request.ctx, "ZNLOGON", page);
        } else {
            CommonMark(request, mark, page);
        }
    }
    return 1;
}

}  // namespace kvzn::web
