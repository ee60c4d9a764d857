// Reachability probes: names looked up together on threads of their own, connections opened
// together without blocking and waited for with one poll loop, all within one deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/tcp_probe.h"

namespace kvzn::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Addresses tried per target: enough for a name with an IPv4 and an IPv6 address, while the
// descriptors a probe holds stay bounded by the number of targets.
constexpr int kAddressesPerTarget = 2;

struct AddrInfoDeleter {
    void operator()(addrinfo* ai) const {
        if (ai != nullptr) {
            ::freeaddrinfo(ai);
        }
    }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

addrinfo StreamHints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// One name lookup on a thread of its own. The thread and the probe share it; a lookup the
// probe stops waiting for ends on its own time and frees its answer with the last owner.
struct NameLookup {
    std::string host;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;   // guarded by mutex
    int status = 0;      // getaddrinfo's result; guarded by mutex
    AddrInfoPtr result;  // guarded by mutex
};

std::shared_ptr<NameLookup> StartLookup(const std::string& host) {
    auto lookup = std::make_shared<NameLookup>();
    lookup->host = host;
    std::thread([lookup] {
        const addrinfo hints = StreamHints(AI_ADDRCONFIG);
        addrinfo* result = nullptr;
        const int status = ::getaddrinfo(lookup->host.c_str(), nullptr, &hints, &result);
        std::scoped_lock lock(lookup->mutex);
        lookup->status = status;
        lookup->result.reset(status == 0 ? result : nullptr);
        lookup->done = true;
        lookup->finished.notify_all();
    }).detach();
    return lookup;
}

// The addresses of every target, numeric ones at once and names by lookups that all run
// together, each list ending at the deadline. A target without addresses has its outcome
// set.
std::vector<AddrInfoPtr> Resolve(const std::vector<ProbeTarget>& targets,
                                 std::vector<ProbeOutcome>& outcomes,
                                 SteadyClock::time_point deadline) {
    std::vector<AddrInfoPtr> addresses(targets.size());
    std::vector<std::pair<size_t, std::shared_ptr<NameLookup>>> named;
    for (size_t i = 0; i < targets.size(); ++i) {
        const addrinfo hints = StreamHints(AI_NUMERICHOST);
        addrinfo* result = nullptr;
        if (::getaddrinfo(targets[i].host.c_str(), nullptr, &hints, &result) == 0) {
            addresses[i].reset(result);
            continue;
        }
        try {
            named.emplace_back(i, StartLookup(targets[i].host));
        } catch (const std::system_error&) {
            outcomes[i] = {false, EAGAIN, "the name lookup could not be started"};
        }
    }
    for (auto& [i, shared] : named) {
        NameLookup& lookup = *shared;
        std::unique_lock lock(lookup.mutex);
        lookup.finished.wait_until(lock, deadline, [&lookup] { return lookup.done; });
        if (!lookup.done) {
            outcomes[i] = {false, ETIMEDOUT,
                           "the name " + lookup.host + " did not resolve in time"};
        } else if (lookup.status != 0 || !lookup.result) {
            outcomes[i] = {false, ENOENT,
                           "the name " + lookup.host + " does not resolve (" +
                               ::gai_strerror(lookup.status) + ")"};
        } else {
            addresses[i] = std::move(lookup.result);
        }
    }
    return addresses;
}

struct Attempt {
    size_t target;
    int fd;
};

}  // namespace

std::vector<ProbeOutcome> ProbeTcpConnect(const std::vector<ProbeTarget>& targets,
                                          std::chrono::milliseconds timeout) {
    const SteadyClock::time_point deadline = SteadyClock::now() + timeout;
    std::vector<ProbeOutcome> outcomes(targets.size());
    std::vector<AddrInfoPtr> addresses = Resolve(targets, outcomes, deadline);

    std::vector<Attempt> attempts;
    std::vector<int> lastError(targets.size(), 0);
    std::vector<bool> done(targets.size(), false);
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!addresses[i]) {
            done[i] = true;
            continue;
        }
        int tried = 0;
        for (addrinfo* ai = addresses[i].get(); ai != nullptr && tried < kAddressesPerTarget;
             ai = ai->ai_next, ++tried) {
            if (ai->ai_family == AF_INET) {
                reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_port = htons(targets[i].port);
            } else if (ai->ai_family == AF_INET6) {
                reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_port = htons(targets[i].port);
            } else {
                continue;
            }
            const int fd =
                ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0) {
                lastError[i] = errno;
                continue;
            }
            if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
                ::close(fd);
                done[i] = true;
                outcomes[i] = {true, 0, ""};
                break;
            }
            if (errno != EINPROGRESS) {
                lastError[i] = errno;
                ::close(fd);
                continue;
            }
            attempts.push_back({i, fd});
        }
    }

    // Waits for the attempts until each target has an answer or the deadline passes.
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        for (size_t a = 0; a < attempts.size(); ++a) {
            if (attempts[a].fd >= 0 && !done[attempts[a].target]) {
                fds.push_back({attempts[a].fd, POLLOUT, 0});
                which.push_back(a);
            }
        }
        const int left = RemainingMs(deadline);
        if (fds.empty() || left == 0) {
            break;
        }
        const int ready = ::poll(fds.data(), fds.size(), left);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            Attempt& attempt = attempts[which[k]];
            int soError = 0;
            socklen_t len = sizeof soError;
            if (::getsockopt(attempt.fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
                soError = errno;
            }
            ::close(attempt.fd);
            attempt.fd = -1;
            if (soError == 0) {
                done[attempt.target] = true;
                outcomes[attempt.target] = {true, 0, ""};
            } else {
                lastError[attempt.target] = soError;
            }
        }
    }

    for (const Attempt& attempt : attempts) {
        if (attempt.fd >= 0) {
            ::close(attempt.fd);
        }
    }
    // Targets still without an answer: the last refusal when every address refused, a
    // time-out otherwise.
    for (size_t i = 0; i < targets.size(); ++i) {
        if (done[i]) {
            continue;
        }
        bool stillWaiting = false;
        for (const Attempt& attempt : attempts) {
            stillWaiting = stillWaiting || (attempt.target == i && attempt.fd >= 0);
        }
        if (stillWaiting || lastError[i] == 0) {
            outcomes[i] = {false, ETIMEDOUT,
                           "no answer within " + std::to_string(timeout.count()) + " ms"};
        } else {
            outcomes[i] = {false, lastError[i], std::strerror(lastError[i])};
        }
    }
    return outcomes;
}

}  // namespace kvzn::platform
