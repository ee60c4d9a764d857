// Tests of running other programs: results, output, environment, time-outs, inherited
// descriptors and signals, and that every child is reaped.
#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace kvzn::platform {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// True when this process has no child left, running or zombie.
bool NoChildrenLeft() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Members of the process group that are still alive. Zombies do not count: on a test
// machine nobody may reap orphans.
int LiveMembersOfGroup(pid_t pgid) {
    int live = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        std::getline(in, stat);
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos) {
            continue;
        }
        char state = 0;
        long ppid = 0;
        long pgrp = 0;
        std::istringstream fields(stat.substr(paren + 1));
        fields >> state >> ppid >> pgrp;
        live += pgrp == pgid && state != 'Z' && state != 'X' ? 1 : 0;
    }
    return live;
}

Result<ProcessResult> Sh(const std::string& script, const ProcessOptions& options = {}) {
    return RunProcess({"sh", "-c", script}, options);
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

class ProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(NoChildrenLeft()) << "a child was left unreaped"; }
};

TEST_F(ProcessTest, ReportsExitCodeOrTerminatingSignal) {
    const struct {
        const char* script;
        int exitCode;
    } cases[] = {
        {"exit 0", 0},
        {"exit 7", 7},
        {"exit 255", 255},
        {"kill -KILL $$", 128 + SIGKILL},
        {"kill -SEGV $$", 128 + SIGSEGV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        auto result = Sh(c.script);
        ASSERT_TRUE(result.ok()) << result.status().Text();
        EXPECT_EQ(result->exitCode, c.exitCode);
        EXPECT_FALSE(result->timedOut);
    }
}

TEST_F(ProcessTest, CapturesStdoutAndStderrInOrder) {
    auto result = Sh("echo out; echo err >&2; printf last");
    ASSERT_TRUE(result.ok()) << result.status().Text();
    EXPECT_EQ(result->output, "out\nerr\nlast");

    // Nearly a pipe full, written at once just before the exit.
    auto large = RunProcess({"head", "-c", "60000", "/dev/zero"});
    ASSERT_TRUE(large.ok()) << large.status().Text();
    EXPECT_EQ(large->output, std::string(60000, '\0'));
}

TEST_F(ProcessTest, KeepsAtMostMaxOutputButReadsTheRest) {
    ProcessOptions options;
    options.maxOutput = 1000;
    // A writer blocked on a full pipe would never reach its exit status.
    auto result = Sh("head -c 2000000 /dev/zero | tr '\\0' x; exit 3", options);
    ASSERT_TRUE(result.ok()) << result.status().Text();
    EXPECT_EQ(result->exitCode, 3);
    EXPECT_EQ(result->output, std::string(1000, 'x'));
}

TEST_F(ProcessTest, StandardDescriptorsAreDevNullOrTheOutputPipe) {
    auto captured = Sh("readlink /proc/$$/fd/0; readlink /proc/$$/fd/1; readlink /proc/$$/fd/2");
    ASSERT_TRUE(captured.ok()) << captured.status().Text();
    std::istringstream lines(captured->output);
    std::string in, out, err;
    std::getline(lines, in);
    std::getline(lines, out);
    std::getline(lines, err);
    EXPECT_EQ(in, "/dev/null");
    EXPECT_EQ(out.rfind("pipe:", 0), 0u) << out;
    EXPECT_EQ(out, err);

    TempDir dir;
    ProcessOptions options;
    options.captureOutput = false;
    auto silent =
        Sh("echo lost; links=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); "
           "echo \"$links\" > " +
               dir / "fds",
           options);
    ASSERT_TRUE(silent.ok()) << silent.status().Text();
    EXPECT_EQ(silent->output, "");
    EXPECT_EQ(test::ReadFile(dir / "fds"), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST_F(ProcessTest, PassesEnvironmentAndWorkingDirectory) {
    TempDir dir;
    test::ScopedEnv inherited("KVZN_PROC_INHERITED", "kept");
    test::ScopedEnv replaced("KVZN_PROC_REPLACED", "before");
    ProcessOptions options;
    options.workingDirectory = dir.path();
    options.environment = {"KVZN_PROC_NEW=a b 'c'", "KVZN_PROC_REPLACED=after"};
    // env(1) prints the environment as received: a duplicate entry would show twice.
    auto env = RunProcess({"env"}, options);
    auto pwd = RunProcess({"pwd", "-P"}, options);
    ASSERT_TRUE(env.ok()) << env.status().Text();
    ASSERT_TRUE(pwd.ok()) << pwd.status().Text();
    std::vector<std::string> ours;
    std::istringstream lines(env->output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("KVZN_PROC_", 0) == 0) {
            ours.push_back(line);
        }
    }
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, (std::vector<std::string>{"KVZN_PROC_INHERITED=kept", "KVZN_PROC_NEW=a b 'c'",
                                              "KVZN_PROC_REPLACED=after"}));
    EXPECT_EQ(pwd->output, std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST_F(ProcessTest, ProgramThatCannotStartIsAStatusError) {
    TempDir dir;
    test::WriteFile(dir / "not-executable", "#!/bin/sh\nexit 0\n", 0644);
    ProcessOptions missingDir;
    missingDir.workingDirectory = dir / "missing";
    ProcessOptions badEnv;
    badEnv.environment = {"NO_EQUALS_SIGN"};
    const struct {
        const char* what;
        std::vector<std::string> argv;
        ProcessOptions options;
        int err;
    } cases[] = {
        {"not on PATH", {"kvzn-no-such-program"}, {}, ENOENT},
        {"absolute path", {dir / "missing"}, {}, ENOENT},
        {"not executable", {dir / "not-executable"}, {}, EACCES},
        {"working directory", {"true"}, missingDir, ENOENT},
        {"environment entry", {"true"}, badEnv, EINVAL},
        {"empty command line", {}, {}, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto result = RunProcess(c.argv, c.options);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.status().err(), c.err) << result.status().Text();
    }
}

TEST_F(ProcessTest, TimeOutKillsTheWholeGroupPromptly) {
    ProcessOptions options;
    options.timeout = 300ms;
    const auto start = std::chrono::steady_clock::now();
    auto result = Sh("echo $$; sleep 100 & sleep 100", options);
    const auto elapsed = Since(start);
    ASSERT_TRUE(result.ok()) << result.status().Text();
    EXPECT_TRUE(result->timedOut);
    EXPECT_EQ(result->exitCode, 128 + SIGKILL);
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 3s);
    const pid_t group = std::stoi(result->output);
    EXPECT_TRUE(test::WaitUntil([&] { return LiveMembersOfGroup(group) == 0; }, 2s))
        << LiveMembersOfGroup(group) << " processes of the group still alive";
}

TEST_F(ProcessTest, ShortCommandsReturnAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        auto result = RunProcess({"true"});
        ASSERT_TRUE(result.ok()) << result.status().Text();
        EXPECT_EQ(result->exitCode, 0);
    }
    EXPECT_LT(Since(start), 2s);
}

TEST_F(ProcessTest, DoesNotWaitForBackgroundProcessesHoldingTheOutput) {
    ProcessOptions options;
    options.timeout = 20s;
    const auto start = std::chrono::steady_clock::now();
    auto result = Sh("echo $$; sleep 30 & echo started", options);
    const auto elapsed = Since(start);
    ASSERT_TRUE(result.ok()) << result.status().Text();
    const pid_t group = std::stoi(result->output);
    ::kill(-group, SIGKILL);
    EXPECT_FALSE(result->timedOut);
    EXPECT_EQ(result->exitCode, 0);
    EXPECT_LT(elapsed, 3s);
    EXPECT_NE(result->output.find("started\n"), std::string::npos) << result->output;
}

TEST_F(ProcessTest, InheritsNoOtherDescriptors) {
    const int plain = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(plain, 0);
    const int high = ::fcntl(plain, F_DUPFD, 100);
    ASSERT_GE(high, 100);
    auto result = Sh("ls /proc/$$/fd");
    ::close(high);
    ::close(plain);
    ASSERT_TRUE(result.ok()) << result.status().Text();
    EXPECT_EQ(result->output, "0\n1\n2\n");
}

TEST_F(ProcessTest, ChildStartsWithDefaultSignalMaskAndDispositions) {
    sigset_t term;
    sigset_t oldMask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &oldMask), 0);
    struct sigaction ignore {};
    struct sigaction oldInt {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGINT, &ignore, &oldInt), 0);

    const auto start = std::chrono::steady_clock::now();
    auto termResult = Sh("kill -TERM $$; sleep 5");
    auto intResult = Sh("kill -INT $$; sleep 5");
    const auto elapsed = Since(start);
    auto masks = RunProcess({"grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"});

    ::sigaction(SIGINT, &oldInt, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ASSERT_TRUE(termResult.ok()) << termResult.status().Text();
    ASSERT_TRUE(intResult.ok()) << intResult.status().Text();
    ASSERT_TRUE(masks.ok()) << masks.status().Text();
    EXPECT_EQ(termResult->exitCode, 128 + SIGTERM);
    EXPECT_EQ(intResult->exitCode, 128 + SIGINT);
    EXPECT_LT(elapsed, 3s);
    unsigned long long blocked = ~0ULL;
    unsigned long long ignored = ~0ULL;
    std::sscanf(masks->output.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored);
    EXPECT_EQ(blocked, 0u) << masks->output;
    // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored; the C library
    // of the new program installs its own handlers for them.
    EXPECT_EQ(ignored & ~(1ULL << 31 | 1ULL << 32), 0u) << masks->output;
}

TEST_F(ProcessTest, ConcurrentCallsKeepTheirOwnOutput) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 10; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                auto result = RunProcess({"sh", "-c", "echo \"$1\"", "sh", tag});
                if (!result.ok() || result->output != tag + "\n" || result->exitCode != 0) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kvzn::platform
