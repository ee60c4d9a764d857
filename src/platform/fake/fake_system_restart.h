// A restarter that only counts the restart requests.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/system_restart.h"

namespace kvzn::platform {

// Records each RestartNow call and answers with the status set by FailWith (success by
// default). Nothing is restarted.
// @threadsafety Always.
class FakeSystemRestarter final : public SystemRestarter {
  public:
    Status RestartNow() override;
    // Later calls fail with `status`; Status::Ok() makes them succeed again.
    void FailWith(Status status);
    int Calls() const { return calls_.load(); }

  private:
    std::atomic<int> calls_{0};
    mutable std::mutex mutex_;
    Status answer_;
};

}  // namespace kvzn::platform
