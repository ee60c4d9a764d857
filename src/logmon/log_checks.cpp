// The checks of the "LOGS" list and the action on a matched record.
#include "logmon/log_checks.h"

#include <exception>

#include "alerting/alert_store.h"
#include "alerting/dispatcher.h"
#include "companion/html.h"
#include "config/numbered_lists.h"
#include "config/registry_names.h"
#include "responses/response_runner.h"
#include "service/config_status.h"

namespace kvzn::logmon {

bool IsEventLogType(uint32_t type) {
    return type <= 2 || type == 5;
}

bool IsLogFileType(uint32_t type) {
    return type == 3 || type == 4 || type == 6 || type == 7;
}

int ReadLogChecks(service::ServiceContext& ctx, const std::function<bool(uint32_t)>& wanted,
                  const std::function<void(uint32_t, std::string, LogCheck)>& take) {
    const companion::Registry& registry = ctx.registry;
    int taken = 0;
    config::WalkNumberedSubkeys(
        registry, config::SubKey(config::subkey::kLogs), config::list::kLogEntry,
        config::list::kLogType, true, [&](int, const std::string& key) {
            uint32_t type = 0;
            registry.ReadNumber(key, config::list::kLogType, type);
            if (!wanted(type)) {
                return;
            }
            LogCheck check;
            std::string file;
            registry.ReadText(key, "File", file, 260);
            registry.ReadText(key, config::check::kName, check.name, 256);
            registry.ReadText(key, "EventID", check.eventId, 260);
            registry.ReadText(key, "Source", check.source, 260);
            registry.ReadText(key, config::check::kCommand, check.command, 256);
            registry.ReadNumber(key, "EventType", check.eventType);
            registry.ReadNumber(key, config::check::kAlertLevel, check.levelMask);
            registry.ReadNumber(key, config::check::kActionToTake, check.responseCode);
            uint32_t all = 0;
            registry.ReadNumber(key, "And", all);
            check.matchAll = all == 1;
            check.restart = check.responseCode == config::kActionRebootServer;
            check.hasKeywords = LoadKeywords(registry, key, "KeywordInclude", check.include) > 0;
            LoadKeywords(registry, key, "KeywordExclude", check.exclude);
            take(type, std::move(file), std::move(check));
            ++taken;
        });
    return taken;
}

void ReportNoKeywords(service::ServiceContext& ctx, const companion::Logger& log,
                      std::string_view section, const LogCheck& check) {
    log(2, "There are no keywords defined for the keyword group/resource ", check.name,
        ". The check will be ignored");
    service::RecordConfigStatus(ctx, section, service::kNoKeywordError, 0, {});
}

bool ActOnMatch(service::ServiceContext& ctx, const LogCheck& check, const std::string& text,
                const MatchContext& match) {
    std::string description;
    const unsigned result = responses::RunSpecifiedActions(
        ctx, alerting::kCategoryLogs, check.levelMask, check.responseCode, check.name, text,
        check.restart ? 1 : 0, check.command, check.name, match.source, std::nullopt, description);
    if (result == responses::kNoResponseRun) {
        std::string message = text;
        alerting::NotifyError(ctx, alerting::kCategoryLogs, check.levelMask, check.responseCode,
                              check.name, match.source, message, match.source, match.info2,
                              check.name, 0);
    } else if (result == responses::kResponseStarted && !description.empty() &&
               ctx.notifyRunningActions != 0) {
        std::string message = "The following error was detected in the " + check.name + " (" +
                              std::string(match.kindText) + "). " + description +
                              std::string(match.descriptionSeparator) + text + " ...";
        alerting::NotifyError(ctx, alerting::kCategoryLogs, check.levelMask, check.responseCode,
                              check.name, match.source, message, match.source, match.info2,
                              check.name, match.responseAlertIsAuto ? 1 : 0);
    }
    return result != responses::kRunnerAlerted;
}

std::string PrintableText(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f) {
            c = ' ';
        }
    }
    return out;
}

void WriteRecentSection(std::ostream& page, std::string_view heading, std::string_view columnHeads,
                        bool withTime, int checkCount, const RecentRecords& recent) {
    const int columns = withTime ? 3 : 2;
    page << "<h3>" << heading << "</h3>\n<table>\n<tr>" << columnHeads << "</tr>\n";
    const std::vector<RecentRecord> rows = recent.Rows();
    if (checkCount == 0) {
        page << "<tr><td colspan=\"" << columns
             << "\">Not being monitored or no data currently available ...</td></tr>\n";
    } else if (rows.empty()) {
        page << "<tr><td colspan=\"" << columns
             << "\">No entries logged since Korvane was started ...</td></tr>\n";
    }
    for (const RecentRecord& row : rows) {
        page << "<tr><td>" << companion::HtmlEscape(row.checkName) << "</td>";
        if (withTime) {
            page << "<td>" << companion::HtmlEscape(row.timeText) << "</td>";
        }
        page << "<td>" << companion::HtmlEscape(row.message) << "</td></tr>\n";
    }
    page << "</table>\n";
}

void RunPublishedMonitor(service::ServiceContext& ctx, int code,
                         const std::shared_ptr<service::Monitor>& monitor) {
    const service::MonitorIdentity& id = monitor->Identity();
    ctx.PublishMonitor(code, monitor);
    try {
        service::MonitorEntry(ctx, *monitor, nullptr);
    } catch (const std::exception& e) {
        companion::Logger(id.module, id.threadFunction)(
            1, "The monitor ended on an unexpected error: ", e.what());
    }
    if (ctx.Stopping()) {
        ctx.WithdrawMonitor(code, monitor.get());
    }
}

}  // namespace kvzn::logmon
