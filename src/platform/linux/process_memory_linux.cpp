// Process memory settings on glibc: mallopt, malloc_trim and the default thread attributes.
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>

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

void ReleaseFreeMemory() {
    ::malloc_trim(0);
}

}  // namespace kvzn::platform
