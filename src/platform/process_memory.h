// How the process uses memory: the allocator's arenas and trimming, and the stack size of
// the threads it starts.
#pragma once

#include <cstddef>

#include "platform/status.h"

namespace kvzn::platform {

// Settings for a long-running service with a handful of mostly idle threads. A zero
// leaves the allocator's or the thread library's own default in place.
struct MemorySettings {
    // Allocator arenas for all threads together. Each arena keeps the memory its threads
    // freed; the default is up to eight per core.
    int mallocArenas = 0;
    // Free memory at the top of the heap above this is returned to the system at once.
    // Setting it also stops the allocator from raising it (and the mmap threshold) on its
    // own after a large block was freed.
    size_t trimThreshold = 0;
    // Blocks of at least this size get mappings of their own, returned when freed.
    size_t mmapThreshold = 0;
    // Stack reserved for each thread started afterwards without attributes of its own
    // (std::thread), rounded up to whole pages; the default follows the stack limit
    // (8 MiB).
    size_t threadStackSize = 0;
};

// Applies `settings` to the whole process. Call it at the start of main, before any thread
// exists; the first setting that cannot be applied is reported and the rest are skipped.
Status ApplyMemorySettings(const MemorySettings& settings);

// Unmaps the resident pages of the program's and its libraries' code and read-only data
// (private file mappings that are not writable and hold no changed page); they stay in the
// page cache and come back on their next use. At the start of main this drops what the
// libraries' start-up code touched before main, which otherwise stays mapped for the whole
// run. Call it before any other thread exists. Returns the number of bytes unmapped.
Result<size_t> ReleaseStartupPages();

// Returns the allocator's free memory to the system, wherever in the heap it lies (for
// after a burst of work such as reading the configuration).
// @threadsafety Always.
void ReleaseFreeMemory();

}  // namespace kvzn::platform
