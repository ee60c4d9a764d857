// The alert notification dispatcher: the single consumer of the unsent queue, the delayed
// e-mail retries and the failure broadcast, and the alert path of one run.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "alerting/alert_record.h"
#include "alerting/alert_store.h"
#include "service/service_context.h"

namespace kvzn::alerting {

// What an e-mail delivery achieved.
struct EMailResult {
    int result = 1;  // 1: every recipient served (or none chosen); 0: a failure
    // The list entries that were not served ("," between them); empty when every entry was
    // served or when the failure came before any entry (no mail server configured).
    std::string unserved;
};

// The delivery channels the dispatcher drives; an unset channel is skipped (a channel that
// does not exist delivers nothing). Each gets the record parsed once for the delivery.
struct AlertChannels {
    // E-mail of one alert: to `list` when given, else to the contacts of the record's level.
    std::function<EMailResult(service::ServiceContext&, const AlertRecord&,
                              const std::optional<std::string>& list)>
        email;
    std::function<int(service::ServiceContext&, const AlertRecord&)> networkMessage;
    // A plain text to a recipient list (the failure broadcast).
    std::function<int(service::ServiceContext&, const std::string& title, const std::string& text,
                      const std::string& list)>
        emailText;
    std::function<int(service::ServiceContext&, const std::string& title, const std::string& text,
                      const std::string& list)>
        networkText;
    // Alert data file, alert database, alert engine scripts, alert log (with the record's
    // path), recent-errors page.
    using RecordChannel = std::function<void(service::ServiceContext&, const AlertRecord&,
                                             const std::string& recordPath)>;
    RecordChannel alertDataFile;
    RecordChannel alertDatabase;
    RecordChannel alertEngine;
    RecordChannel alertLog;
    std::function<void(service::ServiceContext&)> recentErrorsPage;
};

struct DispatcherOptions {
    // Failed e-mail deliveries after which a delayed e-mail is given up (the first delivery
    // counts): with the retry interval of 5 minutes, about 45 minutes of retries.
    uint32_t maxEMailAttempts = 10;
};

// Delivers queued alerts through its channels, which it owns for the run.
// @threadsafety Always; the queue has one consumer (the alert notification thread).
// What the dispatcher has handed to each channel since the run started. E-mail and network
// messages report whether they reached everyone; the other channels are counted as tried
// (they log their own failures).
struct DeliveryCounts {
    uint64_t emailSent = 0;
    uint64_t emailFailed = 0;
    uint64_t delayedEmailSent = 0;
    uint64_t delayedEmailFailed = 0;
    uint64_t networkSent = 0;
    uint64_t networkFailed = 0;
    uint64_t alertDataFile = 0;
    uint64_t alertDatabase = 0;
    uint64_t alertEngine = 0;
    uint64_t alertLog = 0;
};

class Dispatcher {
  public:
    Dispatcher(service::ServiceContext& ctx, AlertStore& store, AlertChannels channels,
               DispatcherOptions options = {});

    // Delivers one alert record through every channel its response code allows. An e-mail
    // that fails is recorded as an "Alerting Error"; when retries are on ("DelayedSMTPCheck
    // Interval" above 0) the record is marked "SMTPDelayed" with the recipients not yet
    // served, so the delayed e-mail thread sends it again. Returns 1.
    int TriggerAlertFromFile(const std::string& recordPath);
    // Delivers every queued record, oldest first, until the queue is empty or the service
    // stops. A record whose delivery fails unexpectedly is logged with its slot and left to
    // the retry rules; the next record is delivered. Returns the records delivered.
    int DrainUnsentQueue();
    // The alert notification thread: drains the queue whenever an alert arrives, until the
    // service stops.
    void Run();

    // Sends the e-mail of a record awaiting a retry to the recipients not yet served and
    // clears the mark when it went out. 1 when the record needs nothing more, 0 when the
    // e-mail failed again (after the last attempt the e-mail is given up, logged at level 1).
    int ProcessDelayedRecord(const std::string& recordPath);
    // One pass over the records awaiting a retry; a failing record does not stop the pass.
    void DelayedPass();
    // The delayed e-mail thread: a pass every retry interval until the service stops.
    void RunDelayed();
    uint32_t RetryIntervalMinutes() const { return retryMinutes_; }

    // E-mails a plain text to a recipient list through the run's e-mail channel. 1 when every
    // recipient was served, 0 on a failure or when the run has no e-mail channel.
    int SendEMailText(const std::string& subject, const std::string& text, const std::string& list);

    // Tells the level-1 recipients, by network message and e-mail, that a monitoring
    // feature had to be disabled.
    void BroadcastConfigurationFailure(int category, const std::string& reason);

    // The deliveries so far. @threadsafety Always.
    DeliveryCounts Deliveries() const;

  private:
    void MarkForRetry(const std::string& recordPath, AlertRecord& record, const EMailResult& sent);
    void Deliver(const std::string& recordPath);
    int Trigger(const std::string& recordPath, AlertRecord& record);

    service::ServiceContext& ctx_;
    AlertStore& store_;
    const AlertChannels channels_;
    const DispatcherOptions options_;
    const uint32_t retryMinutes_;
    std::mutex errorPageMutex_;  // the recent-errors page
    mutable std::mutex deliveriesMutex_;
    DeliveryCounts deliveries_;  // guarded by deliveriesMutex_
    // Adds one to a count of deliveries_.
    void CountDelivery(uint64_t DeliveryCounts::*count);
};

// The store and dispatcher of one run, attached to its context.
class AlertRun final : public service::AlertPath {
  public:
    AlertRun(service::ServiceContext& ctx, AlertChannels channels,
             AlertStoreOptions storeOptions = {}, DispatcherOptions dispatcherOptions = {});
    void Close() override { store.Close(); }

    AlertStore store;
    Dispatcher dispatcher;
};

// The alert run attached to `ctx`; throws std::logic_error when there is none.
AlertRun& Alerts(service::ServiceContext& ctx);
// Creates an alert run with `channels` and attaches it to `ctx`.
AlertRun& AttachAlertRun(service::ServiceContext& ctx, AlertChannels channels,
                         AlertStoreOptions storeOptions = {},
                         DispatcherOptions dispatcherOptions = {});

// The system's entry points on the run's alert path (each logs and returns 0 when the run
// has no alert path).
int NotifyError(service::ServiceContext& ctx, int category, uint32_t levelMask, uint32_t actionCode,
                std::string_view title, std::string_view source, std::string& message,
                const std::optional<std::string>& info1 = std::nullopt,
                const std::optional<std::string>& info2 = std::nullopt,
                const std::optional<std::string>& info3 = std::nullopt, int autoResponse = 0);
int NotifyInternalError(service::ServiceContext& ctx, unsigned summaryCategory,
                        std::string_view title, std::string_view source, std::string_view message);
void BroadcastConfigurationFailure(service::ServiceContext& ctx, int category,
                                   const std::string& reason);

}  // namespace kvzn::alerting
