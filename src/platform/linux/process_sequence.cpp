// Command sequences run as another account: one forked process takes the account's
// identity and runs the programs one after the other, each in a child of its own, so that
// the whole sequence is one process group that a time-out or a cancel ends at once.
//
// Between fork and exec only async-signal-safe calls are made: everything the child needs
// (argument and environment arrays, candidate paths, messages) is prepared beforehand.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process.h"

namespace kvzn::platform {
namespace {

// How long the start of the sequence process may take to report its identity change.
constexpr int kStartReportMs = 10000;
constexpr int kCannotRun = 127;

struct PreparedCommand {
    std::vector<std::string> args;
    std::vector<std::string> candidates;  // paths to try, in order
    std::string failurePrefix;            // "kvZNPrint: cannot run NAME: "
    std::vector<char*> argv;
    std::vector<const char*> paths;
};

std::string EnvironmentValue(const std::vector<std::string>& env, std::string_view name) {
    for (const std::string& entry : env) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
            entry[name.size()] == '=') {
            return entry.substr(name.size() + 1);
        }
    }
    return {};
}

std::vector<std::string> Candidates(const std::string& program, const std::string& path) {
    if (program.find('/') != std::string::npos) {
        return {program};
    }
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
        out.push_back((dir.empty() ? std::string(".") : dir) + "/" + program);
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    return out;
}

void WriteText(int fd, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        text += n;
        left -= static_cast<size_t>(n);
    }
}

[[noreturn]] void RunOne(const PreparedCommand& command, char* const* envp) {
    int failure = ENOENT;
    for (const char* path : command.paths) {
        if (path == nullptr) {
            break;
        }
        ::execve(path, command.argv.data(), envp);
        // A program found but not runnable tells more than one missing elsewhere.
        if (errno != ENOENT && errno != ENOTDIR) {
            failure = errno;
        }
    }
    WriteText(STDERR_FILENO, command.failurePrefix.c_str());
    WriteText(STDERR_FILENO, failure == ENOENT   ? "not found\n"
                             : failure == EACCES ? "permission denied\n"
                                                 : "it cannot be run\n");
    ::_exit(kCannotRun);
}

[[noreturn]] void Fail(int reportFd, int err) {
    [[maybe_unused]] const ssize_t n = ::write(reportFd, &err, sizeof err);
    ::_exit(kCannotRun);
}

int StatusCode(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return kCannotRun;
}

// The body of the sequence process.
[[noreturn]] void RunSequence(std::vector<PreparedCommand>& commands, char* const* envp,
                              const SequenceOptions& options, const gid_t* groups,
                              size_t groupCount, int reportFd) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        ::sigaction(sig, &deflt, nullptr);  // fails harmlessly for KILL, STOP and unused
    }
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0) {
        Fail(reportFd, errno);
    }
    if (::dup2(devNull, STDIN_FILENO) < 0 ||
        ::dup2(options.outputFd >= 0 ? options.outputFd : devNull, STDOUT_FILENO) < 0 ||
        ::dup2(options.errorFd >= 0 ? options.errorFd : devNull, STDERR_FILENO) < 0) {
        Fail(reportFd, errno);
    }
    if (options.identity) {
        const RunIdentity& who = *options.identity;
        if (::getuid() == 0) {
            if (::setgroups(groupCount, groups) != 0 || ::setgid(who.gid) != 0 ||
                ::setuid(who.uid) != 0) {
                Fail(reportFd, errno);
            }
        }
        if (::getuid() != who.uid || ::geteuid() != who.uid || ::getgid() != who.gid) {
            Fail(reportFd, EPERM);
        }
    }
    if (options.workingDirectory.empty() || ::chdir(options.workingDirectory.c_str()) != 0) {
        if (::chdir("/") != 0) {
            Fail(reportFd, errno);
        }
    }
    // Also closes the report pipe: the parent reads its end of file as success.
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        for (int fd = 3; fd < 65536; ++fd) {
            ::close(fd);
        }
    }
    int last = 0;
    for (PreparedCommand& command : commands) {
        const pid_t child = ::_Fork();
        if (child < 0) {
            last = kCannotRun;
            continue;
        }
        if (child == 0) {
            RunOne(command, envp);
        }
        int waitStatus = 0;
        pid_t r;
        do {
            r = ::waitpid(child, &waitStatus, 0);
        } while (r < 0 && errno == EINTR);
        last = r == child ? StatusCode(waitStatus) : kCannotRun;
    }
    ::_exit(last);
}

}  // namespace

// @threadsafety Always: no state is shared between calls.
Result<SpawnedProcess> SpawnSequence(const std::vector<std::vector<std::string>>& commands,
                                     const SequenceOptions& options) {
    const std::string path = EnvironmentValue(options.environment, "PATH");
    std::vector<PreparedCommand> prepared;
    prepared.reserve(commands.size());
    for (const auto& args : commands) {
        if (args.empty() || args[0].empty()) {
            return Status::Error(EINVAL, "a command without a program");
        }
        PreparedCommand& c = prepared.emplace_back();
        c.args = args;
        c.candidates = Candidates(args[0], path);
        c.failurePrefix = "kvZNPrint: cannot run " + args[0] + ": ";
    }
    for (PreparedCommand& c : prepared) {
        for (std::string& a : c.args) {
            c.argv.push_back(a.data());
        }
        c.argv.push_back(nullptr);
        for (const std::string& p : c.candidates) {
            c.paths.push_back(p.c_str());
        }
        c.paths.push_back(nullptr);
    }
    std::vector<std::string> env = options.environment;
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<gid_t> groups;
    if (options.identity) {
        groups.assign(options.identity->groups.begin(), options.identity->groups.end());
    }

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return Status::Errno("pipe2");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const Status failed = Status::Errno("fork");
        ::close(report[0]);
        ::close(report[1]);
        return failed;
    }
    if (pid == 0) {
        ::close(report[0]);
        RunSequence(prepared, envp.data(), options, groups.data(), groups.size(), report[1]);
    }
    ::close(report[1]);
    int err = 0;
    ssize_t got = 0;
    pollfd pfd{report[0], POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, kStartReportMs);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0) {
        do {
            got = ::read(report[0], &err, sizeof err);
        } while (got < 0 && errno == EINTR);
    }
    ::close(report[0]);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    SpawnedProcess process(pid, pidfd);
    if (ready == 0) {
        process.KillGroup();
        process.WaitFor(std::chrono::seconds(5));
        return Status::Error(ETIMEDOUT, "the command process did not start in time");
    }
    if (got == static_cast<ssize_t>(sizeof err)) {
        process.WaitFor(std::chrono::seconds(5));
        return Status::Errno("setuid", "the command process could not take the account's identity",
                             err);
    }
    return process;
}

}  // namespace kvzn::platform
