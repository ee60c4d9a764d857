// File system space through statvfs, each query bounded by a time-out.
#include <sys/statvfs.h>

#include <condition_variable>
#include <map>
#include <mutex>
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

namespace {

// The answer of one query, shared by its thread and everyone waiting for it.
struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    Status status;
    DiskSpace space;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

}  // namespace

// What the probe shares with its query threads, which may outlive it.
struct DiskSpaceProbe::Shared {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Answer>> running;  // queries not yet returned
};

DiskSpaceProbe::DiskSpaceProbe(std::chrono::milliseconds timeout, DiskSpaceQuery query)
    : timeout_(timeout), query_(std::move(query)), shared_(std::make_shared<Shared>()) {}

DiskSpaceProbe::~DiskSpaceProbe() = default;

Result<DiskSpace> DiskSpaceProbe::Query(const std::string& path) {
    std::shared_ptr<Answer> answer;
    bool start = false;
    {
        std::scoped_lock lock(shared_->mutex);
        auto& slot = shared_->running[path];
        if (!slot) {
            slot = std::make_shared<Answer>();
            start = true;
        }
        answer = slot;
    }
    // A query of the same path already under way (another thread's, or a hung one) is
    // waited for rather than doubled, within what is left of its time-out.
    const auto deadline = answer->started + timeout_;
    if (start) {
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
            return Status::Error(
                EAGAIN, std::string("cannot start the query of ") + path + ": " + e.what());
        }
    }
    std::unique_lock lock(answer->mutex);
    if (!answer->done.wait_until(lock, deadline, [&] { return answer->finished; })) {
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
