// Running other programs: time-limited, no inherited descriptors, always reaped.
#pragma once

#include <chrono>
#include <string>
#include <vector>

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
    int exitCode = -1;     // exit status, or 128 + signal when killed by a signal
    bool timedOut = false;  // the time-out passed; the process group was killed
    std::string output;
};

// Runs argv[0] (looked up on PATH) with the arguments, in a new session (its own process
// group), with standard input from /dev/null and no other inherited descriptors. Waits for
// it at most `timeout`; then kills the whole group and reaps it. A status error only when
// the program could not be started at all.
Result<ProcessResult> RunProcess(const std::vector<std::string>& argv,
                                 const ProcessOptions& options = {});

}  // namespace kvzn::platform
