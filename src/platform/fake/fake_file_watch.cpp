// The hand-triggered file watcher of the tests.
#include "platform/fake/fake_file_watch.h"

namespace kvzn::platform {

Status FakeFileWatcher::Watch(const std::string& path) {
    std::scoped_lock lock(mutex_);
    watched_.insert(path);
    return Status::Ok();
}

void FakeFileWatcher::Clear() {
    std::scoped_lock lock(mutex_);
    watched_.clear();
}

FileWatcher::Wake FakeFileWatcher::Wait(const Event& stop, std::chrono::milliseconds timeout) {
    const int woke = Event::WaitAny({&stop, &changed_}, timeout);
    if (woke == 0) {
        return Wake::kStopped;
    }
    if (woke == 1) {
        changed_.Reset();
        return Wake::kChanged;
    }
    return Wake::kTimedOut;
}

std::set<std::string> FakeFileWatcher::Watched() const {
    std::scoped_lock lock(mutex_);
    return watched_;
}

}  // namespace kvzn::platform
