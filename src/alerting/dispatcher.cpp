// The alert notification dispatcher, the delayed e-mail thread and the failure broadcast.
#include "alerting/dispatcher.h"

#include <dirent.h>
#include <fnmatch.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "alerting/alert_records.h"
#include "alerting/notification_threads.h"
#include "alerting/recipients.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/profile_file.h"

namespace kvzn::alerting {

namespace {

constexpr std::string_view kModule = "kvZNAlertNotification";
constexpr int kAlertNotifyComponent = 12;
constexpr int kDelayedComponent = 19;
constexpr int kAlertEngineComponent = 1;
constexpr const char* kEmailFailure =
    "One or more errors occurred when sending e-mail notification. Please check that your SMTP "
    "server is running, the Tessel Monitor's alert configuration and the Korvane log file";
constexpr const char* kNetworkFailure =
    "One or more errors occurred when sending network message notification. Please check the "
    "Korvane log file & Configuration Utility settings";

std::mutex& ChannelsMutex() {
    static std::mutex m;
    return m;
}
AlertChannels& ChannelsStorage() {
    static AlertChannels* channels = new AlertChannels();
    return *channels;
}

std::string RecordValue(const std::string& record, const char* key, const char* fallback,
                        size_t size = 260) {
    return platform::GetProfileString(kRecordSection, key, fallback, record, size);
}

std::vector<std::string> RecordFiles(const std::string& dataDirectory) {
    std::vector<std::string> files;
    DIR* d = ::opendir(dataDirectory.c_str());
    if (d == nullptr) {
        return files;
    }
    while (dirent* entry = ::readdir(d)) {
        if (::fnmatch("PRT*.err", entry->d_name, 0) == 0) {
            files.push_back(dataDirectory + "/" + entry->d_name);
        }
    }
    ::closedir(d);
    return files;
}

}  // namespace

void SetAlertChannels(AlertChannels channels) {
    std::scoped_lock lock(ChannelsMutex());
    ChannelsStorage() = std::move(channels);
}

const AlertChannels& Channels() {
    std::scoped_lock lock(ChannelsMutex());
    return ChannelsStorage();
}

int TriggerAlertFromFile(service::ServiceContext& ctx, const std::string& record) {
    const companion::Logger log(kModule, "TriggerAlertFromFile");
    const AlertChannels& channels = Channels();
    const std::string title = RecordValue(record, "ErrorTitle", "N/A");
    ctx.PostComponentStatus(kAlertNotifyComponent, "Triggering alert " + title);
    const long action = platform::GetProfileInt(kRecordSection, "AlertAction", 0, record);

    if (action != 1) {
        ctx.PostComponentStatus(kAlertNotifyComponent, "Processing configured e-mail alerts");
        if (channels.email && !channels.email(ctx, record)) {
            log(1, kEmailFailure);
            NotifyInternalError(ctx, 1, "Alerting Error", "Alerting Error", kEmailFailure);
            // The delayed thread sends it again until the mail server takes it.
            std::scoped_lock lock(ctx.locks.alertFile);
            platform::WriteProfileString(kRecordSection, "SMTPDelayed", "TRUE", record);
        }
        if (channels.networkMessage && !channels.networkMessage(ctx, record)) {
            log(1, kNetworkFailure);
            NotifyInternalError(ctx, 1, "Alerting Error", "Alerting Error", kNetworkFailure);
        }
    }
    if (channels.alertDataFile) {
        channels.alertDataFile(ctx, record);
    }
    if (channels.alertDatabase) {
        channels.alertDatabase(ctx, record);
    }
    if (action != 1) {
        const bool autoResponse = RecordValue(record, "Auto-Response", "0") == "1";
        if (autoResponse && ctx.notifyRunningActions != 2) {
            ctx.PostComponentStatus(kAlertEngineComponent,
                                    "Auto-response triggered - no notification required");
        } else if (channels.alertEngine) {
            channels.alertEngine(ctx, record);
        }
    }
    return 1;
}

int DrainUnsentQueue(service::ServiceContext& ctx) {
    const AlertChannels& channels = Channels();
    const std::string queue = QueuePath(ctx);
    int delivered = 0;
    for (;;) {
        std::string head;
        {
            std::scoped_lock lock(ctx.locks.alertFile);
            const std::vector<std::string> lines = ReadQueue(queue);
            if (lines.empty()) {
                ::unlink(queue.c_str());
                return delivered;
            }
            ctx.PostComponentStatus(kAlertNotifyComponent,
                                    "------------ Alert notification detected ------------");
            if (!ReplaceWithRemainingFile(queue)) {
                // The record stays queued; it is delivered once the queue can be rewritten,
                // never twice.
                return delivered;
            }
            head = lines.front();
            SetRecordInDelivery(head, true);
        }
        // Released when every channel has read the record, also if one of them throws.
        const std::unique_ptr<const std::string, void (*)(const std::string*)> inDelivery(
            &head, [](const std::string* path) { SetRecordInDelivery(*path, false); });
        TriggerAlertFromFile(ctx, head);
        ++delivered;
        ctx.PostComponentStatus(kAlertNotifyComponent,
                                "------------ Alert notification complete ------------");
        if (ctx.enableWebReports && channels.recentErrorsPage) {
            std::scoped_lock lock(ctx.locks.errorPage);
            channels.recentErrorsPage(ctx);
        }
        if (channels.alertLog) {
            channels.alertLog(ctx, head);
        }
        if (ctx.Stopping()) {
            return delivered;
        }
    }
}

void AlertNotification(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    ctx.PostComponentStatus(kAlertNotifyComponent, "Starting Alert Notification handler");
    for (;;) {
        DrainUnsentQueue(ctx);
        if (ctx.Stopping()) {
            companion::Logger(kModule, "AlertNotification")(3,
                                                            "The Tessel Monitor is being shutdown");
            return;
        }
        ctx.PostComponentStatus(kAlertNotifyComponent, "Waiting for notification");
        const int woken =
            platform::Event::WaitAny({&ctx.stopEvent, &ctx.alertEvent}, std::chrono::hours(24));
        if (woken == 0) {
            return;
        }
        if (woken == 1) {
            ctx.alertEvent.Reset();
        }
    }
}

int ProcessDelayedRecord(service::ServiceContext& ctx, const std::string& record) {
    if (::strcasecmp(RecordValue(record, "SMTPDelayed", "FALSE", 10).c_str(), "TRUE") != 0) {
        return 1;
    }
    const AlertChannels& channels = Channels();
    if (!channels.email || !channels.email(ctx, record)) {
        return 0;
    }
    ctx.PostComponentStatus(kDelayedComponent,
                            "Sending delayed notification e-mail for the file " + record);
    std::scoped_lock lock(ctx.locks.alertFile);
    platform::WriteProfileString(kRecordSection, "SMTPDelayed", "FALSE", record);
    return 1;
}

void DelayedAlertNotification(service::ServiceContext& ctx) {
    ctx.ComponentReadyAndSuspend();
    uint32_t interval = 0;
    ctx.registry.ReadNumber(config::SubKey(config::subkey::kContacts),
                            config::value::kDelayedSMTPCheckInterval, interval);
    if (interval == 0 || ctx.Stopping()) {
        return;
    }
    ctx.PostComponentStatus(kDelayedComponent, "Starting Delayed Notification handler");
    while (!ctx.Stopping()) {
        ctx.PostComponentStatus(kDelayedComponent, "Checking for delayed e-mails");
        for (const std::string& record : RecordFiles(ctx.dataDirectory)) {
            // The record keeps its slot while it is sent; the alert-file lock is not held
            // through the mail session, so monitors raising alerts never wait for it.
            SetRecordInDelivery(record, true);
            const int result = ProcessDelayedRecord(ctx, record);
            SetRecordInDelivery(record, false);
            if (result == 0 || ctx.Stopping()) {
                break;
            }
        }
        if (ctx.WaitForStop(std::chrono::minutes(interval))) {
            break;
        }
    }
    companion::Logger("kvZNDelayedAlertNotification", "DelayedAlertNotification")(
        3, "The Tessel Monitor is being shutdown");
}

void BroadcastConfigurationFailure(service::ServiceContext& ctx, int /*category*/,
                                   const std::string& reason) {
    const AlertChannels& channels = Channels();
    const std::string title = "Korvane/Tessel Monitor Error";
    const std::string text = "Message from Korvane. " + reason +
                             ". Please check the local Korvane log file on server " +
                             ctx.computerName +
                             " for more information on this fault and adjust the configuration "
                             "settings accordingly. One "
                             "or more monitoring features have been disabled.";
    std::string names;
    if (BuildRecipientList(ctx, 1, kRecipientNetworkMessage, names) > 0 && channels.networkText) {
        channels.networkText(ctx, title, text, names);
    }
    std::string addresses;
    if (BuildRecipientList(ctx, 1, kRecipientEMail, addresses) > 0 && channels.emailText) {
        channels.emailText(ctx, title, text, addresses);
    }
}

}  // namespace kvzn::alerting
