// A program started by a test, with its output read through a pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kvzn::test {

class ChildProcess {
  public:
    // Starts argv in `cwd` with `env` ("NAME=value") added to the environment; stdout and
    // stderr both go to the pipe read by Output/WaitForOutput.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 const std::string& cwd = {});
    ~ChildProcess();  // kills and reaps a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int sig) const;
    // Everything read so far (reads what is available now).
    std::string Output();
    // Reads until `text` appears in the output or the time-out passes.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Waits for the exit; the exit status (128 + signal when killed), nullopt on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

  private:
    void Drain(int timeoutMs);
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::optional<int> status_;
};

}  // namespace kvzn::test
