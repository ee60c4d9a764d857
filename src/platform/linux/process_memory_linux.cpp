// Process memory settings on glibc and Linux: mallopt, malloc_trim, the default thread
// attributes, and madvise over the mappings /proc/self/smaps lists.
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process_memory.h"

namespace kvzn::platform {

namespace {

Status SetMallocOption(int option, size_t value, const char* name) {
    if (value == 0) {
        return Status::Ok();
    }
    if (value > static_cast<size_t>(INT_MAX) || ::mallopt(option, static_cast<int>(value)) != 1) {
        return Status::Error(EINVAL,
                             std::string("mallopt(") + name + ") refused " + std::to_string(value));
    }
    return Status::Ok();
}

Status SetDefaultStackSize(size_t size) {
    if (size == 0) {
        return Status::Ok();
    }
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size = (std::max<size_t>(size, PTHREAD_STACK_MIN) + page - 1) / page * page;
    pthread_attr_t attr;
    if (int err = ::pthread_attr_init(&attr); err != 0) {
        return Status::Errno("pthread_attr_init", {}, err);
    }
    int err = ::pthread_attr_setstacksize(&attr, size);
    if (err == 0) {
        err = ::pthread_setattr_default_np(&attr);
    }
    ::pthread_attr_destroy(&attr);
    return err == 0 ? Status::Ok()
                    : Status::Errno("pthread_setattr_default_np", std::to_string(size), err);
}

}  // namespace

Status ApplyMemorySettings(const MemorySettings& settings) {
    if (settings.mallocArenas < 0) {
        return Status::Error(EINVAL, "a negative number of allocator arenas");
    }
    Status status =
        SetMallocOption(M_ARENA_MAX, static_cast<size_t>(settings.mallocArenas), "M_ARENA_MAX");
    if (status.ok()) {
        status = SetMallocOption(M_TRIM_THRESHOLD, settings.trimThreshold, "M_TRIM_THRESHOLD");
    }
    if (status.ok()) {
        status = SetMallocOption(M_MMAP_THRESHOLD, settings.mmapThreshold, "M_MMAP_THRESHOLD");
    }
    if (status.ok()) {
        status = SetDefaultStackSize(settings.threadStackSize);
    }
    return status;
}

Result<size_t> ReleaseStartupPages() {
    // Each mapping's header line ("start-end perms offset dev inode path") comes before its
    // fields; its "Anonymous:" field counts the pages changed in this process.
    std::ifstream maps("/proc/self/smaps");
    if (!maps) {
        return Status::Errno("open", "/proc/self/smaps");
    }
    struct Range {
        uintptr_t start = 0;
        uintptr_t end = 0;
        bool unchangedCode = false;  // a private, read-only file mapping with no changed page
    };
    std::vector<Range> ranges;
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0;
        unsigned long end = 0;
        char perms[8] = {};
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms, &pathAt) >=
                3 &&
            pathAt > 0) {
            const bool privateReadOnly = perms[1] != 'w' && perms[3] == 'p';
            ranges.push_back({start, end, line[pathAt] == '/' && privateReadOnly});
            continue;
        }
        unsigned long anonymous = 0;
        if (!ranges.empty() && std::sscanf(line.c_str(), "Anonymous: %lu", &anonymous) == 1 &&
            anonymous != 0) {
            ranges.back().unchangedCode = false;
        }
    }
    size_t released = 0;
    for (const Range& range : ranges) {
        if (range.unchangedCode && ::madvise(reinterpret_cast<void*>(range.start),
                                             range.end - range.start, MADV_DONTNEED) == 0) {
            released += range.end - range.start;
        }
    }
    return released;
}

void ReleaseFreeMemory() {
    ::malloc_trim(0);
}

}  // namespace kvzn::platform
