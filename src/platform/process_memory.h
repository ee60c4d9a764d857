// How the process uses memory: the allocator's arenas, handing freed memory back, and the
// pages the libraries touched before main.
#pragma once

#include <cstddef>

#include "platform/status.h"

namespace kvzn::platform {

// Limits the allocator to `arenas` arenas for all threads together (by default it makes
// up to eight per core; each keeps the memory its threads freed). Call it at the start of
// main, before any other thread exists.
Status LimitAllocatorArenas(int arenas);

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
