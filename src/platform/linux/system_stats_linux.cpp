// The kernel statistics of a proc and sys tree, read afresh at each call.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/system_stats.h"

namespace kvzn::platform {

namespace {

bool AllDigits(std::string_view name) {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A kernel file read whole. Proc files report no size, so there is nothing to ask first.
Result<std::string> ReadKernelFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Status::Errno("open", path);
    }
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const Status status = n < 0 ? Status::Errno("read", path) : Status::Ok();
        ::close(fd);
        if (!status.ok()) {
            return status;
        }
        return text;
    }
}

// The names in a directory, none of them examined.
Result<std::vector<std::string>> Names(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return Status::Errno("opendir", dir);
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(d);
    return names;
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
    Result<std::string> text = ReadKernelFile(Path("proc/stat"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseProcStat(*text);
}

Result<MemInfo> SystemStats::ReadMemInfo() const {
    Result<std::string> text = ReadKernelFile(Path("proc/meminfo"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseMemInfo(*text);
}

Result<std::vector<DiskStat>> SystemStats::ReadDiskStats() const {
    Result<std::string> text = ReadKernelFile(Path("proc/diskstats"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseDiskStats(*text);
}

Result<std::vector<std::string>> SystemStats::ListBlockDevices() const {
    Result<std::vector<std::string>> names = Names(Path("sys/block"));
    if (names.ok()) {
        std::sort(names->begin(), names->end());
    }
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
    Result<std::string> text = ReadKernelFile(Path("proc/self/mountinfo"));
    if (!text.ok()) {
        return text.status();
    }
    return ParseMountPoints(*text);
}

}  // namespace kvzn::platform
