// The event log monitor: follows the system journal as the event logs named by the event
// log checks, tests each new record against the checks of its log and alerts.
#pragma once

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

// @threadsafety As LogMonitorBase; WriteWebData may be called from any thread.
class EventLogMonitor : public LogMonitorBase {
  public:
    using JournalOpener = std::function<platform::Result<std::unique_ptr<platform::Journal>>(
        const std::optional<std::string>& directory)>;
    // `open` opens a journal for each log; none: the real journal (platform::OpenJournal).
    explicit EventLogMonitor(JournalOpener open = {});

    const service::MonitorIdentity& Identity() const override;
    int ReadConfiguration(service::ServiceContext& ctx) override;
    void Prepare(service::ServiceContext& ctx) override;
    uint32_t RunCycle(service::ServiceContext& ctx, uint32_t now) override;
    void WriteWebData(service::ServiceContext& ctx, service::ReportRequest& request) override;

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
    std::optional<std::string> journalDirectory_;
};

// The thread entry of the thread table.
void VerifyEventLogs(service::ServiceContext& ctx);
// The published monitor of the running service, or null.
std::shared_ptr<EventLogMonitor> CurrentEventLogMonitor(const service::ServiceContext& ctx);

}  // namespace kvzn::logmon
