// A file watcher that a test triggers by hand.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "platform/file_watch.h"

namespace kvzn::platform {

// Wait ends at once with kChanged after Trigger(), else when the stop event is set or the
// time-out passes (in real time). Watched paths are kept for the test to inspect.
// @threadsafety Always.
class FakeFileWatcher final : public FileWatcher {
  public:
    Status Watch(const std::string& path) override;
    void Clear() override;
    Wake Wait(const Event& stop, std::chrono::milliseconds timeout) override;
    void Trigger() { changed_.Set(); }
    std::set<std::string> Watched() const;

  private:
    mutable std::mutex mutex_;
    std::set<std::string> watched_;
    Event changed_;
};

}  // namespace kvzn::platform
