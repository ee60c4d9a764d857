// The readers of the performance data: the kernel statistics files, mount points, counter
// paths and the performance CSV log. Any text is read without harm and gives records that
// hold together.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "counters/counter_query.h"
#include "fuzz_check.h"
#include "monitors/performance_log.h"
#include "platform/system_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace kvzn;

    if (auto stat = platform::ParseProcStat(text); stat.ok()) {
        for (const platform::CpuTimes& cpu : stat->cpus) {
            KVZN_FUZZ_CHECK(cpu.name.rfind("cpu", 0) == 0);
        }
    }
    platform::ParseMemInfo(text);
    if (auto disks = platform::ParseDiskStats(text); disks.ok()) {
        for (const platform::DiskStat& d : *disks) {
            KVZN_FUZZ_CHECK(!d.name.empty() && d.name.find(' ') == std::string::npos);
        }
    }
    if (auto points = platform::ParseMountPoints(text); points.ok()) {
        KVZN_FUZZ_CHECK(!points->empty());
    }

    if (auto path = counters::ParseCounterPath(text)) {
        const std::string formatted = counters::FormatCounterPath(*path);
        const auto again = counters::ParseCounterPath(formatted);
        KVZN_FUZZ_CHECK(again.has_value());
        KVZN_FUZZ_CHECK(again->object == path->object && again->counter == path->counter &&
                        again->parent == path->parent);
    }

    monitors::HistoryTable table;
    const int rows = size > 0 ? data[0] % 8 : 0;
    if (monitors::ProcessLoggedData(text, rows, {{2, 90}, {4, 10}, {5, 3}}, table) == 1) {
        KVZN_FUZZ_CHECK(!table.headings.empty());
        KVZN_FUZZ_CHECK(table.rows.size() <= static_cast<size_t>(rows == 0 ? 100 : rows));
        for (const monitors::HistoryRow& row : table.rows) {
            for (const monitors::HistoryCell& cell : row.cells) {
                // A judged cell is a number; anything else is shown as not read.
                if (cell.kind != monitors::HistoryCell::Kind::kNotRead) {
                    KVZN_FUZZ_CHECK(cell.text.find_first_of("0123456789") != std::string::npos);
                    KVZN_FUZZ_CHECK(cell.text.find_first_not_of(" \t-0123456789") ==
                                    std::string::npos);
                }
            }
        }
    }
    return 0;
}
