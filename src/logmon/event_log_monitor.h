// The event log monitor: follows the system journal as the event logs named by the event
// log checks, tests each new record against the checks of its log and alerts.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logmon/journal_events.h"
#include "logmon/log_checks.h"
#include "logmon/recent_records.h"
#include "platform/journal.h"
#include "service/monitor_thread.h"

namespace kvzn::logmon {

inline constexpr int kEventLogComponent = 2;
// When set, the journal files of this directory are read instead of the system journal.
inline constexpr const char* kJournalDirVariable = "KVZN_JOURNAL_DIR";

// One monitored log with the checks on it.
struct MonitoredLog {
    std::string name;  // as first configured
    LogKind kind = LogKind::kCustom;
    std::vector<LogCheck> checks;
    std::unique_ptr<platform::Journal> journal;
    bool available = false;
    std::string cursorPath;  // where the position survives a restart
};

// @threadsafety The cycle runs on the monitor's thread; Recent() and WriteWebData may be
// called from any thread.
class EventLogMonitor : public service::Monitor {
  public:
    using JournalOpener = std::function<platform::Result<std::unique_ptr<platform::Journal>>(
        const std::optional<std::string>& directory)>;
    // `open` opens a journal for each log; none: the real journal (platform::OpenJournal).
    explicit EventLogMonitor(JournalOpener open = {});

    const service::MonitorIdentity& Identity() const override;
    int ReadConfiguration(service::ServiceContext& ctx) override;
    bool IntervalsDisabled() const override { return false; }
    void Prepare(service::ServiceContext& ctx) override;
    uint32_t RunCycle(service::ServiceContext& ctx, uint32_t now) override;
    void ClearAlertTicks() override {}
    void WriteWebData(service::ServiceContext& ctx, service::ReportRequest& request) override;

    // The fifteen most recent alerted records, newest first.
    const RecentRecords& Recent() const { return recent_; }
    // The enabled checks of the configuration read last; 0 before it is read.
    int CheckCount() const { return checkCount_; }
    const std::vector<MonitoredLog>& Logs() const { return logs_; }
    // Reads and evaluates what the log holds after its position; false when the service
    // is stopping.
    bool ProcessEventLog(service::ServiceContext& ctx, MonitoredLog& log);
    // Takes in the journals' change notices and processes every available log in order.
    void ProcessAll(service::ServiceContext& ctx);

  private:
    bool MonitorEventLog(service::ServiceContext& ctx, MonitoredLog& log);
    void Evaluate(service::ServiceContext& ctx, MonitoredLog& log, const EventRecord& event);
    void SaveCursor(const MonitoredLog& log, const std::string& cursor);

    JournalOpener open_;
    std::vector<MonitoredLog> logs_;
    uint32_t pollSeconds_ = 10;
    std::atomic<int> checkCount_{0};  // read by the status page
    int unavailableCount_ = 0;
    std::optional<std::string> journalDirectory_;
    DuplicateFilter duplicates_;
    RecentRecords recent_;
};

// The thread entry of the thread table.
void VerifyEventLogs(service::ServiceContext& ctx);
// The published monitor of the running service, or null.
std::shared_ptr<EventLogMonitor> CurrentEventLogMonitor(const service::ServiceContext& ctx);

}  // namespace kvzn::logmon
