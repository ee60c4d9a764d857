// Process memory, each case checked in a fresh process of its own: the settings are
// process-wide and would leak into the other tests.
#include "platform/process_memory.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace kvzn::platform {
namespace {

#ifdef KVZN_TEST_SANITIZED
constexpr bool kSanitizerAllocator = true;  // replaces glibc's allocator and its options
#else
constexpr bool kSanitizerAllocator = false;
#endif

// The number of heaps (arenas) the allocator reports.
int AllocatorHeaps() {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = ::open_memstream(&text, &size);
    ::malloc_info(0, out);
    std::fclose(out);
    const std::string info(text, size);
    std::free(text);
    int heaps = 0;
    for (size_t pos = info.find("<heap nr="); pos != std::string::npos;
         pos = info.find("<heap nr=", pos + 1)) {
        ++heaps;
    }
    return heaps;
}

// A field of /proc/self/status in kB ("RssAnon", "RssFile"); -1 when missing.
long StatusKb(std::string_view field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// Allocates from two threads that are alive at the same time (each would get an arena of
// its own by default) and exits with the number of heaps the allocator then has.
[[noreturn]] void ExitWithHeapsAfterThreadsAllocate(int arenaLimit) {
    if (arenaLimit > 0 && !LimitAllocatorArenas(arenaLimit).ok()) {
        std::_Exit(100);
    }
    std::latch allocated(2);
    const auto allocate = [&](std::unique_ptr<char[]>& block) {
        block = std::make_unique<char[]>(1000);
        allocated.arrive_and_wait();
    };
    std::unique_ptr<char[]> first;
    std::unique_ptr<char[]> second;
    std::thread a(allocate, std::ref(first));
    std::thread b(allocate, std::ref(second));
    a.join();
    b.join();
    std::_Exit(AllocatorHeaps());
}

bool ExitedWithMoreThanOne(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) > 1;
}

TEST(ProcessMemoryTest, OneArenaServesEveryThread) {
    if (kSanitizerAllocator) {
        GTEST_SKIP() << "the sanitizer's allocator has no arenas";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithHeapsAfterThreadsAllocate(1), ::testing::ExitedWithCode(1), "");
    // Without the limit the same threads make more heaps: the check above can fail.
    EXPECT_EXIT(ExitWithHeapsAfterThreadsAllocate(0), ExitedWithMoreThanOne, "");
}

// Frees most of 8 MB of small blocks, keeping one block in every 64 (so that the heap
// cannot simply shrink from its top: the free memory lies between live blocks), and exits
// 0 when ReleaseFreeMemory hands most of it back.
[[noreturn]] void ExitZeroWhenFreedMemoryIsReleased() {
    constexpr size_t kBlocks = 40000;
    constexpr size_t kKeepEvery = 64;
    std::vector<char*> blocks;
    blocks.reserve(kBlocks);
    for (size_t i = 0; i < kBlocks; ++i) {
        blocks.push_back(static_cast<char*>(std::malloc(200)));
        std::memset(blocks.back(), 1, 200);
    }
    for (size_t i = 0; i < kBlocks; ++i) {
        if (i % kKeepEvery != 0) {
            std::free(std::exchange(blocks[i], nullptr));
        }
    }
    const long before = StatusKb("RssAnon");
    ReleaseFreeMemory();
    const long after = StatusKb("RssAnon");
    for (char* block : blocks) {
        std::free(block);
    }
    std::_Exit(before - after > 4000 ? 0 : 1);
}

TEST(ProcessMemoryTest, FreedMemoryInsideTheHeapGoesBackToTheSystem) {
    if (kSanitizerAllocator) {
        GTEST_SKIP() << "the sanitizer's allocator keeps its own free memory";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitZeroWhenFreedMemoryIsReleased(), ::testing::ExitedWithCode(0), "");
}

// Exits 0 when ReleaseStartupPages unmapped resident file pages and the process still
// works afterwards: its relocated tables (vtables, function pointers) are intact and its
// code comes back from the page cache.
[[noreturn]] void ExitZeroWhenStartupPagesGoAndTheProcessWorksOn() {
    const long before = StatusKb("RssFile");
    const Result<size_t> released = ReleaseStartupPages();
    const long after = StatusKb("RssFile");
    std::ostringstream text;
    text << "value " << 42 << ' ' << 2.5;
    std::vector<std::string> words{"b", "a"};
    std::sort(words.begin(), words.end());
    const bool works = text.str() == "value 42 2.5" && words.front() == "a";
    std::_Exit(released.ok() && *released > 0 && after < before && works ? 0 : 1);
}

TEST(ProcessMemoryTest, StartupPagesAreUnmappedWithoutHarm) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitZeroWhenStartupPagesGoAndTheProcessWorksOn(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kvzn::platform
