// The report page framework and the pages built on it: the current status, recent errors,
// performance history, home and logon pages. Every text from outside the template (names,
// messages, log lines, parameters) is HTML-escaped; site header and footer files are
// copied unchanged.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/service_context.h"
#include "web/report_rows.h"
#include "web/web_access.h"

namespace kvzn::web {

inline constexpr std::string_view kProductName = "Korvane Tessel Print Monitor";
inline constexpr std::string_view kVersion = "4.2";

// What a page builder gets of its request.
struct PageRequest {
    service::ServiceContext& ctx;
    const ReportSources& sources;
    std::string clientAddress;
    std::optional<Session> session;  // the request's session, when it has one
};

// The builders: 1 with the whole page in `page`, 0 when it could not be built (logged).
int BuildHTMLStatusFile(const PageRequest& request, std::string& page, bool autoRefresh);
int BuildCompleteHTMLErrorFile(const PageRequest& request, std::string& page);
int BuildHTMLPerformanceLoggingFile(const PageRequest& request, std::string& page, int lineCount);
int BuildHome(const PageRequest& request, std::string& page);
// `target`: the page the logon leads to (one of the server's own pages) with its query.
int BuildLogon(const PageRequest& request, std::string& page, std::string_view target);

// Building blocks, also used by the pages still to come.
// Copies "<pageName>-HEADER.htm" of the HTML target directory into the page, else
// "ZN-HEADER.htm" followed by the title; false when neither exists.
bool WriteCustomHeader(const service::ServiceContext& ctx, std::string_view pageName,
                       std::string_view title, std::string& page);
// Copies "<pageName>-FOOTER.htm", else "ZN-FOOTER.htm", else writes the built-in footer.
void WritePageFooter(const service::ServiceContext& ctx, std::string_view pageName,
                     std::string& page);
// Streams the compiled-in template `templateName`: the site header replaces the template's
// own, "##HTML-FOOTER##" gets the page footer, "##TITLE##" the title; every other mark goes
// to `fill`, and the marks every page shares to the common writer when `fill` returns false.
// 0 (logged) when the template is missing.
int StreamPage(const PageRequest& request, std::string_view templateName, std::string_view pageName,
               std::string_view title, std::string& page,
               const std::function<bool(const std::string& mark, std::string& page)>& fill);
// One status table of typed rows.
void WriteReportSection(const ReportSection& section, std::string& page);

// One row of the recent errors table, read from an alert record.
struct ErrorRow {
    int errorType = 0;
    std::string time;
    std::string source;
    std::string message;
};
// The alert records of the run's ring, newest first; records without a time are left out.
std::vector<ErrorRow> RecentErrorRows(service::ServiceContext& ctx);
// The icon of an "ErrorType"; empty for a type without one.
std::string_view ErrorIcon(int errorType);

// The refresh interval of the self-refreshing pages: "WebJSRefreshTime" seconds (0 or
// missing: 15) in milliseconds.
uint32_t RefreshIntervalMs(const service::ServiceContext& ctx);

}  // namespace kvzn::web
