// What the system monitors give the web pages: typed rows that the pages render (and
// escape), so that no monitor writes markup. Header-only, so that a monitor can implement
// it without linking the web server.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kvzn::web {

// One row of a status table: a name, its most recent value, and whether it shows a problem.
struct ReportRow {
    std::string name;
    std::string value;
    bool problem = false;
};

// One table of the status page. `message` replaces the rows when set ("Not being monitored
// ...", "No entries ...").
struct ReportSection {
    std::string heading;                     // "Performance Counters ..."
    std::string icon;                        // file in the images folder; empty: none
    std::optional<std::string> lastChecked;  // time text of the last check
    std::string nameHeading;                 // column headings; empty: no heading row
    std::string valueHeading;
    std::vector<ReportRow> rows;
    std::string message;
};

// The performance history: the column names and the newest `lineCount` lines of the
// performance log, oldest first.
struct PerformanceHistory {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> lines;
    std::string message;  // shown instead of the table when set ("Performance logging is off")
};

// A monitor's part of the status page. Called on web worker threads while the monitor
// runs; an implementation copies its state under its own lock.
class StatusRowsProvider {
  public:
    virtual ~StatusRowsProvider() = default;
    virtual std::vector<ReportSection> StatusSections() const = 0;
};

class PerformanceHistoryProvider {
  public:
    virtual ~PerformanceHistoryProvider() = default;
    // `lineCount`: how many of the newest lines to give (at least 1).
    virtual PerformanceHistory History(int lineCount) const = 0;
};

// The providers the pages ask, set as the monitors start. An absent provider shows its
// section as "Not being monitored ...".
// @threadsafety Always.
class ReportSources {
  public:
    enum Kind { kPerformance, kDiskSpace, kEventLogs, kLogFiles, kKinds };

    void Set(Kind kind, std::shared_ptr<const StatusRowsProvider> provider) {
        std::scoped_lock lock(mutex_);
        status_[kind] = std::move(provider);
    }
    std::shared_ptr<const StatusRowsProvider> Get(Kind kind) const {
        std::scoped_lock lock(mutex_);
        return status_[kind];
    }
    void SetHistory(std::shared_ptr<const PerformanceHistoryProvider> provider) {
        std::scoped_lock lock(mutex_);
        history_ = std::move(provider);
    }
    std::shared_ptr<const PerformanceHistoryProvider> History() const {
        std::scoped_lock lock(mutex_);
        return history_;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const StatusRowsProvider> status_[kKinds];
    std::shared_ptr<const PerformanceHistoryProvider> history_;
};

}  // namespace kvzn::web
