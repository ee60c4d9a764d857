// Manual-reset event.
#include "platform/event.h"

namespace kvzn::platform {

void Event::Set() {
    {
        std::scoped_lock lock(mutex_);
        set_ = true;
    }
    cv_.notify_all();
}

void Event::Reset() {
    std::scoped_lock lock(mutex_);
    set_ = false;
}

bool Event::IsSet() const {
    std::scoped_lock lock(mutex_);
    return set_;
}

bool Event::WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
}

void Event::Wait() const {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
}

}  // namespace kvzn::platform
