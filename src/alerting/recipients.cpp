// Recipients of an alert: the numbered contact list filtered by level mask and time window.
#include "alerting/recipients.h"

#include "alerting/alert_store.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "service/monitor_schedule.h"

namespace kvzn::alerting {

int BuildRecipientList(service::ServiceContext& ctx, uint32_t alertMask, int kind,
                       std::string& list, size_t bufferSize) {
    namespace contacts = config::contacts;
    const std::string key = config::SubKey(config::subkey::kContacts);
    const bool email = kind != kRecipientNetworkMessage;
    const char* prefix = email ? "Email" : "NetSend";
    const companion::Logger log("kvZNAlertNotification", "BuildRecipientList");
    int appended = 0;
    for (int n = 1;; ++n) {
        std::string name;
        if (ctx.registry.ReadText(
                key, config::Numbered(email ? contacts::kEMail : contacts::kNetSend, n), name) !=
            0) {
            return appended;
        }
        uint32_t mask = 0;
        ctx.registry.ReadNumber(
            key, config::Numbered(email ? contacts::kEMailLevel : contacts::kNetSendLevel, n),
            mask);
        if (alertMask != kAllLevels && (mask & alertMask) == 0) {
            continue;
        }
        if (!service::IsWithinTimeWindow(ctx, key, prefix, n)) {
            continue;
        }
        std::string entry = name;
        size_t needed = list.size() + name.size() + 3;
        if (email) {
            std::string server;
            ctx.registry.ReadText(key, config::Numbered(contacts::kEMailServerN, n), server);
            if (!server.empty()) {
                std::string sender;
                ctx.registry.ReadText(key, config::Numbered(contacts::kEMailSender, n), sender);
                if (sender.empty()) {
                    sender = "<NONE>";
                }
                uint32_t port = 25;
                ctx.registry.ReadNumber(key, config::Numbered(contacts::kEMailPortNo, n), port);
                entry = name + "~" + server + "~" + sender + "~" + std::to_string(port);
                needed = list.size() + name.size() + server.size() + sender.size() + 20;
            }
        }
        if (bufferSize <= needed) {
            log(2, "Unable to notify ", name, " - too many users specified");
            continue;
        }
        if (!list.empty()) {
            list += ',';
        }
        list += entry;
        ++appended;
    }
}

}  // namespace kvzn::alerting
