// Manual-reset event.
#include "platform/event.h"

namespace kvzn::platform {

void Event::Set() {
    std::vector<Waiter*> waiters;
    {
        std::scoped_lock lock(mutex_);
        set_ = true;
        waiters = waiters_;
        for (Waiter* w : waiters) {
            std::scoped_lock wl(w->mutex);
            w->woken = true;
            w->cv.notify_all();
        }
    }
    cv_.notify_all();
}

void Event::AddWaiter(Waiter* w) const {
    std::scoped_lock lock(mutex_);
    waiters_.push_back(w);
}

void Event::RemoveWaiter(Waiter* w) const {
    std::scoped_lock lock(mutex_);
    std::erase(waiters_, w);
}

int Event::WaitAny(std::initializer_list<const Event*> events, std::chrono::milliseconds timeout) {
    Waiter waiter;
    for (const Event* e : events) {
        e->AddWaiter(&waiter);
    }
    auto firstSet = [&]() {
        int i = 0;
        for (const Event* e : events) {
            if (e->IsSet()) {
                return i;
            }
            ++i;
        }
        return -1;
    };
    int result = firstSet();
    if (result < 0) {
        std::unique_lock lock(waiter.mutex);
        waiter.cv.wait_for(lock, timeout, [&] { return waiter.woken; });
        lock.unlock();
        result = firstSet();
    }
    for (const Event* e : events) {
        e->RemoveWaiter(&waiter);
    }
    return result;
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
