// Threads of alert notification: the dispatcher, delayed e-mail and the daily summary.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "alerting/alert_store.h"

#include "companion/registry.h"
#include "service/service_context.h"

namespace kvzn::alerting {

void AlertNotification(service::ServiceContext& ctx);
void DelayedAlertNotification(service::ServiceContext& ctx);
void CheckForSummary(service::ServiceContext& ctx);

// "dd/mm/yy hh:mm" of a local time, always day first.
std::string SummaryTimeText(const std::tm& local);

// The body of the daily summary: the period, the three counts and, when `webPort` is given,
// the link to the recent-errors page.
std::string SummaryBody(const std::string& start, const std::string& end,
                        const std::string& computerName, const SummaryCounts& counts,
                        std::optional<uint32_t> webPort);

// The daily summary of one run: the period since the last report and the day it began on.
// @threadsafety One thread (the summary thread).
class DailySummary {
  public:
    explicit DailySummary(service::ServiceContext& ctx);
    // One check: when the day of the month changed since the period began, reports the
    // counts to the daily report recipients and begins a new period. The reported counts
    // are taken off only when the mail went out (or nobody asked for it), so a failed mail
    // reports them again the next day. True when a report was due.
    bool Check();

  private:
    service::ServiceContext& ctx_;
    std::string start_;
    int day_;
};

// True when the contact list names at least one e-mail recipient ("EMail1", "EMail2", ...
// up to the first missing one). Time windows do not matter: a recipient whose window is
// closed at start-up still gets its delayed mail later.
bool HasEMailRecipients(const companion::Registry& registry);

// Appends the address of every contact with "DailyReport<n>" = 1 to `list` ("," between
// addresses) while the list stays below `bufferSize` and returns how many were appended.
int BuildSummaryRecipientList(const companion::Registry& registry, std::string& list,
                              size_t bufferSize = 7000);

}  // namespace kvzn::alerting
