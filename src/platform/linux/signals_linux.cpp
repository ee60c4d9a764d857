// Signal delivery through signalfd, woken for shutdown by an eventfd.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/signals.h"

namespace kvzn::platform {

SignalWatcher::SignalWatcher(std::vector<int> signals, std::function<void(int)> handler)
    : handler_(std::move(handler)) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) {
        sigaddset(&set, s);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd_ < 0) {
        status_ = Status::Errno("signalfd");
        return;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        status_ = Status::Errno("eventfd");
        return;
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        status_ = Status::Errno("pthread_create", {}, e.code().value());
    }
}

SignalWatcher::~SignalWatcher() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0) {
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (signalFd_ >= 0) {
        ::close(signalFd_);
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void SignalWatcher::Run() {
    if (signalFd_ < 0 || wakeFd_ < 0) {
        return;
    }
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            handler_(static_cast<int>(info.ssi_signo));
        }
    }
}

}  // namespace kvzn::platform
