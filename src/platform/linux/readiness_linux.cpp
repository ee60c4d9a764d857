// Waiting on change descriptors with poll, in slices so that the stop event is seen.
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/readiness.h"

namespace kvzn::platform {

int WaitForReadable(const std::vector<int>& fds, const Event& stop,
                    std::chrono::milliseconds timeout) {
    using namespace std::chrono;
    constexpr milliseconds kSlice(100);
    std::vector<pollfd> polled;
    polled.reserve(fds.size());
    for (int fd : fds) {
        polled.push_back({fd, POLLIN, 0});  // poll ignores negative descriptors
    }
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        if (stop.IsSet()) {
            return kWaitStopped;
        }
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            return kWaitTimedOut;
        }
        const int sliceMs = static_cast<int>(std::min(left, kSlice).count());
        const int n = ::poll(polled.data(), polled.size(), sliceMs);
        if (n < 0 && errno != EINTR) {
            // A descriptor set that cannot be polled degrades to a timed wait.
            if (stop.WaitFor(std::min(left, kSlice))) {
                return kWaitStopped;
            }
            continue;
        }
        for (size_t i = 0; n > 0 && i < polled.size(); ++i) {
            if (polled[i].revents != 0) {
                return static_cast<int>(i);
            }
        }
    }
}

}  // namespace kvzn::platform
