// The alert notification dispatcher: the single consumer of the unsent queue, the delayed
// e-mail thread and the failure broadcast.
#pragma once

#include <functional>
#include <string>

#include "service/service_context.h"

namespace kvzn::alerting {

// The delivery channels the dispatcher drives. Each is set by the program that links the
// channel; an unset channel is skipped (a channel that does not exist delivers nothing).
// Senders return 1 on success, 0 on failure.
struct AlertChannels {
    // E-mail and network message of one alert record.
    std::function<int(service::ServiceContext&, const std::string& record)> email;
    std::function<int(service::ServiceContext&, const std::string& record)> networkMessage;
    // A plain text to a recipient list (the failure broadcast).
    std::function<int(service::ServiceContext&, const std::string& title, const std::string& text,
                      const std::string& list)>
        emailText;
    std::function<int(service::ServiceContext&, const std::string& title, const std::string& text,
                      const std::string& list)>
        networkText;
    // Alert data file, alert database, alert engine scripts, alert log, recent-errors page.
    std::function<void(service::ServiceContext&, const std::string& record)> alertDataFile;
    std::function<void(service::ServiceContext&, const std::string& record)> alertDatabase;
    std::function<void(service::ServiceContext&, const std::string& record)> alertEngine;
    std::function<void(service::ServiceContext&, const std::string& record)> alertLog;
    std::function<void(service::ServiceContext&)> recentErrorsPage;
};

// The channels of this process. Set them before the service starts.
void SetAlertChannels(AlertChannels channels);
const AlertChannels& Channels();

// Delivers one alert record through every channel its response code allows. An e-mail that
// fails is recorded as an "Alerting Error" and the record is marked "SMTPDelayed" = "TRUE",
// so the delayed thread sends it once the mail server answers again. Always returns 1.
int TriggerAlertFromFile(service::ServiceContext& ctx, const std::string& record);

// Sends the e-mail of a record marked "SMTPDelayed" and clears the mark. 1 when the record
// needs nothing more, 0 when the e-mail failed again.
int ProcessDelayedRecord(service::ServiceContext& ctx, const std::string& record);

// Tells the level-1 recipients, by network message and e-mail, that a monitoring feature
// had to be disabled.
void BroadcastConfigurationFailure(service::ServiceContext& ctx, int category,
                                   const std::string& reason);

// One pass of the dispatcher: delivers every queued record, oldest first, until the queue
// is empty or the service stops. Returns the records delivered.
int DrainUnsentQueue(service::ServiceContext& ctx);

}  // namespace kvzn::alerting
