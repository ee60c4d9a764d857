// The performance counter monitor: the thirteen built-in checks and the custom checks, their
// sampling cycle, the CSV log, and the data of the status and performance history pages.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "counters/counter_query.h"
#include "monitors/performance_log.h"
#include "service/monitor_thread.h"
#include "service/service_context.h"

namespace kvzn::monitors {

inline constexpr int kPerformanceComponent = 4;  // "Performance Monitor"
inline constexpr std::string_view kPerformanceModule = "kvZNPerformanceMonitor";
inline constexpr int kCategoryPerformance = 8;

// One counter check, built-in or custom.
struct CounterEntry {
    uint32_t handle = 0;         // the query's counter; 0 when removed
    uint32_t lastAlertTick = 0;  // 0 = none
    int64_t previousValue = 0;   // for checks that measure the increase
    bool enabled = false;
    bool unavailable = false;
    bool restart = false;  // response code 2
    bool measureIncrease = false;
    bool responseInProgress = false;
    std::string name;
    std::string displayName;
    std::string command;
    std::string objectName;
    std::string instanceName;
    std::string instanceParent;
    std::string counterName;
    std::string suffix;
    int32_t instanceIndex = -1;  // shown in messages only
    int64_t threshold = 0;
    uint32_t levelMask = 0;
    uint32_t responseCode = 0;
    uint32_t comparison = 0;
    uint32_t countBeforeAction = 0;
    uint32_t failureCount = 0;
    uint32_t nonNotificationPeriod = 0;  // minutes

    counters::CounterPath Path() const {
        return {objectName, instanceName, instanceParent, counterName};
    }
};

// The fixed part of a built-in check.
struct BuiltInCounter {
    std::string_view name;
    std::string_view displayName;
    std::string_view object;
    std::string_view instance;
    std::string_view counter;
    std::string_view suffix;
    uint32_t comparison;
    bool measureIncrease;
};

// The built-in checks, in table order. "System Registry size ..." and the three server
// error checks have no counter on this system: they fail to add and are reported
// unavailable.
inline constexpr std::array<BuiltInCounter, 13> kBuiltInCounters = {{
    {"High CPU usage", "CPU Usage", "Processor", "_Total", "% Processor Time", "%", 2, false},
    {"Memory low", "Available memory", "Memory", "", "Available Bytes", "b", 3, false},
    {"% Paging File in use high", "Paging file(s) - % used", "Paging File", "_Total", "% Usage",
     "%", 2, false},
    {"System Registry size near or at maximum", "Registry Database - % used", "System", "",
     "% Registry Quota In Use", "%", 2, false},
    {"High no. Running processes", "No. Running processes", "Objects", "", "Processes", "", 2,
     false},
    {"Suspicious no. Server Access attempts", "No. Recent Suspect Access Attempts", "Server", "",
     "Errors Access Permissions", "", 2, true},
    {"Suspicious no. Server Logon attempts", "No. Recent Suspect Logon Attempts", "Server", "",
     "Errors Logon", "", 2, true},
    {"High no. Internal Server Errors", "No. Recent Internal Server Errors", "Server", "",
     "Errors System", "", 2, true},
    {"High Disk Queue Length", "Current Disk Queue Length", "PhysicalDisk", "_Total",
     "Current Disk Queue Length", " reqs.", 2, false},
    {"High no. Print Job Errors", "No. Recent Print Job Errors", "Print Queue", "_Total",
     "Job Errors", "", 2, true},
    {"High Print Queue Length", "Current Print Queue Length", "Print Queue", "_Total", "Jobs", "",
     2, false},
    {"High no. Not Ready Errors", "No. Recent Printer Not Ready Errors", "Print Queue", "_Total",
     "Not Ready Errors", "", 2, true},
    {"High no. Out of Paper Errors", "No. Recent Out of Paper Errors", "Print Queue", "_Total",
     "Out of Paper Errors", "", 2, true},
}};

// What PerformanceCounter_Config reads.
struct PerformanceConfig {
    uint32_t intervalSeconds = 30;       // "PerfInterval"; 0 disables the monitor
    bool logging = false;                // "EnablePerfLogging" 1
    std::string csvPath;                 // "PerfDataFile", one pair of surrounding quotes removed
    uint32_t autoDeleteHours = 24;       // "AutoDelTime"
    std::vector<CounterEntry> builtIns;  // all 13, in table order
    std::vector<CounterEntry> customs;   // the enabled custom checks, in list order
};

// Reads the configuration; returns the number of enabled checks (built-in plus custom).
int PerformanceCounter_Config(service::ServiceContext& ctx, PerformanceConfig& config);

// CheckCounterForError: evaluates one sample (`value`, the raw reading; for an increase-
// measuring check it becomes the increase) at tick `now` and carries out the follow-up of
// a response in progress. Returns 1 when the value failed the check.
// Ordinary failure alerts carry auto-response 0; only the two follow-up alerts ("Automatic
// response failed." and "... was successful.") carry 1.
// @threadsafety The monitor's thread only.
int CheckCounterForError(service::ServiceContext& ctx, CounterEntry& entry, int64_t& value,
                         uint32_t now);

// One row of the performance section of the status page.
struct PerformanceRow {
    std::string displayName;
    bool available = false;     // false: the value reads "N/A"
    std::string valueText;      // "42%" or, for increases, "3 (120)"
    std::string thresholdText;  // "> 90%", "< 5 (> 0)"
    int percent = 0;            // width of the bar, 0 to 100
    bool failed = false;        // the bar is red
};

// One of the three groups: server (built-in 0 to 7), print server (8 to 12), custom.
struct PerformanceGroup {
    enum class State {
        kNotMonitored,  // "Not being monitored or no data currently available ..."
        kBusy,          // "The Server is currently busy. Data is unavailable at this time ..."
        kError,         // "Error retrieving info. ..."
        kRows,
    };
    State state = State::kNotMonitored;
    std::vector<PerformanceRow> rows;
};

// The performance section of the status page, as data. Built from the values the monitor
// sampled in its last cycle: looking at the page never collects counters.
struct PerformanceWebData {
    std::string lastChecked = "N/A";
    std::array<PerformanceGroup, 3> groups;
};

// The performance history page, as data.
struct PerformanceHistory {
    bool loggingEnabled = false;  // "EnablePerfLogging" as it is now
    std::string path;             // "PerfDataFile"
    bool fileRead = false;        // false: "Performance logging has yet to be collected ..."
    int rowsAsked = 100;
    HistoryTable table;
};

// How the monitor reaches the machine; tests give a fixture root and a fake spooler.
struct PerformanceSources {
    std::string root = "/";
    counters::CounterQuery::SpoolerFactory makeSpooler;
};

// The monitor. Run() is its thread; the data accessors may be called from any thread.
// @threadsafety Run on one thread; WebData, HistoryRules and Entries-free accessors Always.
class PerformanceMonitor : public service::Monitor {
  public:
    explicit PerformanceMonitor(PerformanceSources sources = {});
    ~PerformanceMonitor() override;

    // The whole thread: start sequence, cycles until the stop event. Sets the performance
    // ready flag of the context on every way out of the start sequence.
    void Run(service::ServiceContext& ctx);
    // The start sequence alone: configuration, CSV file, query, counters, first collection.
    // True when the cycles are to follow; false when the monitor closes (nothing to do,
    // no query, or the service stops).
    bool Start(service::ServiceContext& ctx);

    const service::MonitorIdentity& Identity() const override;
    int ReadConfiguration(service::ServiceContext& ctx) override;
    bool IntervalsDisabled() const override;
    // One monitoring cycle at tick `now` (collect, log, evaluate, every sixth cycle the
    // recheck); a tick below the last cycle's clears every last alert time first. Returns
    // the interval in milliseconds.
    uint32_t RunCycle(service::ServiceContext& ctx, uint32_t now) override;
    void ClearAlertTicks() override;

    // The status page rows from the last cycle; the busy groups when a collection holds the
    // performance data lock.
    PerformanceWebData WebData() const;
    // The threshold rules of the logged columns, in heading order.
    std::vector<HistoryRule> HistoryRules() const;

    // For tests on the monitor's thread: the entries as configured, with their state.
    const std::vector<CounterEntry>& BuiltIns() const;
    const std::vector<CounterEntry>& Customs() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The thread entry of the performance counter monitor (the thread table's PerformanceCounter).
void PerformanceCounter(service::ServiceContext& ctx);

// The monitor of the running PerformanceCounter thread, or null.
// @threadsafety Always.
std::shared_ptr<PerformanceMonitor> CurrentPerformanceMonitor(const service::ServiceContext& ctx);

// The web-data mode (report mode 3): the performance rows of the status page; every group
// "not monitored" when no monitor runs.
// @threadsafety Always.
PerformanceWebData PerformanceCounterWebData(const service::ServiceContext& ctx);

// The history mode (report mode 1): "EnablePerfLogging" and "PerfDataFile" read afresh,
// the last `rows` rows (100 when 0) of the log judged by the running monitor's thresholds.
// @threadsafety Always; reads the file without a lock (a partly written row may show).
PerformanceHistory PerformanceCounterHistory(service::ServiceContext& ctx, int rows);

}  // namespace kvzn::monitors
