// Tests of programs started without waiting: outcomes of a wait, the stop event, the rules
// every child starts under, and the reaper that collects processes nobody waits for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "support/test_support.h"

namespace kvzn::platform {
namespace {

using namespace std::chrono_literals;

// The state letter of /proc/<pid>/stat ('Z' for a zombie), or 0 when there is no such
// process (it has been reaped).
char ProcessState(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) {
        return 0;
    }
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

class SpawnProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(test::WaitUntil([] { return ProcessesAwaitingReaper() == 0; }, 5s));
        errno = 0;
        EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD)
            << "a child was left unreaped";
    }
    Result<SpawnedProcess> Sh(const std::string& script, const SpawnOptions& options = {}) {
        return SpawnProcess({"sh", "-c", script}, options);
    }
};

TEST_F(SpawnProcessTest, WaitEndsWithTheExitOrTheTimeOut) {
    auto quick = Sh("exit 9");
    ASSERT_TRUE(quick.ok()) << quick.status().Text();
    EXPECT_EQ(quick->WaitFor(10s), WaitOutcome::kExited);
    EXPECT_EQ(quick->ExitCode(), 9);
    EXPECT_EQ(quick->WaitFor(0ms), WaitOutcome::kExited);  // stays exited

    auto slow = Sh("sleep 0.5; exit 4");
    ASSERT_TRUE(slow.ok()) << slow.status().Text();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(slow->WaitFor(100ms), WaitOutcome::kTimedOut);
    EXPECT_GE(Since(start), 100ms);
    EXPECT_FALSE(slow->Exited());
    EXPECT_EQ(slow->ExitCode(), -1);
    EXPECT_EQ(slow->WaitFor(10s), WaitOutcome::kExited);
    EXPECT_EQ(slow->ExitCode(), 4);
    EXPECT_LT(Since(start), 5s);
}

TEST_F(SpawnProcessTest, StopEventEndsTheWaitAtOnce) {
    auto process = Sh("sleep 2");
    ASSERT_TRUE(process.ok()) << process.status().Text();
    Event stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(process->WaitFor(60s, &stop), WaitOutcome::kStopped);
    EXPECT_LT(Since(start), 1s);
    stopper.join();
    // An event set before the wait begins also ends it, even with the process gone.
    auto ended = Sh("exit 0");
    ASSERT_TRUE(ended.ok());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ended->WaitFor(1s, &stop), WaitOutcome::kStopped);
    EXPECT_EQ(ended->WaitFor(1s), WaitOutcome::kExited);
    EXPECT_EQ(process->WaitFor(10s), WaitOutcome::kExited);
}

TEST_F(SpawnProcessTest, AbandonedProcessKeepsRunningAndIsReapedWhenItEnds) {
    int pid = -1;
    {
        auto process = Sh("sleep 0.6");
        ASSERT_TRUE(process.ok()) << process.status().Text();
        pid = process->Pid();
        EXPECT_EQ(process->WaitFor(50ms), WaitOutcome::kTimedOut);
    }  // handed to the reaper here, still running
    const char running = ProcessState(pid);
    EXPECT_NE(running, 0);
    EXPECT_NE(running, 'Z');
    EXPECT_EQ(ProcessesAwaitingReaper(), 1u);
    // Gone without a zombie: the reaper collected it.
    EXPECT_TRUE(test::WaitUntil([&] { return ProcessState(pid) == 0; }, 5s))
        << "state " << ProcessState(pid);

    // A handle dropped after the process ended reaps it on the spot.
    auto ended = Sh("exit 0");
    ASSERT_TRUE(ended.ok());
    const int endedPid = ended->Pid();
    EXPECT_TRUE(test::WaitUntil([&] { return ProcessState(endedPid) == 'Z'; }, 5s));
    ended->Abandon();
    EXPECT_EQ(ProcessState(endedPid), 0);
}

std::string Link(const std::string& path) {
    std::error_code ec;
    return std::filesystem::read_symlink(path, ec).string();
}

TEST_F(SpawnProcessTest, ChildStartsAloneInItsOwnSession) {
    SpawnOptions options;
    const int plain = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    auto process = SpawnProcess({"sleep", "10"}, options);
    ::close(plain);
    ASSERT_TRUE(process.ok()) << process.status().Text();
    const std::string proc = "/proc/" + std::to_string(process->Pid());

    // Right after the exec the dynamic loader briefly holds the libraries it maps open
    // (fd 3): look again until the program runs; an inherited descriptor never goes away.
    const std::vector<std::string> expected{"0", "1", "2"};
    std::vector<std::string> fds;
    test::WaitUntil(
        [&] {
            fds.clear();
            for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
                fds.push_back(entry.path().filename());
            }
            std::sort(fds.begin(), fds.end());
            return fds == expected;
        },
        2s);
    EXPECT_EQ(fds, expected);
    for (const char* fd : {"/fd/0", "/fd/1", "/fd/2"}) {
        EXPECT_EQ(Link(proc + fd), "/dev/null") << fd;
    }
    const std::string statText = test::ReadFile(proc + "/stat");
    std::istringstream stat(statText.substr(statText.rfind(')') + 2));
    char state = 0;
    int ppid = 0, pgrp = 0, session = 0;
    stat >> state >> ppid >> pgrp >> session;
    EXPECT_EQ(ppid, ::getpid());
    EXPECT_EQ(pgrp, process->Pid());
    EXPECT_EQ(session, process->Pid());

    ::kill(process->Pid(), SIGKILL);
    EXPECT_EQ(process->WaitFor(10s), WaitOutcome::kExited);
    EXPECT_EQ(process->ExitCode(), 128 + SIGKILL);

    // Trace mode keeps the output on our own descriptors.
    options.inheritOutput = true;
    auto visible = SpawnProcess({"sleep", "10"}, options);
    ASSERT_TRUE(visible.ok()) << visible.status().Text();
    const std::string visibleProc = "/proc/" + std::to_string(visible->Pid());
    EXPECT_EQ(Link(visibleProc + "/fd/1"), Link("/proc/self/fd/1"));
    EXPECT_EQ(Link(visibleProc + "/fd/2"), Link("/proc/self/fd/2"));
    EXPECT_EQ(Link(visibleProc + "/fd/0"), "/dev/null");
    ::kill(visible->Pid(), SIGKILL);
    EXPECT_EQ(visible->WaitFor(10s), WaitOutcome::kExited);
}

}  // namespace
}  // namespace kvzn::platform
