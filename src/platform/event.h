// Manual-reset event: the stop and alert signals shared by the service threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <vector>

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

    // Waits until one of the events is set or the time-out passes. Returns the index of the
    // first event (in the order given) that is set, or -1 on time-out.
    static int WaitAny(std::initializer_list<const Event*> events,
                       std::chrono::milliseconds timeout);

  private:
    struct Waiter {
        std::mutex mutex;
        std::condition_variable cv;
        bool woken = false;
    };
    void AddWaiter(Waiter* w) const;
    void RemoveWaiter(Waiter* w) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    mutable std::vector<Waiter*> waiters_;
    bool set_ = false;
};

}  // namespace kvzn::platform
