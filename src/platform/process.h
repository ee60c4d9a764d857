// Running other programs: time-limited, no inherited descriptors, always reaped.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/status.h"

namespace kvzn::platform {

struct ProcessOptions {
    std::chrono::milliseconds timeout{60000};
    std::string workingDirectory;          // empty: inherit
    std::vector<std::string> environment;  // "NAME=value" added to the inherited environment
    bool captureOutput = true;             // stdout and stderr together
    size_t maxOutput = 1 << 20;            // bytes kept; the rest is read and dropped
};

struct ProcessResult {
    int exitCode = -1;      // exit status, or 128 + signal when killed by a signal
    bool timedOut = false;  // the time-out passed; the process group was killed
    std::string output;
};

// Runs argv[0] (looked up on PATH) with the arguments, in a new session (its own process
// group), with standard input from /dev/null and no other inherited descriptors. Waits for
// it at most `timeout`; then kills the whole group and reaps it. A status error only when
// the program could not be started at all.
Result<ProcessResult> RunProcess(const std::vector<std::string>& argv,
                                 const ProcessOptions& options = {});

struct SpawnOptions {
    std::string workingDirectory;          // empty: inherit
    std::vector<std::string> environment;  // "NAME=value" added to the inherited environment
    bool inheritOutput = false;            // false: stdout and stderr go to /dev/null
};

// The user and groups a program runs as.
struct RunIdentity {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;  // supplementary groups
};

struct SequenceOptions {
    // Run as this account. A process that is not root can only run programs as itself.
    std::optional<RunIdentity> identity;
    // The whole environment of the programs ("NAME=value"); its PATH finds them.
    std::vector<std::string> environment;
    // Tried first; when it cannot be entered as the account, "/".
    std::string workingDirectory;
    int outputFd = -1;  // standard output of every program; -1: /dev/null
    int errorFd = -1;   // standard error of every program; -1: /dev/null
};

enum class WaitOutcome { kExited, kTimedOut, kStopped };

// A program started by SpawnProcess. The caller waits for it as long as it likes; a process
// still running when its handle is destroyed (or Abandon is called) is handed to a
// process-wide reaper thread that collects its exit status when it ends, so it never stays
// a zombie. It is never killed on the caller's behalf.
// @threadsafety One thread at a time per handle; handles of different processes are
// independent.
class SpawnedProcess {
  public:
    SpawnedProcess(SpawnedProcess&& other) noexcept;
    SpawnedProcess& operator=(SpawnedProcess&& other) noexcept;
    SpawnedProcess(const SpawnedProcess&) = delete;
    SpawnedProcess& operator=(const SpawnedProcess&) = delete;
    ~SpawnedProcess() { Abandon(); }

    // The process id; also the id of its process group and session.
    int Pid() const { return pid_; }
    // Waits until the process ends (kExited, reaped here), `timeout` passes (kTimedOut) or
    // `stop` is set (kStopped, noticed within a few milliseconds). Once kExited, later
    // calls return kExited at once.
    WaitOutcome WaitFor(std::chrono::milliseconds timeout, const Event* stop = nullptr);
    bool Exited() const { return exited_; }
    // Exit status, or 128 + signal when killed by a signal; -1 until it exited (or when the
    // status was taken by someone else).
    int ExitCode() const { return exitCode_; }
    // Gives up the handle: a process still running goes to the reaper. Afterwards the
    // handle waits for nothing and reports kExited.
    void Abandon();
    // Kills the whole process group while the process is not reaped yet (so its id cannot
    // have been reused); does nothing once it has exited. Reap it with WaitFor afterwards.
    void KillGroup();

  private:
    friend Result<SpawnedProcess> SpawnProcess(const std::vector<std::string>& argv,
                                               const SpawnOptions& options);
    friend Result<SpawnedProcess> SpawnSequence(
        const std::vector<std::vector<std::string>>& commands, const SequenceOptions& options);
    SpawnedProcess(int pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    bool TryReap();
    int pid_ = -1;
    int pidfd_ = -1;  // -1 when the kernel offers none: the process is polled
    bool exited_ = false;
    int exitCode_ = -1;
};

// Starts argv[0] (looked up on PATH) under the rules of RunProcess (own session, standard
// input from /dev/null, no other inherited descriptors, default signal mask and
// dispositions) without waiting for it. A status error when it could not be started.
Result<SpawnedProcess> SpawnProcess(const std::vector<std::string>& argv,
                                    const SpawnOptions& options = {});

// Starts one process, in a new session, that runs the commands one after the other, each
// program given with its arguments (never through a shell) and looked up on the PATH of
// `options.environment`, and ends with the exit status of the last (128 + signal when it
// was killed). A program that cannot be run writes "kvZNPrint: cannot run NAME: why" to the
// standard error and counts with status 127. Standard input is /dev/null; no other
// descriptor is inherited. A status error when the process could not be started or could
// not take the account's identity (EPERM), in which case nothing ran.
Result<SpawnedProcess> SpawnSequence(const std::vector<std::vector<std::string>>& commands,
                                     const SequenceOptions& options);

// Processes handed to the reaper that have not ended yet (for tests and diagnostics).
size_t ProcessesAwaitingReaper();

// Runs a command that must succeed: an error unless it ran to exit status 0 within the
// time-out. The error text names the command and carries the first line of its output.
Status RunCommandChecked(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// True when systemd manages the machine below `root` (ROOT/run/systemd/system exists).
bool SystemdRuns(const std::string& root);

}  // namespace kvzn::platform
