// The performance CSV log: heading, rows, purge by age and the history table.
#include "monitors/performance_log.h"

#include <charconv>
#include <ctime>

#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "platform/file.h"
#include "platform/text.h"

namespace kvzn::monitors {

namespace {

constexpr std::string_view kModule = "kvZNPerformanceMonitor";
constexpr int kPurgeEvery = 32;

// The lines of `text` without their line ends ("\r\n" counts as one).
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string_view> Cells(std::string_view line) {
    std::vector<std::string_view> cells;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        cells.push_back(line.substr(start, comma - start));
        if (comma == std::string_view::npos) {
            return cells;
        }
        start = comma + 1;
    }
}

bool ParseInt(std::string_view text, int64_t& out) {
    text = platform::TrimBlanks(text);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The number at [pos, pos + len) of the row, or -1.
int Field(std::string_view row, size_t pos, size_t len) {
    if (row.size() < pos + len) {
        return -1;
    }
    int value = 0;
    const char* begin = row.data() + pos;
    const auto [end, ec] = std::from_chars(begin, begin + len, value);
    return ec == std::errc() && end == begin + len ? value : -1;
}

// True when the row's date lies more than `maxAge` seconds before `now`, or cannot be
// read (rows with unreadable dates at the head count as old).
bool IsOldRow(std::string_view row, int dateFormat, std::time_t now, int64_t maxAge) {
    const int first = Field(row, 0, 2);
    if (first <= 0) {
        return true;
    }
    const int second = Field(row, 3, 2);
    const int year = Field(row, 6, 4);
    const int hour = Field(row, 11, 2);
    const int minute = Field(row, 14, 2);
    if (second < 0 || year < 0 || hour < 0 || minute < 0) {
        return true;
    }
    std::tm tm{};
    tm.tm_mday = dateFormat == 2 ? second : first;
    tm.tm_mon = (dateFormat == 2 ? first : second) - 1;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    const std::time_t when = std::mktime(&tm);
    if (when == static_cast<std::time_t>(-1)) {
        return true;
    }
    return static_cast<int64_t>(now) - static_cast<int64_t>(when) > maxAge;
}

}  // namespace

int CounterFails(uint32_t comparison, int64_t value, int64_t threshold) {
    switch (comparison) {
        case 1:
            return value == threshold ? 1 : 0;
        case 2:
            return value > threshold ? 1 : 0;
        case 3:
            return value < threshold ? 1 : 0;
        case 4:
            // The complement of a percentage; computed so that no value can overflow.
            return value > 100 - threshold ? 1 : 0;
        case 5:
            return value < threshold && value != 0 ? 1 : 0;
        default:
            return 0;
    }
}

std::string HeadingCell(const LoggedCheck& check) {
    std::string_view opening = " (< (but not 0) ";
    switch (check.comparison) {
        case 1:
            opening = " (= ";
            break;
        case 2:
            opening = " (> ";
            break;
        case 3:
        case 4:
            opening = " (< ";
            break;
        default:
            break;
    }
    return check.displayName + std::string(opening) + std::to_string(check.threshold) + " " +
           check.suffix + ")";
}

std::string HeadingLine(const std::vector<LoggedCheck>& checks) {
    std::string line = "Date/Time";
    for (const LoggedCheck& check : checks) {
        line += ",";
        line += HeadingCell(check);
    }
    return line;
}

PerformanceLog::PerformanceLog(std::string path, uint32_t autoDeleteHours, int dateFormat,
                               const platform::Clock& clock)
    : path_(std::move(path)),
      autoDeleteHours_(autoDeleteHours),
      dateFormat_(dateFormat),
      clock_(clock) {}

int PerformanceLog::CheckHeadings(std::string_view heading) const {
    platform::Result<std::string> text = platform::ReadWholeFile(path_);
    if (!text.ok() || text->empty()) {
        return 0;
    }
    const std::vector<std::string_view> lines = Lines(*text);
    const std::vector<std::string_view> have = Cells(lines.front());
    const std::vector<std::string_view> want = Cells(heading);
    if (have.size() != want.size()) {
        return 0;
    }
    for (size_t i = 1; i < have.size(); ++i) {
        if (!platform::EqualsNoCase(have[i], want[i])) {
            return 0;
        }
    }
    return 1;
}

int PerformanceLog::Prepare(std::string_view heading) {
    const companion::Logger log(kModule, "PerformanceCounter");
    if (CheckHeadings(heading) == 1) {
        return 1;
    }
    const std::string backup = path_ + ".bak";
    platform::RemoveFile(backup);
    if (platform::Result<std::string> old = platform::ReadWholeFile(path_); old.ok()) {
        if (const platform::Status saved = platform::WriteFileAtomically(backup, *old);
            !saved.ok()) {
            log(2, "The old CSV logging file could not be saved as ", backup, ": ", saved.Text());
        }
    }
    if (const platform::Status written = platform::WriteFileAtomically(path_, heading);
        !written.ok()) {
        log(1, "The CSV logging file ", path_, " could not be written. Logging is disabled (",
            written.Text(), ")");
        return 0;
    }
    rowCounter_ = 0;
    return 1;
}

int PerformanceLog::AppendRow(const std::vector<int64_t>& values) {
    if (rowCounter_ == 0) {
        Purge();
    }
    rowCounter_ = (rowCounter_ + 1) % kPurgeEvery;
    std::string row = "\n" + alerting::StandardTimeText(dateFormat_, clock_);
    for (const int64_t value : values) {
        row += ",";
        row += value == kNotRead ? std::string("N/A") : std::to_string(value);
    }
    const platform::Status status = platform::AppendToFile(path_, row, platform::Durability::kNone);
    if (!status.ok()) {
        companion::Logger(kModule, "LogPerformanceValue")(1, "Unable to write performance data to ",
                                                          path_, ": ", status.Text());
        return 0;
    }
    return 1;
}

int PerformanceLog::Purge() {
    const companion::Logger log(kModule, "PurgePerformanceLog");
    platform::Result<std::string> text = platform::ReadWholeFile(path_);
    if (!text.ok()) {
        if (text.status().err() == ENOENT) {
            return 1;
        }
        log(1, "Unable to read the performance log for purging: ", text.status().Text());
        return 0;
    }
    const std::string& content = *text;
    const size_t headingEnd = content.find('\n');
    if (content.empty() || headingEnd == std::string::npos) {
        return 1;  // empty, or a heading alone
    }
    const int64_t maxAge = static_cast<int64_t>(autoDeleteHours_) * 3600;
    const std::time_t now = clock_.Now();
    size_t keepFrom = headingEnd;  // the line end before the first row kept
    bool any = false;
    while (keepFrom != std::string::npos) {
        const size_t rowStart = keepFrom + 1;
        const size_t rowEnd = content.find('\n', rowStart);
        const std::string_view row(
            content.data() + rowStart,
            (rowEnd == std::string::npos ? content.size() : rowEnd) - rowStart);
        if (!IsOldRow(row, dateFormat_, now, maxAge)) {
            break;
        }
        any = true;
        keepFrom = rowEnd;
    }
    if (!any) {
        return 1;
    }
    std::string kept = content.substr(0, headingEnd);
    if (kept.ends_with('\r')) {
        kept.pop_back();
    }
    if (keepFrom != std::string::npos) {
        kept.append(content, keepFrom, std::string::npos);
    }
    if (const platform::Status status = platform::WriteFileAtomically(path_, kept); !status.ok()) {
        log(1, "Unable to rewrite the performance log ", path_, ": ", status.Text());
        return 0;
    }
    return 1;
}

int ProcessLoggedData(std::string_view text, int rows, const std::vector<HistoryRule>& rules,
                      HistoryTable& out) {
    out = {};
    if (text.empty()) {
        return 0;
    }
    const std::vector<std::string_view> lines = Lines(text);
    for (const std::string_view cell : Cells(lines.front())) {
        out.headings.emplace_back(cell);
    }
    std::vector<std::string_view> data;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (!platform::TrimBlanks(lines[i]).empty()) {
            data.push_back(lines[i]);
        }
    }
    const size_t wanted = rows <= 0 ? 100 : static_cast<size_t>(rows);
    const size_t first = data.size() > wanted ? data.size() - wanted : 0;
    for (size_t i = first; i < data.size(); ++i) {
        const std::vector<std::string_view> cells = Cells(data[i]);
        HistoryRow row;
        row.time = cells.front();
        for (size_t c = 1; c < cells.size(); ++c) {
            HistoryCell cell;
            cell.text = cells[c];
            int64_t value = 0;
            if (!ParseInt(cells[c], value)) {
                cell.kind = HistoryCell::Kind::kNotRead;
            } else if (c - 1 < rules.size()) {
                const HistoryRule& rule = rules[c - 1];
                const uint32_t comparison = rule.comparison == 4 ? 3 : rule.comparison;
                if (CounterFails(comparison, value, rule.threshold) != 0) {
                    cell.kind = HistoryCell::Kind::kFailed;
                }
            }
            row.cells.push_back(std::move(cell));
        }
        out.rows.push_back(std::move(row));
    }
    return 1;
}

}  // namespace kvzn::monitors
