// Threads of alert notification and the recipient lists that decide whether they start.
#include "alerting/notification_threads.h"

#include <stdexcept>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"

namespace kvzn::alerting {

namespace {

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

void CheckForSummary(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    ctx.stopEvent.Wait();
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
