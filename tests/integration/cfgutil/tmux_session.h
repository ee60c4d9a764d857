// A program run in a private tmux server, driven with send-keys and read with
// capture-pane.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/test_support.h"

namespace kvzn::test {

class TmuxSession {
  public:
    // Starts `command` (a shell command line) in a 160x40 window; `socket` is the path of
    // the private tmux server's socket.
    TmuxSession(const std::string& socket, const std::string& command) : socket_(socket) {
        started_ = Tmux({"new-session", "-d", "-x", "160", "-y", "40", command});
    }
    ~TmuxSession() { Tmux({"kill-server"}); }
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    bool started() const { return started_; }
    // Sends tmux key names ("PgDn", "F2", "C-u") or literal text ("-l" first).
    void Keys(const std::vector<std::string>& keys) {
        std::vector<std::string> args = {"send-keys", "-t", "0"};
        args.insert(args.end(), keys.begin(), keys.end());
        Tmux(args);
    }
    void Resize(int columns, int rows) {
        Tmux({"resize-window", "-t", "0", "-x", std::to_string(columns), "-y",
              std::to_string(rows)});
    }
    void Type(const std::string& text) { Tmux({"send-keys", "-t", "0", "-l", text}); }
    std::string Screen() {
        auto result = platform::RunProcess({"tmux", "-S", socket_, "capture-pane", "-p", "-t", "0"},
                                           Options());
        return result.ok() ? result->output : std::string();
    }
    // Waits until the screen shows `text`; the screen seen last is kept for messages.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return WaitUntil(
            [&] {
                last_ = Screen();
                return last_.find(text) != std::string::npos;
            },
            timeout);
    }
    // True while the program still runs in the pane.
    bool Running() {
        auto result = platform::RunProcess(
            {"tmux", "-S", socket_, "list-panes", "-t", "0", "-F", "#{pane_dead}"}, Options());
        return result.ok() && result->exitCode == 0 && result->output.find('0') == 0;
    }
    const std::string& last() const { return last_; }

  private:
    static platform::ProcessOptions Options() {
        platform::ProcessOptions options;
        options.timeout = std::chrono::seconds(10);
        return options;
    }
    bool Tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {"tmux", "-S", socket_});
        auto result = platform::RunProcess(args, Options());
        return result.ok() && result->exitCode == 0;
    }
    std::string socket_;
    std::string last_;
    bool started_ = false;
};

}  // namespace kvzn::test
