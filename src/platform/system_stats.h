// Kernel statistics the performance counters are built from: processor times, memory and
// swap, block device activity and the number of processes, read from a proc and sys tree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// One "cpu" line of /proc/stat, in clock ticks since boot.
struct CpuTimes {
    std::string name;  // "cpu" for the sum of all processors, "cpu0", "cpu1", ...
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    uint64_t Total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
    uint64_t Idle() const { return idle + iowait; }
};

struct ProcStat {
    std::vector<CpuTimes> cpus;  // the sum first, then each processor in file order
    uint64_t contextSwitches = 0;
    uint64_t interrupts = 0;
    uint64_t processesCreated = 0;  // "processes": forks since boot
    uint64_t processesRunning = 0;
};

// The /proc/meminfo values the counters use, in bytes.
struct MemInfo {
    std::optional<uint64_t> available;  // MemAvailable; absent on very old kernels
    uint64_t total = 0, free = 0, cached = 0, swapTotal = 0, swapFree = 0, committed = 0,
             commitLimit = 0;
};

// One line of /proc/diskstats.
struct DiskStat {
    std::string name;  // "sda", "nvme0n1", "sda1"
    uint64_t reads = 0, sectorsRead = 0, writes = 0, sectorsWritten = 0;
    uint64_t inFlight = 0;  // I/Os currently in progress
    uint64_t ioMs = 0;      // milliseconds spent doing I/O
};

// The parsers take the file's text and skip lines they cannot read; a text without any
// readable record is a failure (EINVAL) naming the file.
Result<ProcStat> ParseProcStat(std::string_view text);
Result<MemInfo> ParseMemInfo(std::string_view text);
Result<std::vector<DiskStat>> ParseDiskStats(std::string_view text);

// The mount points of /proc/self/mountinfo (octal escapes such as "\040" decoded).
Result<std::vector<std::string>> ParseMountPoints(std::string_view text);

// Reads the statistics below a root directory: "/" for this machine, a directory holding
// proc/ and sys/ fixtures for tests. Each call reads its file afresh.
// @threadsafety Always (no state besides the root).
class SystemStats {
  public:
    explicit SystemStats(std::string root = "/");
    Result<ProcStat> ReadProcStat() const;
    Result<MemInfo> ReadMemInfo() const;
    Result<std::vector<DiskStat>> ReadDiskStats() const;
    // The whole disks (the entries of sys/block), sorted by name.
    Result<std::vector<std::string>> ListBlockDevices() const;
    // The number of processes: the numeric entries of proc/.
    Result<uint64_t> CountProcesses() const;
    Result<std::vector<std::string>> ReadMountPoints() const;
    const std::string& Root() const { return root_; }

  private:
    std::string Path(std::string_view relative) const;
    std::string root_;
};

}  // namespace kvzn::platform
