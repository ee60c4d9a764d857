// Terminal messages kept in memory: who would have received which text.
#include "platform/fake/fake_terminal_messages.h"

namespace kvzn::platform {

TerminalDelivery FakeTerminalMessages::SendToUser(std::string_view user, std::string_view text) {
    std::scoped_lock lock(mutex_);
    const auto it = users_.find(std::string(user));
    TerminalDelivery result;
    result.code = it == users_.end() ? kTerminalNotLoggedIn : it->second;
    result.terminals = result.code == kTerminalDelivered ? 1 : 0;
    calls_.push_back({false, std::string(user), std::string(text), result.code});
    return result;
}

TerminalDelivery FakeTerminalMessages::SendToAll(std::string_view text) {
    std::scoped_lock lock(mutex_);
    TerminalDelivery result;
    result.code = kTerminalNotLoggedIn;
    for (const auto& [user, code] : users_) {
        if (code == kTerminalDelivered) {
            result.code = kTerminalDelivered;
            ++result.terminals;
        }
    }
    calls_.push_back({true, {}, std::string(text), result.code});
    return result;
}

void FakeTerminalMessages::LogIn(const std::string& user, int code) {
    std::scoped_lock lock(mutex_);
    users_[user] = code;
}

std::vector<FakeTerminalMessages::Call> FakeTerminalMessages::Calls() const {
    std::scoped_lock lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeTerminalMessages::Delivered(const std::string& user) const {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> texts;
    for (const Call& call : calls_) {
        if (call.code == kTerminalDelivered && (call.everybody ? user == "*" : call.user == user)) {
            texts.push_back(call.text);
        }
    }
    return texts;
}

}  // namespace kvzn::platform
