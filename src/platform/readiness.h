// Waiting on descriptors that signal change (inotify, the journal), ended early by the
// stop event.
#pragma once

#include <chrono>
#include <vector>

#include "platform/event.h"

namespace kvzn::platform {

inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitStopped = -2;

// Waits until one of `fds` is readable, `stop` is set or `timeout` passes. Negative
// descriptors are ignored (a source without one is polled only). Returns the index of the
// first readable descriptor, kWaitTimedOut or kWaitStopped. The stop event is looked at
// every 100 ms at the latest, so a stop ends the wait within that time.
// @threadsafety Always.
int WaitForReadable(const std::vector<int>& fds, const Event& stop,
                    std::chrono::milliseconds timeout);

}  // namespace kvzn::platform
