// Running other programs on Linux: posix_spawn into a new session, output through a pipe,
// a pidfd to wait on, and the whole process group killed when the time-out passes.
// Programs left running by their caller are reaped by one reaper thread.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

extern char** environ;

namespace kvzn::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The longest wait honoured; longer time-outs are cut to it so the deadline cannot overflow.
constexpr std::chrono::milliseconds kLongestTimeout = std::chrono::hours(24 * 365);
// Wait slice when the kernel offers no pidfd and the child is polled with waitpid.
constexpr int kPollSliceMs = 10;
// How long output still in the pipe is collected once the child has ended; bounds the
// call when a background process of the child keeps writing.
constexpr std::chrono::milliseconds kDrainLimit{200};

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { Close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
};

// Our environment with the extra entries added; an extra entry replaces one of the same name.
Result<std::vector<std::string>> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    for (const auto& entry : extra) {
        const size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) {
            return Status::Error(EINVAL, "environment entry is not NAME=value: " + entry);
        }
        const std::string_view prefix(entry.data(), eq + 1);
        auto same = std::find_if(env.begin(), env.end(), [&](const std::string& e) {
            return std::string_view(e).substr(0, prefix.size()) == prefix;
        });
        if (same != env.end()) {
            *same = entry;
        } else {
            env.push_back(entry);
        }
    }
    return env;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

enum class ChildOutput { kPipe, kDevNull, kInherit };

// Redirections, session, signal mask and dispositions of the child. Returns 0 or an errno.
int PrepareSpawn(SpawnSetup& setup, ChildOutput output, int outputFd,
                 const std::string& workingDirectory) {
    int rc = 0;
    auto step = [&rc](int result) {
        if (rc == 0) {
            rc = result;
        }
    };
    // 1 and 2 first: should our 0 be closed, the pipe may have landed on descriptor 0.
    if (output == ChildOutput::kPipe) {
        step(posix_spawn_file_actions_adddup2(&setup.actions, outputFd, STDOUT_FILENO));
        step(posix_spawn_file_actions_adddup2(&setup.actions, outputFd, STDERR_FILENO));
    } else if (output == ChildOutput::kDevNull) {
        step(posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY,
                                              0));
        step(posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, STDERR_FILENO));
    }
    step(posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    step(posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1));
    if (!workingDirectory.empty()) {
        step(posix_spawn_file_actions_addchdir_np(&setup.actions, workingDirectory.c_str()));
    }

    // The daemon blocks its stop signals in every thread; a child must not inherit that,
    // nor any ignored signal.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    step(posix_spawnattr_setsigmask(&setup.attr, &none));
    step(posix_spawnattr_setsigdefault(&setup.attr, &all));
    step(posix_spawnattr_setflags(
        &setup.attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    return rc;
}

Status CheckWorkingDirectory(const std::string& dir) {
    if (dir.empty()) {
        return Status::Ok();
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        return Status::Errno("chdir", dir);
    }
    if (!S_ISDIR(st.st_mode)) {
        return Status::Errno("chdir", dir, ENOTDIR);
    }
    return Status::Ok();
}

// Starts the child; the pid, or why it could not start.
Result<pid_t> StartChild(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnvironment,
                         const std::string& workingDirectory, ChildOutput output, int outputFd) {
    if (argv.empty() || argv[0].empty()) {
        return Status::Error(EINVAL, "no program to run");
    }
    auto environment = ChildEnvironment(extraEnvironment);
    if (!environment.ok()) {
        return environment.status();
    }
    if (Status s = CheckWorkingDirectory(workingDirectory); !s.ok()) {
        return s;
    }
    SpawnSetup setup;
    if (int rc = PrepareSpawn(setup, output, outputFd, workingDirectory); rc != 0) {
        return Status::Errno("posix_spawn_file_actions", argv[0], rc);
    }
    std::vector<std::string> args = argv;
    std::vector<char*> argPointers = PointerArray(args);
    std::vector<char*> envPointers = PointerArray(*environment);
    pid_t pid = -1;
    if (int rc = ::posix_spawnp(&pid, argv[0].c_str(), &setup.actions, &setup.attr,
                                argPointers.data(), envPointers.data());
        rc != 0) {
        return Status::Errno("posix_spawnp", argv[0], rc);
    }
    return pid;
}

// Appends what one read() returns, keeping at most `limit` bytes. False at end of file.
bool ReadOnce(int fd, std::string& output, size_t limit) {
    std::array<char, 16384> buffer;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            const size_t room = output.size() < limit ? limit - output.size() : 0;
            output.append(buffer.data(), std::min(room, static_cast<size_t>(n)));
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}

// Takes what is already in the pipe, without waiting for writers that are still alive
// (a background process of the child may hold the pipe open for a long time).
void DrainPipe(Descriptor& pipe, std::string& output, size_t limit,
               SteadyClock::time_point deadline) {
    while (pipe.open() && SteadyClock::now() < deadline) {
        pollfd pfd{pipe.get(), POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) {
            return;
        }
        if (!ReadOnce(pipe.get(), output, limit)) {
            pipe.Close();
        }
    }
}

// The glibc wrapper is new and its header lacks C linkage for C++, so call the kernel.
int OpenPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int ExitCode(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return -1;
}

// Reaps the child if it has ended. True when it has (or when it can no longer be waited
// for, as with SIGCHLD ignored); `waitStatus` is set only when it was reaped here.
bool TryReap(pid_t pid, int& waitStatus, bool& reaped) {
    for (;;) {
        const pid_t r = ::waitpid(pid, &waitStatus, WNOHANG);
        if (r == pid) {
            reaped = true;
            return true;
        }
        if (r == 0) {
            return false;
        }
        if (errno != EINTR) {
            return true;
        }
    }
}

void KillGroupAndReap(pid_t pid, int& waitStatus, bool& reaped) {
    // The child is a session leader, so its process group id is its pid. It is not reaped
    // yet, so the id cannot have been reused.
    ::kill(-pid, SIGKILL);
    for (;;) {
        const pid_t r = ::waitpid(pid, &waitStatus, 0);
        if (r == pid) {
            reaped = true;
            return;
        }
        if (r < 0 && errno != EINTR) {
            return;
        }
    }
}

}  // namespace

// @threadsafety Always: no state is shared between calls. The child's environment is a copy
// of ours taken at the call, so other threads must not change the environment meanwhile.
// argv[0] is looked up on the PATH of this process, not on a PATH given in `environment`.
Result<ProcessResult> RunProcess(const std::vector<std::string>& argv,
                                 const ProcessOptions& options) {
    Descriptor readEnd;
    Descriptor writeEnd;
    if (options.captureOutput) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return Status::Errno("pipe2");
        }
        readEnd.Reset(fds[0]);
        writeEnd.Reset(fds[1]);
        ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
    }
    auto started = StartChild(argv, options.environment, options.workingDirectory,
                              options.captureOutput ? ChildOutput::kPipe : ChildOutput::kDevNull,
                              writeEnd.get());
    if (!started.ok()) {
        return started.status();
    }
    const pid_t pid = *started;
    writeEnd.Close();

    // Without pidfd (old kernels) the child is polled with waitpid in short slices.
    Descriptor pidfd(OpenPidfd(pid));

    const auto timeout = std::clamp(options.timeout, std::chrono::milliseconds(0), kLongestTimeout);
    const auto deadline = SteadyClock::now() + timeout;
    ProcessResult result;
    int waitStatus = 0;
    bool reaped = false;
    bool ended = false;
    while (!ended) {
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        int waitMs = static_cast<int>(std::min<long long>(left, INT_MAX));
        if (!pidfd.open()) {
            waitMs = std::min(waitMs, kPollSliceMs);
        }

        std::array<pollfd, 2> fds{};
        nfds_t count = 0;
        int pipeIndex = -1;
        int pidIndex = -1;
        if (readEnd.open()) {
            pipeIndex = static_cast<int>(count);
            fds[count++] = pollfd{readEnd.get(), POLLIN, 0};
        }
        if (pidfd.open()) {
            pidIndex = static_cast<int>(count);
            fds[count++] = pollfd{pidfd.get(), POLLIN, 0};
        }
        const int ready = ::poll(count > 0 ? fds.data() : nullptr, count, waitMs);
        if (ready < 0 && errno != EINTR) {
            pidfd.Close();  // fall back to plain waitpid polling
            continue;
        }
        if (pipeIndex >= 0 && fds[pipeIndex].revents != 0) {
            if (!ReadOnce(readEnd.get(), result.output, options.maxOutput)) {
                readEnd.Close();
            }
        }
        if (pidIndex < 0 || fds[pidIndex].revents != 0) {
            ended = TryReap(pid, waitStatus, reaped);
        }
    }

    if (!ended) {
        result.timedOut = true;
        KillGroupAndReap(pid, waitStatus, reaped);
    }
    // Also after a time-out: what the group wrote before it was killed is kept.
    DrainPipe(readEnd, result.output, options.maxOutput, SteadyClock::now() + kDrainLimit);
    if (reaped) {
        result.exitCode = ExitCode(waitStatus);
    }
    return result;
}

namespace {

constexpr std::chrono::milliseconds kStopCheckSlice{20};
constexpr int kReaperPollMs = 100;  // for processes without a pidfd

// Collects the exit status of processes whose callers stopped waiting for them. One thread,
// started with the first process handed over, lives for the rest of the process.
// @threadsafety Always.
class Reaper {
  public:
    static Reaper& Instance() {
        static Reaper* const reaper = new Reaper();  // never destroyed: its thread never ends
        return *reaper;
    }

    void Adopt(pid_t pid, int pidfd) {
        {
            std::scoped_lock lock(mutex_);
            waiting_.push_back(Entry{pid, pidfd});
            if (!started_) {
                started_ = true;
                std::thread(&Reaper::Run, this).detach();
            }
        }
        Wake();
    }

    size_t Waiting() const {
        std::scoped_lock lock(mutex_);
        return waiting_.size();
    }

  private:
    struct Entry {
        pid_t pid;
        int pidfd;
    };

    Reaper() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void Wake() const {
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }

    void Run() {
        // Signals are for the threads that expect them.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::vector<pollfd> fds;
        for (;;) {
            fds.clear();
            fds.push_back(pollfd{wakeFd_, POLLIN, 0});
            bool polled = wakeFd_ < 0;
            {
                std::scoped_lock lock(mutex_);
                for (const Entry& e : waiting_) {
                    fds.push_back(pollfd{e.pidfd, POLLIN, 0});
                    polled = polled || e.pidfd < 0;
                }
            }
            // A negative descriptor is skipped by poll; those entries are tried each round.
            ::poll(fds.data(), fds.size(), polled ? kReaperPollMs : -1);
            if (wakeFd_ >= 0 && (fds[0].revents & POLLIN) != 0) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
            }
            ReapEnded();
        }
    }

    void ReapEnded() {
        std::scoped_lock lock(mutex_);
        std::erase_if(waiting_, [](const Entry& e) {
            int waitStatus = 0;
            bool reaped = false;
            if (!TryReap(e.pid, waitStatus, reaped)) {
                return false;
            }
            if (e.pidfd >= 0) {
                ::close(e.pidfd);
            }
            return true;
        });
    }

    mutable std::mutex mutex_;
    std::vector<Entry> waiting_;
    bool started_ = false;
    const int wakeFd_;
};

}  // namespace

SpawnedProcess::SpawnedProcess(SpawnedProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::exchange(other.pidfd_, -1)),
      exited_(other.exited_),
      exitCode_(other.exitCode_) {}

SpawnedProcess& SpawnedProcess::operator=(SpawnedProcess&& other) noexcept {
    if (this != &other) {
        Abandon();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::exchange(other.pidfd_, -1);
        exited_ = other.exited_;
        exitCode_ = other.exitCode_;
    }
    return *this;
}

bool SpawnedProcess::TryReap() {
    if (exited_) {
        return true;
    }
    int waitStatus = 0;
    bool reaped = false;
    if (!platform::TryReap(pid_, waitStatus, reaped)) {
        return false;
    }
    exited_ = true;
    exitCode_ = reaped ? platform::ExitCode(waitStatus) : -1;
    if (pidfd_ >= 0) {
        ::close(pidfd_);
        pidfd_ = -1;
    }
    return true;
}

WaitOutcome SpawnedProcess::WaitFor(std::chrono::milliseconds timeout, const Event* stop) {
    if (pid_ < 0 || exited_) {
        return WaitOutcome::kExited;
    }
    const auto deadline =
        SteadyClock::now() + std::clamp(timeout, std::chrono::milliseconds(0), kLongestTimeout);
    for (;;) {
        // With both signalled, the stop wins.
        if (stop != nullptr && stop->IsSet()) {
            return WaitOutcome::kStopped;
        }
        if (TryReap()) {
            return WaitOutcome::kExited;
        }
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return WaitOutcome::kTimedOut;
        }
        auto slice = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (stop != nullptr) {
            slice = std::min(slice, kStopCheckSlice);
        }
        if (pidfd_ >= 0) {
            pollfd pfd{pidfd_, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(std::min<long long>(slice.count(), INT_MAX)));
        } else {
            slice = std::min(slice, std::chrono::milliseconds(kPollSliceMs));
            if (stop != nullptr) {
                stop->WaitFor(slice);
            } else {
                std::this_thread::sleep_for(slice);
            }
        }
    }
}

void SpawnedProcess::Abandon() {
    if (pid_ < 0) {
        return;
    }
    if (!TryReap()) {
        Reaper::Instance().Adopt(pid_, pidfd_);
    }
    pid_ = -1;
    pidfd_ = -1;
}

void SpawnedProcess::KillGroup() {
    if (pid_ < 0 || TryReap()) {
        return;
    }
    // The process leads its own session and group and is not reaped: the id is still ours.
    ::kill(-pid_, SIGKILL);
}

// @threadsafety Always, as RunProcess.
Result<SpawnedProcess> SpawnProcess(const std::vector<std::string>& argv,
                                    const SpawnOptions& options) {
    auto started =
        StartChild(argv, options.environment, options.workingDirectory,
                   options.inheritOutput ? ChildOutput::kInherit : ChildOutput::kDevNull, -1);
    if (!started.ok()) {
        return started.status();
    }
    return SpawnedProcess(*started, OpenPidfd(*started));
}

size_t ProcessesAwaitingReaper() {
    return Reaper::Instance().Waiting();
}

Status RunCommandChecked(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    std::string command;
    for (const auto& arg : argv) {
        command += (command.empty() ? "" : " ") + arg;
    }
    ProcessOptions options;
    options.timeout = timeout;
    options.maxOutput = 4096;
    auto result = RunProcess(argv, options);
    if (!result.ok()) {
        return result.status();
    }
    if (result->timedOut) {
        return Status::Error(ETIMEDOUT, command + ": no answer within " +
                                            std::to_string(timeout.count() / 1000) + " s");
    }
    if (result->exitCode != 0) {
        const std::string firstLine = result->output.substr(0, result->output.find('\n'));
        return Status::Error(EIO, command + ": exit status " + std::to_string(result->exitCode) +
                                      (firstLine.empty() ? "" : ": " + firstLine));
    }
    return Status::Ok();
}

bool SystemdRuns(const std::string& root) {
    const std::string base = root.empty() || root == "/" ? "" : root;
    std::error_code ec;
    return std::filesystem::is_directory(base + "/run/systemd/system", ec);
}

}  // namespace kvzn::platform
