// Threads of alert notification and the recipient lists that decide whether they start.
#include "alerting/notification_threads.h"

#include <cstdio>
#include <stdexcept>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/profile_file.h"

namespace kvzn::alerting {

namespace {

constexpr int kSummaryComponent = 14;
constexpr uint32_t kSummaryIntervalMs = 900000;

// The thread body of a run without an alert path (a misconfigured program) ends at once.
Dispatcher* RunDispatcher(service::ServiceContext& ctx, const char* function) {
    try {
        return &Alerts(ctx).dispatcher;
    } catch (const std::logic_error& e) {
        companion::Logger("kvZNAlertNotification", function)(1, e.what());
        return nullptr;
    }
}

}  // namespace

void AlertNotification(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    if (Dispatcher* dispatcher = RunDispatcher(ctx, "AlertNotification")) {
        dispatcher->Run();
    }
}

void DelayedAlertNotification(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    if (Dispatcher* dispatcher = RunDispatcher(ctx, "DelayedAlertNotification")) {
        dispatcher->RunDelayed();
    }
}

std::string SummaryTimeText(const std::tm& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year % 100, t.tm_hour, t.tm_min);
    return text;
}

std::string SummaryBody(const std::string& start, const std::string& end,
                        const std::string& computerName, const SummaryCounts& counts,
                        std::optional<uint32_t> webPort) {
    const std::string rule(59, '-');
    std::string body =
        "The following alerts or exceptions were detected and reported by Korvane "
        "between " +
        start + " and " + end + " from server " + computerName + ".\r\n\r\n";
    body += rule + "\r\n";
    body += "No. Monitor-Specific errors : " + std::to_string(counts.monitorSpecific) + "\r\n";
    body += "No. Disk Space errors : " + std::to_string(counts.diskSpace) + "\r\n";
    body += "No. Performance-related errors : " + std::to_string(counts.performance) + "\r\n";
    body += rule + "\r\n\r\n";
    if (webPort) {
        body += "More information on these recent alerts can be seen at http://" + computerName +
                ":" + std::to_string(*webPort) + "/PrintErrors.htm. ";
    }
    body +=
        "Thank you for choosing Korvane as your monitoring solution. For more information on "
        "this and other solutions, please visit https://www.halvern.example/\r\n\r\n";
    return body;
}

DailySummary::DailySummary(service::ServiceContext& ctx)
    : ctx_(ctx),
      start_(SummaryTimeText(ctx.clock.LocalNow())),
      day_(ctx.clock.LocalNow().tm_mday) {}

bool DailySummary::Check() {
    const std::tm now = ctx_.clock.LocalNow();
    if (now.tm_mday == day_) {
        return false;
    }
    const companion::Logger log("kvZNSummary", "CheckForSummary");
    const std::string end = SummaryTimeText(now);
    AlertRun& run = Alerts(ctx_);
    const SummaryCounts counts = run.store.Counts();
    std::optional<uint32_t> webPort;
    if (ctx_.enableWebReports) {
        // The port the web server listens on: its settings file, else its own setting and
        // default.
        const long port =
            platform::GetProfileInt("TesselPrint", "Port", 0, ctx_.home + "/kvZNWebServer.ini");
        uint32_t listen = 80;
        ctx_.registry.ReadNumber(config::kProductKey, config::value::kHTTPListenPortNo, listen);
        webPort = port > 0 && port <= 65535 ? static_cast<uint32_t>(port) : listen;
    }
    const std::string subject = "Korvane Tessel Print Monitor Summary Report @ " + end;
    const std::string body = SummaryBody(start_, end, ctx_.computerName, counts, webPort);
    std::string list;
    bool reported = true;
    if (BuildSummaryRecipientList(ctx_.registry, list) > 0) {
        ctx_.PostComponentStatus(kSummaryComponent, "Sending the daily summary to " + list);
        if (!run.dispatcher.SendEMailText(subject, body, list)) {
            log(1, "The daily summary could not be sent. Its counts are kept for the next report");
            reported = false;
        }
    }
    if (reported) {
        run.store.DeductCounts(counts);
        start_ = end;
    }
    day_ = now.tm_mday;
    return true;
}

void CheckForSummary(service::ServiceContext& ctx) {
    ctx.PostComponentStatus(kSummaryComponent,
                            "Retrieving & sending summary information to configured e-mails");
    ctx.ComponentReadyAndSuspend();
    if (RunDispatcher(ctx, "CheckForSummary") == nullptr) {
        return;
    }
    DailySummary summary(ctx);
    while (!ctx.clock.SleepUnlessSet(ctx.stopEvent, kSummaryIntervalMs)) {
        try {
            summary.Check();
        } catch (const std::exception& e) {
            companion::Logger("kvZNSummary", "CheckForSummary")(
                1, "The daily summary check failed: ", e.what());
        }
    }
    companion::Logger("kvZNSummary", "CheckForSummary")(
        3, "The Server is being shutdown. The thread will close");
}

bool HasEMailRecipients(const companion::Registry& registry) {
    const std::string contacts = config::SubKey(config::subkey::kContacts);
    std::string address;
    return registry.ReadText(contacts, "EMail1", address) == 0;
}

int BuildSummaryRecipientList(const companion::Registry& registry, std::string& list,
                              size_t bufferSize) {
    const std::string contacts = config::SubKey(config::subkey::kContacts);
    int appended = 0;
    for (int n = 1;; ++n) {
        uint32_t wanted = 0;
        if (registry.ReadNumber(contacts, "DailyReport" + std::to_string(n), wanted) != 0) {
            break;
        }
        if (wanted != 1) {
            continue;
        }
        std::string address;
        registry.ReadText(contacts, "EMail" + std::to_string(n), address);
        if (bufferSize > list.size() + address.size() + 3) {
            if (!list.empty()) {
                list += ',';
            }
            list += address;
            ++appended;
        } else {
            companion::Logger("kvZNSummary", "BuildSummaryRecipientList")(
                2, "Unable to notify ", address, " - too many users specified");
        }
    }
    return appended;
}

}  // namespace kvzn::alerting
