// The short memories of the event log and log file monitors: the duplicate filter that
// drops a record seen within the last five seconds, and the fifteen most recent alerted
// records shown by the status page.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kvzn::logmon {

// A ring of ten (origin, text, tick) entries. `origin` is the event source or the file
// path. Origins and texts compare exactly over their whole length (a record is at most a
// few tens of kilobytes); the five-second age is measured as the unsigned 32-bit distance
// between ticks, so it holds across the tick count's wrap.
// @threadsafety Owned by one monitor thread.
class DuplicateFilter {
  public:
    static constexpr uint32_t kWindowMs = 5000;
    // True when the same origin and text were stored less than five seconds before `now`;
    // otherwise stores them and returns false.
    bool IsRecentDuplicate(std::string_view origin, std::string_view text, uint32_t now);

  private:
    struct Slot {
        std::string origin;
        std::string text;
        uint32_t tick = 0;
        bool used = false;
    };
    std::array<Slot, 10> slots_;
    size_t next_ = 0;
};

// One row of the status page: the check that alerted, when, and the record's text.
struct RecentRecord {
    std::string checkName;
    std::string timeText;  // empty for log file records
    std::string message;
};

// At most fifteen rows, newest first.
// @threadsafety Always: the store keeps its own lock.
class RecentRecords {
  public:
    static constexpr size_t kCapacity = 15;
    void Add(RecentRecord record);
    // Newest first.
    std::vector<RecentRecord> Rows() const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::deque<RecentRecord> rows_;  // guarded by mutex_
};

}  // namespace kvzn::logmon
