// A program started by a test, with its output read through a pipe.
#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kvzn::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& cwd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGQUIT, SIG_DFL);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
            ::_exit(126);
        }
        for (const std::string& e : env) {
            ::putenv(const_cast<char*>(e.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
}

ChildProcess::~ChildProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
    if (out_ >= 0) {
        ::close(out_);
    }
}

void ChildProcess::Signal(int sig) const {
    ::kill(pid_, sig);
}

void ChildProcess::Drain(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    while (out_ >= 0 && ::poll(&p, 1, timeoutMs) > 0) {
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return;
        }
        output_.append(buf, static_cast<size_t>(n));
        timeoutMs = 0;
    }
}

std::string ChildProcess::Output() {
    Drain(0);
    return output_;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Drain(0);
        if (output_.find(text) != std::string::npos) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (out_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            Drain(static_cast<int>(std::min<long long>(left.count(), 100)));
        }
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            Drain(0);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        Drain(20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace kvzn::test
