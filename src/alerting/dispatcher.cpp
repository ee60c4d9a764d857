// The alert notification dispatcher, the delayed e-mail retries and the failure broadcast.
#include "alerting/dispatcher.h"

#include <exception>
#include <stdexcept>

#include "alerting/recipients.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"

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

uint32_t ReadRetryMinutes(const service::ServiceContext& ctx) {
    uint32_t interval = 0;
    ctx.registry.ReadNumber(config::SubKey(config::subkey::kContacts),
                            config::value::kDelayedSMTPCheckInterval, interval);
    return interval;
}

std::string Describe(const AlertRecord& record, const std::string& path) {
    return "\"" + record.TitleOr("N/A") + ": " + record.message.value_or("") + "\" (" + path + ")";
}

}  // namespace

Dispatcher::Dispatcher(service::ServiceContext& ctx, AlertStore& store, AlertChannels channels,
                       DispatcherOptions options)
    : ctx_(ctx),
      store_(store),
      channels_(std::move(channels)),
      options_(options),
      retryMinutes_(ReadRetryMinutes(ctx)) {
    if (retryMinutes_ != 0) {
        return;
    }
    // Without retries, e-mails left waiting by an earlier run are never sent: their slots
    // are free for new alerts.
    for (const std::string& path : store_.AwaitingRetry()) {
        auto record = AlertRecord::Load(path);
        if (record.ok()) {
            companion::Logger(kModule, "DelayedAlertNotification")(
                2, "The delayed e-mail of the alert ", Describe(*record, path),
                " is not sent: e-mail retries are off (DelayedSMTPCheckInterval is 0)");
            record->smtpDelayed = false;
            store_.UpdateRecord(path, *record);
        }
        store_.SetAwaitingRetry(path, false);
    }
}

void Dispatcher::MarkForRetry(const std::string& recordPath, AlertRecord& record,
                              const EMailResult& sent) {
    const companion::Logger log(kModule, "TriggerAlertFromFile");
    if (retryMinutes_ == 0) {
        log(2, "The e-mail of the alert ", Describe(record, recordPath),
            " is not sent again: e-mail retries are off (DelayedSMTPCheckInterval is 0)");
        return;
    }
    record.smtpDelayed = true;
    record.smtpAttempts = 1;
    if (!sent.unserved.empty()) {
        record.smtpPending = sent.unserved;
    }
    if (const platform::Status st = store_.UpdateRecord(recordPath, record); !st.ok()) {
        log(1, "Unable to mark the alert ", recordPath, " for a delayed e-mail (", st.Text(), ")");
        return;
    }
    store_.SetAwaitingRetry(recordPath, true);
}

int Dispatcher::TriggerAlertFromFile(const std::string& recordPath) {
    auto loaded = AlertRecord::Load(recordPath);
    if (!loaded.ok()) {
        companion::Logger(kModule, "TriggerAlertFromFile")(
            1, "Unable to read the alert record ", recordPath, " (", loaded.status().Text(), ")");
        return 1;
    }
    return Trigger(recordPath, *loaded);
}

void Dispatcher::CountDelivery(uint64_t DeliveryCounts::*count) {
    std::scoped_lock lock(deliveriesMutex_);
    ++(deliveries_.*count);
}

DeliveryCounts Dispatcher::Deliveries() const {
    std::scoped_lock lock(deliveriesMutex_);
    return deliveries_;
}

int Dispatcher::Trigger(const std::string& recordPath, AlertRecord& record) {
    const companion::Logger log(kModule, "TriggerAlertFromFile");
    ctx_.PostComponentStatus(kAlertNotifyComponent, "Triggering alert " + record.TitleOr("N/A"));
    const uint32_t action = record.alertAction.value_or(0);

    if (action != 1) {
        ctx_.PostComponentStatus(kAlertNotifyComponent, "Processing configured e-mail alerts");
        if (channels_.email) {
            const EMailResult sent = channels_.email(ctx_, record, std::nullopt);
            CountDelivery(sent.result == 0 ? &DeliveryCounts::emailFailed
                                           : &DeliveryCounts::emailSent);
            if (sent.result == 0) {
                log(1, kEmailFailure);
                store_.NotifyInternalError(1, "Alerting Error", "Alerting Error", kEmailFailure);
                MarkForRetry(recordPath, record, sent);
            }
        }
        if (channels_.networkMessage) {
            const bool sent = channels_.networkMessage(ctx_, record);
            CountDelivery(sent ? &DeliveryCounts::networkSent : &DeliveryCounts::networkFailed);
            if (!sent) {
                log(1, kNetworkFailure);
                store_.NotifyInternalError(1, "Alerting Error", "Alerting Error", kNetworkFailure);
            }
        }
    }
    if (channels_.alertDataFile) {
        channels_.alertDataFile(ctx_, record, recordPath);
        CountDelivery(&DeliveryCounts::alertDataFile);
    }
    if (channels_.alertDatabase) {
        channels_.alertDatabase(ctx_, record, recordPath);
        CountDelivery(&DeliveryCounts::alertDatabase);
    }
    if (action != 1) {
        if (record.autoResponse.value_or(false) && ctx_.notifyRunningActions != 2) {
            ctx_.PostComponentStatus(kAlertEngineComponent,
                                     "Auto-response triggered - no notification required");
        } else if (channels_.alertEngine) {
            channels_.alertEngine(ctx_, record, recordPath);
            CountDelivery(&DeliveryCounts::alertEngine);
        }
    }
    return 1;
}

void Dispatcher::Deliver(const std::string& recordPath) {
    try {
        auto record = AlertRecord::Load(recordPath);
        if (!record.ok()) {
            companion::Logger(kModule, "TriggerAlertFromFile")(
                1, "Unable to read the alert record ", recordPath, " (", record.status().Text(),
                ")");
            return;
        }
        Trigger(recordPath, *record);
        ctx_.PostComponentStatus(kAlertNotifyComponent,
                                 "------------ Alert notification complete ------------");
        if (ctx_.enableWebReports && channels_.recentErrorsPage) {
            std::scoped_lock lock(errorPageMutex_);
            channels_.recentErrorsPage(ctx_);
        }
        if (channels_.alertLog) {
            channels_.alertLog(ctx_, *record, recordPath);
            CountDelivery(&DeliveryCounts::alertLog);
        }
    } catch (const std::exception& e) {
        companion::Logger(kModule, "AlertNotification")(
            1, "The delivery of the alert ", recordPath, " failed: ", e.what(),
            ". Its e-mail is sent again as a delayed e-mail");
        auto record = AlertRecord::Load(recordPath);
        if (record.ok() && !record->smtpDelayed) {
            MarkForRetry(recordPath, *record, EMailResult{0, {}});
        }
    }
}

int Dispatcher::DrainUnsentQueue() {
    int delivered = 0;
    for (;;) {
        const std::optional<std::string> head = store_.TakeNextQueued();
        if (!head) {
            return delivered;
        }
        ctx_.PostComponentStatus(kAlertNotifyComponent,
                                 "------------ Alert notification detected ------------");
        Deliver(*head);
        store_.EndDelivery(*head);
        ++delivered;
        if (ctx_.Stopping()) {
            return delivered;
        }
    }
}

void Dispatcher::Run() {
    ctx_.PostComponentStatus(kAlertNotifyComponent, "Starting Alert Notification handler");
    for (;;) {
        DrainUnsentQueue();
        if (ctx_.Stopping()) {
            companion::Logger(kModule, "AlertNotification")(3,
                                                            "The Tessel Monitor is being shutdown");
            return;
        }
        ctx_.PostComponentStatus(kAlertNotifyComponent, "Waiting for notification");
        const int woken = platform::Event::WaitAny({&ctx_.stopEvent, &store_.AlertArrived()},
                                                   std::chrono::hours(24));
        if (woken == 0) {
            return;
        }
        if (woken == 1) {
            store_.AlertArrived().Reset();
        }
    }
}

int Dispatcher::ProcessDelayedRecord(const std::string& recordPath) {
    const companion::Logger log("kvZNDelayedAlertNotification", "ProcessDelayedRecord");
    auto loaded = AlertRecord::Load(recordPath);
    if (!loaded.ok() || !loaded->smtpDelayed) {
        store_.SetAwaitingRetry(recordPath, false);
        return 1;
    }
    AlertRecord& record = *loaded;
    EMailResult sent{0, {}};
    if (channels_.email) {
        sent = channels_.email(ctx_, record, record.smtpPending);
        CountDelivery(sent.result == 0 ? &DeliveryCounts::delayedEmailFailed
                                       : &DeliveryCounts::delayedEmailSent);
    }
    if (sent.result != 0) {
        ctx_.PostComponentStatus(kDelayedComponent,
                                 "Sending delayed notification e-mail for the file " + recordPath);
        record.smtpDelayed = false;
        record.smtpPending.reset();
        store_.UpdateRecord(recordPath, record);
        store_.SetAwaitingRetry(recordPath, false);
        return 1;
    }
    ++record.smtpAttempts;
    if (!sent.unserved.empty()) {
        record.smtpPending = sent.unserved;
    }
    const bool giveUp = record.smtpAttempts >= options_.maxEMailAttempts;
    if (giveUp) {
        log(1, "The delayed e-mail of the alert ", Describe(record, recordPath),
            " is given up after ", record.smtpAttempts, " failed attempts");
        record.smtpDelayed = false;
    }
    store_.UpdateRecord(recordPath, record);
    if (giveUp) {
        store_.SetAwaitingRetry(recordPath, false);
    }
    return 0;
}

void Dispatcher::DelayedPass() {
    ctx_.PostComponentStatus(kDelayedComponent, "Checking for delayed e-mails");
    for (const std::string& path : store_.AwaitingRetry()) {
        // The record keeps its slot while it is sent; the store's lock is not held through
        // the mail session, so monitors raising alerts never wait for it.
        store_.BeginDelivery(path);
        try {
            ProcessDelayedRecord(path);
        } catch (const std::exception& e) {
            companion::Logger("kvZNDelayedAlertNotification", "DelayedAlertNotification")(
                1, "The delayed e-mail of ", path, " failed: ", e.what());
        }
        store_.EndDelivery(path);
        if (ctx_.Stopping()) {
            break;
        }
    }
}

int Dispatcher::SendEMailText(const std::string& subject, const std::string& text,
                              const std::string& list) {
    return channels_.emailText ? channels_.emailText(ctx_, subject, text, list) : 0;
}

void Dispatcher::RunDelayed() {
    if (retryMinutes_ == 0 || ctx_.Stopping()) {
        return;
    }
    ctx_.PostComponentStatus(kDelayedComponent, "Starting Delayed Notification handler");
    while (!ctx_.Stopping()) {
        DelayedPass();
        if (ctx_.WaitForStop(std::chrono::minutes(retryMinutes_))) {
            break;
        }
    }
    companion::Logger("kvZNDelayedAlertNotification", "DelayedAlertNotification")(
        3, "The Tessel Monitor is being shutdown");
}

void Dispatcher::BroadcastConfigurationFailure(int /*category*/, const std::string& reason) {
    const std::string title = "Korvane/Tessel Monitor Error";
    const std::string text = "Message from Korvane. " + reason +
                             ". Please check the local Korvane log file on server " +
                             ctx_.computerName +
                             " for more information on this fault and adjust the configuration "
                             "settings accordingly. One "
                             "or more monitoring features have been disabled.";
    std::string names;
    if (BuildRecipientList(ctx_, 1, kRecipientNetworkMessage, names) > 0 && channels_.networkText) {
        channels_.networkText(ctx_, title, text, names);
    }
    std::string addresses;
    if (BuildRecipientList(ctx_, 1, kRecipientEMail, addresses) > 0 && channels_.emailText) {
        channels_.emailText(ctx_, title, text, addresses);
    }
}

AlertRun::AlertRun(service::ServiceContext& ctx, AlertChannels channels,
                   AlertStoreOptions storeOptions, DispatcherOptions dispatcherOptions)
    : store(ctx, storeOptions), dispatcher(ctx, store, std::move(channels), dispatcherOptions) {}

AlertRun& Alerts(service::ServiceContext& ctx) {
    auto* run = dynamic_cast<AlertRun*>(ctx.alertPath.get());
    if (run == nullptr) {
        throw std::logic_error("this run has no alert store");
    }
    return *run;
}

AlertRun& AttachAlertRun(service::ServiceContext& ctx, AlertChannels channels,
                         AlertStoreOptions storeOptions, DispatcherOptions dispatcherOptions) {
    auto run =
        std::make_shared<AlertRun>(ctx, std::move(channels), storeOptions, dispatcherOptions);
    AlertRun& ref = *run;
    ctx.alertPath = std::move(run);
    return ref;
}

namespace {
AlertRun* FindAlerts(service::ServiceContext& ctx, const char* function) {
    auto* run = dynamic_cast<AlertRun*>(ctx.alertPath.get());
    if (run == nullptr) {
        companion::Logger(kModule, function)(1,
                                             "No alert store is open: the alert is not recorded");
    }
    return run;
}
}  // namespace

int NotifyError(service::ServiceContext& ctx, int category, uint32_t levelMask, uint32_t actionCode,
                std::string_view title, std::string_view source, std::string& message,
                const std::optional<std::string>& info1, const std::optional<std::string>& info2,
                const std::optional<std::string>& info3, int autoResponse) {
    AlertRun* run = FindAlerts(ctx, "NotifyError");
    return run == nullptr ? 0
                          : run->store.NotifyError(category, levelMask, actionCode, title, source,
                                                   message, info1, info2, info3, autoResponse);
}

int NotifyInternalError(service::ServiceContext& ctx, unsigned summaryCategory,
                        std::string_view title, std::string_view source, std::string_view message) {
    AlertRun* run = FindAlerts(ctx, "NotifyInternalError");
    return run == nullptr ? 0
                          : run->store.NotifyInternalError(summaryCategory, title, source, message);
}

void BroadcastConfigurationFailure(service::ServiceContext& ctx, int category,
                                   const std::string& reason) {
    if (AlertRun* run = FindAlerts(ctx, "BroadcastConfigurationFailure")) {
        run->dispatcher.BroadcastConfigurationFailure(category, reason);
    }
}

}  // namespace kvzn::alerting
