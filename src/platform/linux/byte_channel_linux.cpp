// Pipes to a transport command, and the standard streams, as byte channels.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/byte_channel.h"
#include "platform/file.h"

namespace kvzn::platform {

namespace {

constexpr size_t kReadChunk = 65536;
constexpr auto kExitGrace = std::chrono::seconds(2);

int PollOne(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p{fd, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int n = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

Status WriteFd(int fd, std::string_view data, std::chrono::milliseconds timeout) {
    while (!data.empty()) {
        const int ready = PollOne(fd, POLLOUT, timeout);
        if (ready < 0) {
            return Status::Errno("poll", "channel");
        }
        if (ready == 0) {
            return Status::Error(ETIMEDOUT, "the peer takes no input");
        }
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return Status::Errno("write", "channel");
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return Status::Ok();
}

Status ReadFd(int fd, std::string& out, bool& endOfStream, std::chrono::milliseconds timeout) {
    endOfStream = false;
    for (;;) {
        const int ready = PollOne(fd, POLLIN, timeout);
        if (ready < 0) {
            return Status::Errno("poll", "channel");
        }
        if (ready == 0) {
            return Status::Error(ETIMEDOUT, "no answer from the peer");
        }
        char buffer[kReadChunk];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return Status::Errno("read", "channel");
        }
        if (n == 0) {
            endOfStream = true;
        } else {
            out.append(buffer, static_cast<size_t>(n));
        }
        return Status::Ok();
    }
}

class StdChannel final : public ByteChannel {
  public:
    Status Write(std::string_view data, std::chrono::milliseconds timeout) override {
        return WriteFd(STDOUT_FILENO, data, timeout);
    }
    Status Read(std::string& out, bool& endOfStream, std::chrono::milliseconds timeout) override {
        return ReadFd(STDIN_FILENO, out, endOfStream, timeout);
    }
};

class TransportChannel final : public ByteChannel {
  public:
    TransportChannel(pid_t pid, UniqueFd toChild, UniqueFd fromChild)
        : pid_(pid), to_(std::move(toChild)), from_(std::move(fromChild)) {}
    ~TransportChannel() override {
        to_.Close();
        from_.Close();
        const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    Status Write(std::string_view data, std::chrono::milliseconds timeout) override {
        return WriteFd(to_.get(), data, timeout);
    }
    Status Read(std::string& out, bool& endOfStream, std::chrono::milliseconds timeout) override {
        return ReadFd(from_.get(), out, endOfStream, timeout);
    }

  private:
    pid_t pid_;
    UniqueFd to_;
    UniqueFd from_;
};

}  // namespace

std::unique_ptr<ByteChannel> StandardStreams() {
    return std::make_unique<StdChannel>();
}

Result<std::unique_ptr<ByteChannel>> StartTransport(const std::string& command,
                                                    const std::vector<std::string>& args) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        return Status::Errno("pipe2", command);
    }
    UniqueFd toRead(toChild[0]);
    UniqueFd toWrite(toChild[1]);
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        return Status::Errno("pipe2", command);
    }
    UniqueFd fromRead(fromChild[0]);
    UniqueFd fromWrite(fromChild[1]);

    const std::string script = command + " \"$@\"";
    std::vector<const char*> argv = {"/bin/sh", "-c", script.c_str(), "sh"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        return Status::Errno("fork", command);
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::signal(SIGPIPE, SIG_DFL);
        if (::dup2(toRead.get(), STDIN_FILENO) < 0 || ::dup2(fromWrite.get(), STDOUT_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv("/bin/sh", const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    // A transport that dies must not end this process with SIGPIPE on the next write.
    ::signal(SIGPIPE, SIG_IGN);
    return std::unique_ptr<ByteChannel>(
        std::make_unique<TransportChannel>(pid, std::move(toWrite), std::move(fromRead)));
}

}  // namespace kvzn::platform
