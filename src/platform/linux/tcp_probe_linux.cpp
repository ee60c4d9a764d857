// Reachability probes: names resolved together with getaddrinfo_a, connections opened
// together without blocking and waited for with one poll loop, all within one deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

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

// One asynchronous name lookup; its memory must stay put until the resolver is done with it.
struct Lookup {
    gaicb request{};
    addrinfo hints = StreamHints(AI_ADDRCONFIG);
    std::string host;

    ~Lookup() {
        if (request.ar_result != nullptr) {
            ::freeaddrinfo(request.ar_result);
        }
    }
    bool Running() { return ::gai_error(&request) == EAI_INPROGRESS; }
};

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits until none of `lookups` runs any more or the deadline passes.
void WaitForLookups(const std::vector<Lookup*>& lookups, SteadyClock::time_point deadline) {
    for (;;) {
        std::vector<const gaicb*> running;
        for (Lookup* lookup : lookups) {
            if (lookup->Running()) {
                running.push_back(&lookup->request);
            }
        }
        const int left = RemainingMs(deadline);
        if (running.empty() || left == 0) {
            return;
        }
        timespec wait{left / 1000, (left % 1000) * 1000000L};
        ::gai_suspend(running.data(), static_cast<int>(running.size()), &wait);
    }
}

// A copy of the first usable address of a finished lookup (the lookup's own result goes
// with the lookup).
AddrInfoPtr CopyFirstAddress(const addrinfo* result) {
    const addrinfo hints = StreamHints(AI_NUMERICHOST);
    char text[INET6_ADDRSTRLEN] = {};
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        const void* raw = ai->ai_family == AF_INET
                              ? static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr)
                              : static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr);
        addrinfo* copy = nullptr;
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) &&
            ::inet_ntop(ai->ai_family, raw, text, sizeof text) != nullptr &&
            ::getaddrinfo(text, nullptr, &hints, &copy) == 0) {
            return AddrInfoPtr(copy);
        }
    }
    return nullptr;
}

}  // namespace

// The lookups of earlier probes that were still running when their probe gave up.
struct TcpProber::Lookups {
    std::vector<std::unique_ptr<Lookup>> running;

    // Frees the lookups that have ended since.
    void Reap() {
        std::erase_if(running, [](const std::unique_ptr<Lookup>& l) { return !l->Running(); });
    }
};

namespace {

// The addresses of every target, numeric ones at once and names through the resolver,
// each list ending at the deadline. A target without addresses has its outcome set. A
// lookup still running at the deadline is cancelled, or kept in `left` until it ends.
std::vector<AddrInfoPtr> Resolve(const std::vector<ProbeTarget>& targets,
                                 std::vector<ProbeOutcome>& outcomes,
                                 SteadyClock::time_point deadline,
                                 std::vector<std::unique_ptr<Lookup>>& left) {
    std::vector<AddrInfoPtr> addresses(targets.size());
    std::vector<size_t> named;
    for (size_t i = 0; i < targets.size(); ++i) {
        const addrinfo hints = StreamHints(AI_NUMERICHOST);
        addrinfo* result = nullptr;
        if (::getaddrinfo(targets[i].host.c_str(), nullptr, &hints, &result) == 0) {
            addresses[i].reset(result);
        } else {
            named.push_back(i);
        }
    }
    if (named.empty()) {
        return addresses;
    }

    std::vector<std::unique_ptr<Lookup>> lookups;
    std::vector<Lookup*> started;
    for (size_t i : named) {
        auto lookup = std::make_unique<Lookup>();
        lookup->host = targets[i].host;
        lookup->request.ar_name = lookup->host.c_str();
        lookup->request.ar_request = &lookup->hints;
        gaicb* one[1] = {&lookup->request};
        sigevent none{};
        none.sigev_notify = SIGEV_NONE;
        if (::getaddrinfo_a(GAI_NOWAIT, one, 1, &none) != 0) {
            lookup->request.ar_result = nullptr;
            outcomes[i] = {false, EAGAIN, "the name lookup could not be started"};
            lookups.push_back(nullptr);
            continue;
        }
        started.push_back(lookup.get());
        lookups.push_back(std::move(lookup));
    }
    WaitForLookups(started, deadline);

    for (size_t n = 0; n < named.size(); ++n) {
        std::unique_ptr<Lookup>& lookup = lookups[n];
        if (!lookup) {
            continue;
        }
        ProbeOutcome& outcome = outcomes[named[n]];
        const int state = ::gai_error(&lookup->request);
        if (state == 0) {
            addresses[named[n]] = CopyFirstAddress(lookup->request.ar_result);
            if (!addresses[named[n]]) {
                outcome = {false, ENOENT, "the name " + lookup->host + " has no usable address"};
            }
        } else if (state == EAI_INPROGRESS) {
            outcome = {false, ETIMEDOUT, "the name " + lookup->host + " did not resolve in time"};
            if (::gai_cancel(&lookup->request) != EAI_CANCELED && lookup->Running()) {
                left.push_back(std::move(lookup));  // the resolver still holds it
            }
        } else {
            outcome = {
                false, ENOENT,
                "the name " + lookup->host + " does not resolve (" + ::gai_strerror(state) + ")"};
        }
    }
    return addresses;
}

struct Attempt {
    size_t target;
    int fd;
};

}  // namespace

TcpProber::TcpProber() : lookups_(std::make_unique<Lookups>()) {}

TcpProber::~TcpProber() {
    // Lookups the resolver still works on: wait a few seconds for them; one that still runs
    // then is left to the resolver rather than freed under it.
    std::vector<Lookup*> running;
    for (const auto& lookup : lookups_->running) {
        running.push_back(lookup.get());
    }
    WaitForLookups(running, SteadyClock::now() + std::chrono::seconds(5));
    for (auto& lookup : lookups_->running) {
        if (lookup->Running()) {
            static_cast<void>(lookup.release());
        }
    }
}

std::vector<ProbeOutcome> ProbeTcpConnect(const std::vector<ProbeTarget>& targets,
                                          std::chrono::milliseconds timeout) {
    TcpProber prober;
    return prober.Probe(targets, timeout);
}

std::vector<ProbeOutcome> TcpProber::Probe(const std::vector<ProbeTarget>& targets,
                                           std::chrono::milliseconds timeout) {
    lookups_->Reap();
    const SteadyClock::time_point deadline = SteadyClock::now() + timeout;
    std::vector<ProbeOutcome> outcomes(targets.size());
    std::vector<AddrInfoPtr> addresses = Resolve(targets, outcomes, deadline, lookups_->running);

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
