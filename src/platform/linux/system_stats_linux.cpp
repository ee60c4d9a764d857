// The kernel statistics of a proc and sys tree, read afresh at each call.
#include <dirent.h>

#include <algorithm>
#include <cerrno>

#include "platform/file.h"
#include "platform/system_stats.h"

namespace kvzn::platform {

namespace {

bool AllDigits(std::string_view name) {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

SystemStats::SystemStats(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') {
        root_.pop_back();
    }
}

std::string SystemStats::Path(std::string_view relative) const {
    return (root_ == "/" ? std::string() : root_) + "/" + std::string(relative);
}

Result<ProcStat> SystemStats::ReadProcStat() const {
    Result<std::string> text = ReadWholeFile(Path("proc/stat"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseProcStat(*text);
}

Result<MemInfo> SystemStats::ReadMemInfo() const {
    Result<std::string> text = ReadWholeFile(Path("proc/meminfo"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseMemInfo(*text);
}

Result<std::vector<DiskStat>> SystemStats::ReadDiskStats() const {
    Result<std::string> text = ReadWholeFile(Path("proc/diskstats"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseDiskStats(*text);
}

Result<std::vector<std::string>> SystemStats::ListBlockDevices() const {
    Result<std::vector<DirectoryEntry>> entries = ListDirectory(Path("sys/block"));
    if (!entries.ok()) {
        return entries.status();
    }
    std::vector<std::string> names;
    for (const DirectoryEntry& entry : *entries) {
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Result<uint64_t> SystemStats::CountProcesses() const {
    // A plain listing: the entries are only counted, never examined.
    const std::string dir = Path("proc");
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return Status::Errno("opendir", dir);
    }
    uint64_t count = 0;
    while (const dirent* e = ::readdir(d)) {
        count += AllDigits(e->d_name) ? 1 : 0;
    }
    ::closedir(d);
    return count;
}

Result<std::vector<std::string>> SystemStats::ReadMountPoints() const {
    Result<std::string> text = ReadWholeFile(Path("proc/self/mountinfo"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseMountPoints(*text);
}

}  // namespace kvzn::platform
