// Manual-reset event: the stop and alert signals shared by the service threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kvzn::platform {

// A manual-reset event, created non-signalled. Set() wakes every waiter at once and the
// event stays set until Reset().
// @threadsafety Always.
class Event {
public:
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits until the event is set or the time-out passes; true when it is set.
    bool WaitFor(std::chrono::milliseconds timeout) const;
    // Waits without time limit.
    void Wait() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace kvzn::platform
