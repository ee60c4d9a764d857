// Threads of alert notification: the dispatcher, delayed e-mail and the daily summary.
#pragma once

#include <string>

#include "companion/registry.h"
#include "service/service_context.h"

namespace kvzn::alerting {

void AlertNotification(service::ServiceContext& ctx);
void DelayedAlertNotification(service::ServiceContext& ctx);
void CheckForSummary(service::ServiceContext& ctx);

// True when the contact list names at least one e-mail recipient ("EMail1", "EMail2", ...
// up to the first missing one). Time windows do not matter: a recipient whose window is
// closed at start-up still gets its delayed mail later.
bool HasEMailRecipients(const companion::Registry& registry);

// Appends the address of every contact with "DailyReport<n>" = 1 to `list` ("," between
// addresses) while the list stays below `bufferSize` and returns how many were appended.
int BuildSummaryRecipientList(const companion::Registry& registry, std::string& list,
                              size_t bufferSize = 7000);

}  // namespace kvzn::alerting
