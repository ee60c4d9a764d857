// Parsers of the kernel statistics files; each record is read once into its type.
#include "platform/system_stats.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace kvzn::platform {

namespace {

// Splits at blanks and tabs.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

bool ToNumber(std::string_view text, uint64_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// Calls `line` for each line of `text`.
template <class F>
void ForEachLine(std::string_view text, F&& line) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        line(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

Status Unreadable(const char* file) {
    return Status::Error(EINVAL, std::string("no readable record in ") + file);
}

}  // namespace

Result<ProcStat> ParseProcStat(std::string_view text) {
    ProcStat stat;
    bool any = false;
    ForEachLine(text, [&](std::string_view line) {
        // Only the first two fields of the other lines count: "intr" carries thousands.
        const size_t keyEnd = line.find(' ');
        if (keyEnd == std::string_view::npos) {
            return;
        }
        const std::string_view key = line.substr(0, keyEnd);
        if (key.substr(0, 3) == "cpu") {
            const std::vector<std::string_view> f = Fields(line);
            if (f.size() < 5) {
                return;
            }
            CpuTimes cpu;
            cpu.name = f[0];
            uint64_t* slots[] = {&cpu.user,   &cpu.nice, &cpu.system,  &cpu.idle,
                                 &cpu.iowait, &cpu.irq,  &cpu.softirq, &cpu.steal};
            for (size_t i = 0; i < 8 && i + 1 < f.size(); ++i) {
                if (!ToNumber(f[i + 1], *slots[i])) {
                    return;
                }
            }
            stat.cpus.push_back(std::move(cpu));
            any = true;
            return;
        }
        std::string_view rest = line.substr(keyEnd);
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        uint64_t value = 0;
        if (!ToNumber(rest.substr(0, rest.find(' ')), value)) {
            return;
        }
        if (key == "ctxt") {
            stat.contextSwitches = value;
        } else if (key == "intr") {
            stat.interrupts = value;
        } else if (key == "processes") {
            stat.processesCreated = value;
        } else if (key == "procs_running") {
            stat.processesRunning = value;
        } else {
            return;
        }
        any = true;
    });
    if (!any) {
        return Unreadable("/proc/stat");
    }
    return stat;
}

Result<MemInfo> ParseMemInfo(std::string_view text) {
    MemInfo info;
    bool any = false;
    ForEachLine(text, [&](std::string_view line) {
        const std::vector<std::string_view> f = Fields(line);
        uint64_t kb = 0;
        if (f.size() < 2 || !ToNumber(f[1], kb) || kb > UINT64_MAX / 1024) {
            return;
        }
        const uint64_t bytes = f.size() >= 3 && f[2] == "kB" ? kb * 1024 : kb;
        const std::string_view key = f[0];
        if (key == "MemAvailable:") {
            info.available = bytes;
        } else if (key == "MemTotal:") {
            info.total = bytes;
        } else if (key == "MemFree:") {
            info.free = bytes;
        } else if (key == "Cached:") {
            info.cached = bytes;
        } else if (key == "SwapTotal:") {
            info.swapTotal = bytes;
        } else if (key == "SwapFree:") {
            info.swapFree = bytes;
        } else if (key == "Committed_AS:") {
            info.committed = bytes;
        } else if (key == "CommitLimit:") {
            info.commitLimit = bytes;
        } else {
            return;
        }
        any = true;
    });
    if (!any) {
        return Unreadable("/proc/meminfo");
    }
    return info;
}

Result<std::vector<DiskStat>> ParseDiskStats(std::string_view text) {
    std::vector<DiskStat> disks;
    ForEachLine(text, [&](std::string_view line) {
        // major minor name reads merged sectors ms writes merged sectors ms in-flight io-ms ...
        const std::vector<std::string_view> f = Fields(line);
        if (f.size() < 14) {
            return;
        }
        DiskStat disk;
        disk.name = f[2];
        uint64_t unused = 0;
        if (!ToNumber(f[3], disk.reads) || !ToNumber(f[4], unused) ||
            !ToNumber(f[5], disk.sectorsRead) || !ToNumber(f[7], disk.writes) ||
            !ToNumber(f[9], disk.sectorsWritten) || !ToNumber(f[11], disk.inFlight) ||
            !ToNumber(f[12], disk.ioMs)) {
            return;
        }
        disks.push_back(std::move(disk));
    });
    if (disks.empty() && text.find_first_not_of(" \t\n") != std::string_view::npos) {
        return Unreadable("/proc/diskstats");
    }
    return disks;
}

Result<std::vector<std::string>> ParseMountPoints(std::string_view text) {
    std::vector<std::string> points;
    ForEachLine(text, [&](std::string_view line) {
        // id parent major:minor root mount-point options ...
        const std::vector<std::string_view> f = Fields(line);
        if (f.size() < 5) {
            return;
        }
        const std::string_view raw = f[4];
        std::string point;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 3 < raw.size() && raw[i + 1] >= '0' && raw[i + 1] <= '3' &&
                raw[i + 2] >= '0' && raw[i + 2] <= '7' && raw[i + 3] >= '0' && raw[i + 3] <= '7') {
                point += static_cast<char>((raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 +
                                           (raw[i + 3] - '0'));
                i += 3;
            } else {
                point += raw[i];
            }
        }
        points.push_back(std::move(point));
    });
    if (points.empty()) {
        return Unreadable("/proc/self/mountinfo");
    }
    return points;
}

}  // namespace kvzn::platform
