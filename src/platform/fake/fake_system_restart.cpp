// A restarter that only counts the restart requests.
#include "platform/fake/fake_system_restart.h"

namespace kvzn::platform {

Status FakeSystemRestarter::RestartNow() {
    calls_.fetch_add(1);
    std::scoped_lock lock(mutex_);
    return answer_;
}

void FakeSystemRestarter::FailWith(Status status) {
    std::scoped_lock lock(mutex_);
    answer_ = std::move(status);
}

}  // namespace kvzn::platform
