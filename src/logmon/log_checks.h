// The checks of the "LOGS" list shared by the event log and log file monitors: reading an
// entry, testing a text against its keyword groups and acting on a match.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "companion/activity_log.h"
#include "logmon/keyword_groups.h"
#include "logmon/recent_records.h"
#include "service/monitor_thread.h"
#include "service/service_context.h"

namespace kvzn::logmon {

// One "Log<n>" entry: a check on one event log or log file.
struct LogCheck {
    KeywordList include;
    KeywordList exclude;
    bool matchAll = false;     // "And" = 1
    bool hasKeywords = false;  // at least one include group
    bool restart = false;      // "ActionToTake" = 2
    std::string eventId;       // event log checks: decimal ID, empty = any
    std::string source;        // event log checks: empty = any
    std::string name;
    std::string command;
    uint32_t eventType = 0;  // event log checks: 0 any, 1 error, 2 warning, 3 information
    uint32_t levelMask = 0;
    uint32_t responseCode = 0;
};

// Log types of the list: 0 to 2 and 5 are event logs, 3, 4, 6 and 7 text log files.
bool IsEventLogType(uint32_t type);
bool IsLogFileType(uint32_t type);

// Walks the enabled entries of "LOGS" up to the first one without "LogType" and passes
// each whose type `wanted` accepts, with its "File" value and check, to `take`.
// Returns the number of entries taken.
int ReadLogChecks(service::ServiceContext& ctx, const std::function<bool(uint32_t)>& wanted,
                  const std::function<void(uint32_t type, std::string file, LogCheck check)>& take);

// Logs at level 2 and records "NoKeywordError" for a check without include groups.
void ReportNoKeywords(service::ServiceContext& ctx, const companion::Logger& log,
                      std::string_view section, const LogCheck& check);

// What a monitor puts into the alert of a matched record.
struct MatchContext {
    std::string_view kindText;              // "Event Log" or "Log File"
    std::string_view descriptionSeparator;  // between response description and record
    std::string source;                     // "<log> Event Log" or "Log File <path>"
    std::string info2;                      // the log name or the path
    bool responseAlertIsAuto = false;
};

// Runs the check's response for `text` and raises the alert as the runner's result asks.
// Returns true when the record counts as alerted (for the recent-record list).
bool ActOnMatch(service::ServiceContext& ctx, const LogCheck& check, const std::string& text,
                const MatchContext& match);

// The text as it may go into an alert: control characters (other than tab) become blanks,
// so binary data in a record never reaches the alert files raw.
std::string PrintableText(std::string_view text);

// The status page section of a monitor's recent records: `heading`, then one row per record,
// newest first (with the time column when `withTime`), or the row saying why there is none.
void WriteRecentSection(std::ostream& page, std::string_view heading, std::string_view columnHeads,
                        bool withTime, int checkCount, const RecentRecords& recent);

// What the event log and log file monitors share: the poll interval, the check count the
// status page reads, the duplicate filter and the recent alerted records.
// @threadsafety The cycle runs on the monitor's thread; Recent() and CheckCount() may be
// called from any thread.
class LogMonitorBase : public service::Monitor {
  public:
    bool IntervalsDisabled() const override { return false; }
    void ClearAlertTicks() override {}

    // The fifteen most recent alerted records, newest first.
    const RecentRecords& Recent() const { return recent_; }
    // The enabled checks of the configuration read last; 0 before it is read.
    int CheckCount() const { return checkCount_; }

  protected:
    uint32_t pollSeconds_ = 10;
    std::atomic<int> checkCount_{0};
    int unavailableCount_ = 0;
    DuplicateFilter duplicates_;
    RecentRecords recent_;
};

// Runs `monitor` as the thread of component `code`, published for the status page while it
// runs; an unexpected error is logged under `module`.
void RunPublishedMonitor(service::ServiceContext& ctx, int code,
                         const std::shared_ptr<service::Monitor>& monitor);

}  // namespace kvzn::logmon
