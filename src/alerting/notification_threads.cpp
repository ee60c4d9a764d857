// Threads of alert notification and the recipient lists that decide whether they start.
#include "alerting/notification_threads.h"

#include "companion/activity_log.h"
#include "config/registry_names.h"

namespace kvzn::alerting {

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
