// Signals received on a thread of their own, never inside a signal handler.
#pragma once

#include <functional>
#include <thread>
#include <vector>

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

  private:
    void Run();
    std::function<void(int)> handler_;
    int signalFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace kvzn::platform
