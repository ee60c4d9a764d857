// File system space through statvfs, each query bounded by a time-out.
#include <sys/statvfs.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/disk_space.h"

namespace kvzn::platform {

Status QueryStatvfs(const std::string& path, DiskSpace& out) {
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) != 0) {
        return Status::Errno("statvfs", path);
    }
    const uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    out.totalBytes = static_cast<uint64_t>(fs.f_blocks) * unit;
    out.freeBytes = static_cast<uint64_t>(fs.f_bfree) * unit;
    return Status::Ok();
}

// What the probe shares with its query threads, which may outlive it.
struct DiskSpaceProbe::Shared {
    std::mutex mutex;
    std::set<std::string> running;  // paths whose query has not returned
};

namespace {

struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Status status;
    DiskSpace space;
};

}  // namespace

DiskSpaceProbe::DiskSpaceProbe(std::chrono::milliseconds timeout, DiskSpaceQuery query)
    : timeout_(timeout), query_(std::move(query)), shared_(std::make_shared<Shared>()) {}

DiskSpaceProbe::~DiskSpaceProbe() = default;

Result<DiskSpace> DiskSpaceProbe::Query(const std::string& path) {
    {
        std::scoped_lock lock(shared_->mutex);
        if (!shared_->running.insert(path).second) {
            return Status::Error(ETIMEDOUT, "an earlier query of " + path + " has not returned");
        }
    }
    auto answer = std::make_shared<Answer>();
    try {
        std::thread([shared = shared_, answer, query = query_, path] {
            DiskSpace space;
            Status status = query(path, space);
            {
                std::scoped_lock lock(shared->mutex);
                shared->running.erase(path);
            }
            std::scoped_lock lock(answer->mutex);
            answer->status = std::move(status);
            answer->space = space;
            answer->finished = true;
            answer->done.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        std::scoped_lock lock(shared_->mutex);
        shared_->running.erase(path);
        return Status::Error(EAGAIN,
                             std::string("cannot start the query of ") + path + ": " + e.what());
    }
    std::unique_lock lock(answer->mutex);
    if (!answer->done.wait_for(lock, timeout_, [&] { return answer->finished; })) {
        return Status::Error(ETIMEDOUT, "no answer for " + path + " within " +
                                            std::to_string(timeout_.count()) + " ms");
    }
    if (!answer->status.ok()) {
        return answer->status;
    }
    return answer->space;
}

size_t DiskSpaceProbe::Pending() const {
    std::scoped_lock lock(shared_->mutex);
    return shared_->running.size();
}

}  // namespace kvzn::platform
