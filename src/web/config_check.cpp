// The configuration status page.
#include "web/config_check.h"

#include <cerrno>
#include <charconv>
#include <mutex>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "companion/html.h"
#include "platform/file.h"
#include "platform/profile_file.h"
#include "service/config_status.h"
#include "web/web_access.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNSharedHTML";

using companion::HtmlEscape;

struct SectionTexts {
    std::string_view section;
    std::string_view heading;
    std::string_view disabledIntro;
    std::string_view nothingConfigured;
    std::string_view nothingConfiguredNote;
    bool withReasons;
    bool withLogFlags;
    std::string_view permanentError;
    std::string_view noKeywords;
};

constexpr std::string_view kAllWorking =
    "All enabled configuration options are working correctly ...";

constexpr SectionTexts kSections[] = {
    {"Server-specific",
     "Server-specific Monitoring Failures ...",
     "The following server-specific checks cannot be performed and have been "
     "disabled on this "
     "server ...",
     "No server-specific checks are currently enabled.",
     "This is not an error, but key monitoring checks of this server are "
     "missed.",
     true,
     false,
     {},
     {}},
    {"Performance",
     "Performance Monitoring Failures ...",
     "The following Performance Checks cannot be monitored at the present "
     "time. This may be "
     "because the software providing the information is not installed or is "
     "currently not "
     "running. The Tessel Monitor will periodically attempt to monitor these "
     "counters ...",
     "No Performance Counters are currently being monitored.",
     "This is not an error, but performance issues cannot be reacted to or "
     "notified.",
     false,
     false,
     {},
     {}},
    {"EventLogs", "Event Log Monitoring Failures ...",
     "The following Event Logs cannot be monitored and have been disabled on "
     "this server ...",
     "No Event Logs are are currently being monitored.",
     "This is not an error, but many applications report warnings and errors "
     "in these logs.",
     false, true,
     "One or more permanent errors are preventing Event Logs from being "
     "monitored on this host.",
     "One or more monitored Event Logs have been disabled because no keywords "
     "were specified "
     "for them."},
    {"LogFiles",
     "Log File Monitoring Failures ...",
     "The following log files cannot be monitored at the present time and have "
     "been disabled "
     "on this server ...",
     "No log file is currently being monitored.",
     {},
     true,
     true,
     "One or more permanent errors are preventing Log Files from being "
     "monitored on this host.",
     "One or more monitored Log Files have been disabled because no keywords "
     "were specified for "
     "them."},
};

uint32_t MaskOf(const HttpRequest& http) {
    const std::string* text = http.Param("hAlertLevel");
    uint32_t mask = 0;
    if (text != nullptr) {
        std::from_chars(text->data(), text->data() + text->size(), mask);
    }
    return mask == 0 ? 1 : mask;
}

void WriteSection(const platform::ProfileFile& file, const SectionTexts& texts, std::string& out) {
    const auto has = [&](std::string_view key) { return file.Get(texts.section, key).has_value(); };
    out += "<section class=\"report-table config\"><h2>" + std::string(texts.heading) + "</h2>\n";
    if (has(service::kNoConfigValues)) {
        out += "<p><strong>" + std::string(texts.nothingConfigured) + "</strong></p>\n";
        if (!texts.nothingConfiguredNote.empty()) {
            out += "<p>" + std::string(texts.nothingConfiguredNote) + "</p>\n";
        }
    } else {
        int entries = 0;
        for (int n = 1;; ++n) {
            const auto title = file.Get(texts.section, "Title" + std::to_string(n));
            if (!title) {
                break;
            }
            if (entries++ == 0) {
                out += "<p>" + std::string(texts.disabledIntro) + "</p>\n<table>\n";
            }
            out +=
                "<tr><td><img src=\"images/Redbullet.gif\" width=\"12\" "
                "height=\"12\" "
                "alt=\"\"> " +
                HtmlEscape(*title) + "</td></tr>\n";
            if (texts.withReasons) {
                if (const auto reason = file.Get(texts.section, "Reason" + std::to_string(n))) {
                    out += "<tr><td class=\"problem\"><em>" + HtmlEscape(*reason) +
                           "</em></td></tr>\n";
                }
            }
        }
        if (entries > 0) {
            out += "</table>\n";
        } else if (texts.withLogFlags && has(service::kPermanentError)) {
            out += "<p><strong>" + std::string(texts.permanentError) +
                   "</strong></p>\n<p>More information may be available in the local "
                   "error log "
                   "file.</p>\n";
        } else if (texts.withLogFlags && has(service::kNoKeywordError)) {
            out += "<p><strong>" + std::string(texts.noKeywords) +
                   "</strong></p>\n<p>To correct this, please run the Tessel Monitor's "
                   "Configuration Utility.</p>\n";
        } else {
            out += "<p>" + std::string(kAllWorking) + "</p>\n";
        }
    }
    out += "</section>\n";
}

std::string TestAlertForm(const PageRequest& request) {
    std::string out =
        "<section class=\"report-table config\"><h2>Notification &amp; Alert "
        "Verification "
        "...</h2>\n<p>An alert raised here goes through every notification, "
        "script and log "
        "configured for its alert level, so that their delivery can be "
        "checked.</p>\n"
        "<form id=\"VerifyConfig\" method=\"post\" action=\"ZNConfigCheck.htm\">";
    if (request.session) {
        out += "<input type=\"hidden\" name=\"token\" value=\"" +
               HtmlEscape(request.session->token) + "\">";
    }
    out += "<select name=\"hAlertLevel\">";
    for (int level = 1; level <= 10; ++level) {
        out += "<option value=\"" + std::to_string(1U << (level - 1)) + "\">Alert Level " +
               std::to_string(level) + "</option>";
    }
    out +=
        "</select> <button type=\"submit\" name=\"hTriggerAlert\" "
        "value=\"1\">Click Here"
        "</button></form>\n</section>\n";
    return out;
}

}  // namespace

int AlertLevelOfMask(uint32_t mask) {
    for (int level = 1; level <= 9; ++level) {
        if (mask == 1U << (level - 1)) {
            return level;
        }
    }
    return 10;
}

int BuildHTMLConfigCheck(const PageRequest& request, const HttpRequest& http, std::string& page) {
    const companion::Logger log(kModule, "BuildHTMLConfigCheck");
    std::string message;
    if (http.Has("hTriggerAlert")) {
        const std::string* token = http.Param("token");
        if (http.method != Method::kPost || !request.session || token == nullptr ||
            !SecretsEqual(*token, request.session->token)) {
            log(1, "A test alert asked for by ", request.clientAddress,
                " was not sent by a form of the session's own page and is refused");
            message =
                "<p class=\"message failed\">The test alert was not raised: "
                "the request did "
                "not come from this session's own page.</p>\n";
        } else {
            const uint32_t mask = MaskOf(http);
            std::string text =
                "*** Test Message *** This is a test alert generated by the "
                "Korvane Tessel Print Monitor on " +
                request.ctx.computerName + ", alert level " +
                std::to_string(AlertLevelOfMask(mask)) +
                ". No action need be taken in response to this message ...";
            alerting::NotifyError(request.ctx, 15, mask, 0, "Configuration Test E-mail Alert",
                                  "Configuration Test Alert", text,
                                  std::string("Korvane Test Only"));
            message =
                "<p class=\"message\">The requested alert has been triggered. "
                "Please check "
                "that notifications/scripts were sent correctly ...</p>\n";
        }
    }
    std::string data;
    const std::string path = service::ConfigStatusPath(request.ctx);
    std::optional<platform::ProfileFile> file;
    {
        std::scoped_lock lock(request.ctx.locks.dateTime);
        auto content = platform::ReadWholeFile(path);
        if (content.ok()) {
            file = platform::ProfileFile::Parse(*content);
        } else if (content.status().err() != ENOENT) {
            log(1, "Unable to read the configuration status file ", path, ": ",
                content.status().Text());
        }
    }
    if (!file) {
        data +=
            "<section class=\"report-table config\"><h2>Configuration Status "
            "...</h2>\n<p>No "
            "configuration issues were detected on the server for this Tessel "
            "Monitor</p>"
            "</section>\n";
    } else {
        for (const SectionTexts& texts : kSections) {
            WriteSection(*file, texts, data);
        }
    }
    data += TestAlertForm(request);
    return StreamPage(request, "printers.html", "ZNConfigCheck",
                      "Tessel Monitor - Verify Configuration", page,
                      [&](const std::string& mark, std::string& out) {
                          if (mark == "HEADING") {
                              out += "Verify Configuration";
                          } else if (mark == "MESSAGE") {
                              out += message;
                          } else if (mark == "DATA") {
                              out += data;
                          } else if (mark == "CONTROLS") {
                          } else {
                              return false;
                          }
                          return true;
                      });
}

}  // namespace kvzn::web
