// Signals received on a thread of their own, never inside a signal handler.
#pragma once

#include <functional>
#include <thread>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// Blocks `signals` in the calling thread (and so in every thread it creates later) and
// calls `handler` on a dedicated thread for each one that arrives. Construct it in main
// before any other thread exists. The handler may block; further signals wait.
class SignalWatcher {
  public:
    SignalWatcher(std::vector<int> signals, std::function<void(int)> handler);
    ~SignalWatcher();  // stops the thread; the signals stay blocked
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Not ok when the watcher could not be set up (no descriptor or no thread): then no
    // signal of the set reaches the handler.
    const Status& status() const { return status_; }

  private:
    void Run();
    Status status_;
    std::function<void(int)> handler_;
    int signalFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace kvzn::platform
