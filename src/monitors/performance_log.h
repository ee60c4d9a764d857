// The performance CSV log: its heading, the rows of samples, the purge of old rows and the
// history table the performance log page shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace kvzn::monitors {

// The value logged for a counter that could not be read; written as "N/A".
inline constexpr int64_t kNotRead = -999;

// 1 when `value` fails a check of comparison code `comparison` against `threshold`:
// 1 equal, 2 above, 3 below, 4 the complement (100 - value) below, 5 below but not 0;
// any other code never fails. Signed 64-bit throughout.
int CounterFails(uint32_t comparison, int64_t value, int64_t threshold);

// What the log needs to know of one check, in heading order.
struct LoggedCheck {
    std::string displayName;
    uint32_t comparison = 0;
    int64_t threshold = 0;
    std::string suffix;
};

// "CPU Usage (> 90 %)": the display name, the comparison, the threshold, a blank, the suffix.
std::string HeadingCell(const LoggedCheck& check);
// "Date/Time" and a comma before each check's heading cell; no line end.
std::string HeadingLine(const std::vector<LoggedCheck>& checks);

// The log file of one run. Every member is called on the performance monitor's thread.
class PerformanceLog {
  public:
    PerformanceLog(std::string path, uint32_t autoDeleteHours, int dateFormat,
                   const platform::Clock& clock);

    const std::string& Path() const { return path_; }

    // CheckCSVLogHeadings: 1 when the file's first line (of any length) holds the same
    // cells as `heading`, compared without regard to case; 0 otherwise, also for a missing
    // or empty file.
    int CheckHeadings(std::string_view heading) const;
    // Keeps a file whose heading matches. Otherwise saves it as "<path>.bak" and starts the
    // file anew with the heading. 0 (logged) when the file cannot be written.
    int Prepare(std::string_view heading);
    // LogPerformanceValue for a whole row: a line end, the local date and time and each
    // value ("N/A" for kNotRead), written with one append so that a reader never sees half
    // a row. Every 32nd row purges old rows first. 0 when the file cannot be written.
    int AppendRow(const std::vector<int64_t>& values);
    // PurgePerformanceLog: drops the rows at the head that are older than the auto-delete
    // hours (or whose date cannot be read) and rewrites the file atomically. 1 when done
    // or nothing was to be done, 0 on a file error (the file is then left as it was).
    int Purge();

  private:
    std::string path_;
    uint32_t autoDeleteHours_;
    int dateFormat_;
    const platform::Clock& clock_;
    int rowCounter_ = 0;  // 0 to 31: the purge runs when it is 0
};

// One cell of the history table.
struct HistoryCell {
    enum class Kind { kPlain, kFailed, kNotRead };
    std::string text;
    Kind kind = Kind::kPlain;
};
struct HistoryRow {
    std::string time;
    std::vector<HistoryCell> cells;
};
// The performance history: what the page shows, as data.
struct HistoryTable {
    std::vector<std::string> headings;  // "Date/Time" first
    std::vector<HistoryRow> rows;       // oldest first
};

// What the history judges a logged value by.
struct HistoryRule {
    uint32_t comparison = 0;
    int64_t threshold = 0;
};

// ProcessLoggedData: the last `rows` rows (100 when 0) of the log `text`, each value
// judged by the rule of its column (the checks in heading order; comparison 4 counts as
// 3 here). "N/A" and text that is not a number are kNotRead cells. 0 for an empty text.
int ProcessLoggedData(std::string_view text, int rows, const std::vector<HistoryRule>& rules,
                      HistoryTable& out);

}  // namespace kvzn::monitors
