// Process memory on glibc and Linux: mallopt, malloc_trim, and madvise over the mappings
// that /proc/self/smaps lists.
#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process_memory.h"

namespace kvzn::platform {

Status LimitAllocatorArenas(int arenas) {
    if (arenas <= 0 || ::mallopt(M_ARENA_MAX, arenas) != 1) {
        return Status::Error(EINVAL, "mallopt(M_ARENA_MAX) refused " + std::to_string(arenas));
    }
    return Status::Ok();
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
