// Free and total space of a mounted file system, asked with a time-out: a dead network
// mount can hold a statvfs call for ever, and a monitor must not wait with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/status.h"

namespace kvzn::platform {

struct DiskSpace {
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;  // every free block, the ones kept for root included
};

// One file system query of the kind statvfs answers.
using DiskSpaceQuery = std::function<Status(const std::string& path, DiskSpace& out)>;

// statvfs(path), in 64-bit sizes.
Status QueryStatvfs(const std::string& path, DiskSpace& out);

// Runs each query on a thread of its own and waits at most the time-out for it. A query
// that does not answer in time fails with ETIMEDOUT and is left to finish on its own.
// Queries of a path whose query is still under way share it: they wait for its answer
// until its own time-out ends, so a hung mount holds at most one thread and, once its
// time-out has passed, fails further queries with ETIMEDOUT at once. The object may go
// while such a query still runs.
// @threadsafety Always.
class DiskSpaceProbe {
  public:
    explicit DiskSpaceProbe(std::chrono::milliseconds timeout = std::chrono::seconds(10),
                            DiskSpaceQuery query = QueryStatvfs);
    ~DiskSpaceProbe();
    DiskSpaceProbe(const DiskSpaceProbe&) = delete;
    DiskSpaceProbe& operator=(const DiskSpaceProbe&) = delete;

    Result<DiskSpace> Query(const std::string& path);
    // Queries started and not yet finished (hung ones).
    size_t Pending() const;

  private:
    struct Shared;
    std::chrono::milliseconds timeout_;
    DiskSpaceQuery query_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace kvzn::platform
