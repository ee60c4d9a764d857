// Terminal messages kept in memory: who would have received which text.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/terminal_messages.h"

namespace kvzn::platform {

// Users are logged in by the test, each with the result code their messages get. Every
// call is recorded with the text exactly as the caller passed it (no cleaning, no banner).
// @threadsafety Always.
class FakeTerminalMessages final : public TerminalMessages {
  public:
    struct Call {
        bool everybody = false;  // SendToAll
        std::string user;        // SendToUser's name
        std::string text;
        int code = kTerminalDelivered;
    };

    TerminalDelivery SendToUser(std::string_view user, std::string_view text) override;
    // Delivered when at least one logged-in user's messages get kTerminalDelivered.
    TerminalDelivery SendToAll(std::string_view text) override;

    // Logs `user` in; later messages to that user get `code`.
    void LogIn(const std::string& user, int code = kTerminalDelivered);
    std::vector<Call> Calls() const;
    // The texts delivered (code 0) to `user`, in order; "*" names SendToAll deliveries.
    std::vector<std::string> Delivered(const std::string& user) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, int> users_;
    std::vector<Call> calls_;
};

}  // namespace kvzn::platform
